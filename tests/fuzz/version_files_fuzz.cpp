// A version's file metadata, qoro_update_<N>.meta (ParseVersionFiles): a
// text it reads is the one FormatVersionFiles writes for the same files, but
// for CR LF line ends, and every entry is found again.
#include "fuzz_support.h"
#include "update/formats/repository.h"
#include "update/trust/signed_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    const std::optional<VersionFiles> files = ParseVersionFiles(text);
    if (!files) return 0;
    for (const auto& [entry, digest] : files->files) {
        FUZZ_CHECK(!IsBlankEntry(entry) && entry.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(FindFile(*files, entry) == &digest);
    }
    // Throws nothing: every entry read is one the format can carry.
    FUZZ_CHECK(FormatVersionFiles(*files) == fuzz::LfOnly(text));
    return 0;
}
