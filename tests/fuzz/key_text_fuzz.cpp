// Public keys as text, as UPDATE_PUBLIC_KEY and `update-repo keygen` give
// them (ParsePublicKeys): the keys read are written again (KeyText) and read
// back the same, and capitals read as the same keys.
#include "fuzz_support.h"
#include "update/trust/key_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    const std::optional<std::vector<PublicKey>> keys = ParsePublicKeys(text);
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    FUZZ_CHECK(ParsePublicKeys(upper) == keys);
    if (!keys) return 0;
    std::string written;
    for (const PublicKey& key : *keys) {
        const std::string hex = KeyText(key);
        FUZZ_CHECK(hex.size() == 128 && KeyId(key).size() == 16);
        written += (written.empty() ? "" : ",") + hex;
        // Each key once.
        FUZZ_CHECK(std::count(keys->begin(), keys->end(), key) == 1);
    }
    FUZZ_CHECK(ParsePublicKeys(written) == keys);
    return 0;
}
