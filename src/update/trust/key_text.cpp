#include "update/trust/key_text.h"

#include "update/formats/number_text.h"

namespace {

constexpr std::string_view kKeySeparators = ", \t\r\n";

// Hex pasted in capitals is the same key.
std::string LowerHex(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

}  // namespace

std::optional<std::vector<PublicKey>> ParsePublicKeys(std::string_view text) {
    std::vector<PublicKey> keys;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = text.find_first_not_of(kKeySeparators, i);
        if (start == std::string_view::npos) break;
        std::size_t end = text.find_first_of(kKeySeparators, start);
        if (end == std::string_view::npos) end = text.size();
        PublicKey key{};
        if (!ParseHexBytes(LowerHex(text.substr(start, end - start)), key)) return std::nullopt;
        bool known = false;
        for (const PublicKey& other : keys) known = known || other == key;
        if (!known) keys.push_back(key);
        i = end;
    }
    return keys;
}

std::string KeyText(const PublicKey& key) {
    return HexBytes(key);
}

std::string KeyId(const PublicKey& key) {
    const Sha256Digest digest =
        Sha256Of(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
    return HexBytes(digest).substr(0, 16);
}
