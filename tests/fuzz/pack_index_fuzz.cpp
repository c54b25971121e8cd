// What a pack holds, packs/<F>-<T>.index once decoded (ParsePackIndex): what
// it reads is written back (FormatPackIndex) with the same lines and reads
// back the same; every member lies inside a part that exists, and every
// entry comes once.
#include <set>

#include "fuzz_support.h"
#include "update/formats/repository.h"
#include "update/trust/pack_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    const std::optional<PackIndex> index = ParsePackIndex(text);
    if (!index) return 0;
    const std::string written = FormatPackIndex(*index);
    FUZZ_CHECK(written == fuzz::LfOnly(text));
    const std::optional<PackIndex> again = ParsePackIndex(written);
    FUZZ_CHECK(again && again->from == index->from && again->to == index->to &&
               again->parts == index->parts && again->entries == index->entries);

    FUZZ_CHECK(index->from < index->to);
    std::set<std::string> entries;
    for (const PackEntry& entry : index->entries) {
        FUZZ_CHECK(entries.insert(entry.entry).second);
        FUZZ_CHECK(IsBlankEntry(entry.entry) == (entry.way == PackEntry::Way::Blank));
        if (entry.way != PackEntry::Way::Delta && entry.way != PackEntry::Way::Object) continue;
        FUZZ_CHECK(entry.part < index->parts.size() && entry.length > 0);
        FUZZ_CHECK(entry.offset + entry.length <= index->parts[entry.part].size);
    }
    return 0;
}
