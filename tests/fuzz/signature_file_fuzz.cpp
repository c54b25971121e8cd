// The signature files beside the top metadata, qoro_update_*.sig
// (SignatureKeyIds, CountSignedBy), checked against the RFC 6979 P-256 key
// and its signatures of "sample" and "test" (RFC 6979, A.2.5), so that the
// seeds hold signatures that verify.
#include <array>

#include "fuzz_support.h"
#include "update/formats/number_text.h"
#include "update/trust/key_text.h"
#include "update/trust/signature_file.h"

namespace {

PublicKey RfcKey() {
    PublicKey key{};
    ParseHexBytes(
        "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
        "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
        key);
    return key;
}

bool IsLowerHex(std::string_view text) {
    return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const PublicKey kRfcKey = RfcKey();
    static const std::string kRfcId = KeyId(kRfcKey);
    // Not on the curve: no signature is ever its.
    static const PublicKey kNoPoint = [] {
        PublicKey key = RfcKey();
        key[63] ^= 1;
        return key;
    }();
    const std::string_view signatures = fuzz::Text(data, size);
    const std::optional<std::vector<std::string>> ids = SignatureKeyIds(signatures);
    if (ids) {
        // The format line, then one line per signature that starts with its key id.
        const std::string lines = fuzz::LfOnly(signatures);
        std::string_view rest = lines;
        FUZZ_CHECK(fuzz::TakePart(rest, '\n') == "kestralon-signature 1");
        for (const std::string& id : *ids) {
            FUZZ_CHECK(id.size() == 16 && IsLowerHex(id));
            const std::string_view line = fuzz::TakePart(rest, '\n');
            FUZZ_CHECK(line.size() == 16 + 1 + 128 && line.starts_with(id + " ") &&
                       IsLowerHex(line.substr(17)));
        }
        FUZZ_CHECK(rest.empty());
    }
    for (const std::string_view message : {"sample", "test"}) {
        const std::size_t count = CountSignedBy(message, signatures, {kRfcKey, kNoPoint});
        FUZZ_CHECK(count <= 1);
        if (!ids) FUZZ_CHECK(count == 0);
        if (count == 1) FUZZ_CHECK(std::find(ids->begin(), ids->end(), kRfcId) != ids->end());
        // A key counts once, however often it is given.
        FUZZ_CHECK(CountSignedBy(message, signatures, {kRfcKey, kRfcKey}) == count);
        FUZZ_CHECK(IsSignedBy(message, signatures, {kRfcKey}) == (count == 1));
        FUZZ_CHECK(CountSignedBy(message, signatures, {}) == 0);
    }
    return 0;
}
