// The signed top metadata, both shapes: qoro_update_release.meta and the
// first shape, qoro_update_infos.meta (ParseRepositoryMetadata). What it
// reads is written back (FormatRepositoryMetadata) with the same lines and
// reads back the same.
#include "fuzz_support.h"
#include "update/trust/signed_metadata.h"

namespace {

bool Same(const RepositoryMetadata& a, const RepositoryMetadata& b) {
    return a.channel == b.channel && a.serial == b.serial && a.expires == b.expires && a.index == b.index &&
           a.versions == b.versions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    const std::optional<RepositoryMetadata> metadata = ParseRepositoryMetadata(text);
    if (!metadata) return 0;
    FUZZ_CHECK(metadata->channel.empty() == text.starts_with("kestralon-metadata 1"));
    for (const SignedVersion& version : metadata->versions) {
        FUZZ_CHECK(FindVersion(*metadata, version.version) == &version);
        if (metadata->channel.empty()) FUZZ_CHECK(!version.patches);
    }
    // Throws nothing: a channel read is a channel name.
    const std::string written = FormatRepositoryMetadata(*metadata);
    const std::optional<RepositoryMetadata> again = ParseRepositoryMetadata(written);
    FUZZ_CHECK(again && Same(*again, *metadata));
    // The lines may come in another order; each is written as it was read.
    FUZZ_CHECK(fuzz::SortedLines(written) == fuzz::SortedLines(fuzz::LfOnly(text)));
    return 0;
}
