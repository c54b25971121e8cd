// The fresh metadata, qoro_update_fresh.meta (ParseFreshMetadata): a text
// it reads is the one FormatFreshMetadata writes for the same values, but
// for CR LF line ends.
#include "fuzz_support.h"
#include "update/trust/signed_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    const std::optional<FreshMetadata> fresh = ParseFreshMetadata(text);
    if (!fresh) return 0;
    FUZZ_CHECK(FormatFreshMetadata(*fresh) == fuzz::LfOnly(text));
    return 0;
}
