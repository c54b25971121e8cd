// How a version's files may travel, qoro_update_<N>.patch
// (ParseVersionPatches): what it reads is written back (FormatVersionPatches)
// with the same lines and reads back the same, and what the version offers
// (PatchOffer) holds every object and delta read.
#include "fuzz_support.h"
#include "update/trust/signed_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    const std::optional<VersionPatches> patches = ParseVersionPatches(text);
    if (!patches) return 0;
    const std::string written = FormatVersionPatches(*patches);
    const std::optional<VersionPatches> again = ParseVersionPatches(written);
    FUZZ_CHECK(again && again->version == patches->version && again->objects == patches->objects &&
               again->deltas == patches->deltas);
    // Objects and deltas may come mixed; each line is written as it was read.
    FUZZ_CHECK(fuzz::SortedLines(written) == fuzz::SortedLines(fuzz::LfOnly(text)));

    PatchOffer offer;
    offer.Add(*patches);
    offer.Add(*patches);  // a version read twice offers nothing more
    FUZZ_CHECK(offer.objects.size() == patches->objects.size());
    FUZZ_CHECK(offer.deltas.size() == patches->deltas.size());
    for (const PatchObject& object : patches->objects)
        FUZZ_CHECK(offer.objects.at(object.content) == object.object);
    for (const PatchDelta& delta : patches->deltas) {
        FUZZ_CHECK(delta.from != delta.to && offer.HasDeltasTo(delta.to));
        const auto [first, last] = offer.deltas.equal_range(delta.from);
        FUZZ_CHECK(std::any_of(first, last, [&](const auto& offered) { return offered.second == delta; }));
    }
    return 0;
}
