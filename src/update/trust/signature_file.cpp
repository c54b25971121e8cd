#include "update/trust/signature_file.h"

#include <array>
#include <cstdint>
#include <set>

#include "update/formats/number_text.h"
#include "update/formats/text_lines.h"
#include "update/trust/key_text.h"

namespace {

constexpr std::string_view kSignatureFormat = "kestralon-signature 1";

struct SignatureLine {
    std::string_view keyId;
    Signature signature{};
};

std::optional<SignatureLine> ParseSignatureLine(std::string_view text) {
    const std::vector<std::string_view> words = SplitFields(text, ' ');
    std::array<std::uint8_t, 8> id{};
    SignatureLine line;
    if (words.size() != 2 || !ParseHexBytes(words[0], id) || !ParseHexBytes(words[1], line.signature)) {
        return std::nullopt;
    }
    line.keyId = words[0];
    return line;
}

std::optional<std::vector<SignatureLine>> ParseSignatures(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || (*lines)[0] != kSignatureFormat) return std::nullopt;
    std::vector<SignatureLine> parsed;
    for (std::size_t k = 1; k < lines->size(); ++k) {
        const auto line = ParseSignatureLine((*lines)[k]);
        if (!line) return std::nullopt;
        parsed.push_back(*line);
    }
    return parsed;
}

}  // namespace

std::string FormatSignatureLine(const PublicKey& key, const Signature& signature) {
    return KeyId(key) + " " + HexBytes(signature);
}

std::string FormatSignatures(const std::vector<std::pair<PublicKey, Signature>>& signatures) {
    std::string text = std::string(kSignatureFormat) + "\n";
    for (const auto& [key, signature] : signatures) text += FormatSignatureLine(key, signature) + "\n";
    return text;
}

std::optional<std::vector<std::string>> SignatureKeyIds(std::string_view signatures) {
    const auto lines = ParseSignatures(signatures);
    if (!lines) return std::nullopt;
    std::vector<std::string> ids;
    for (const SignatureLine& line : *lines) ids.emplace_back(line.keyId);
    return ids;
}

std::string SignatureNameOf(std::string_view metadataName) {
    const std::size_t dot = metadataName.rfind('.');
    return std::string(metadataName.substr(0, dot)) + ".sig";
}

std::size_t CountSignedBy(std::string_view metadata, std::string_view signatures,
                          const std::vector<PublicKey>& keys) {
    const auto lines = ParseSignatures(signatures);
    if (!lines) return 0;
    std::set<std::string> counted;
    for (const PublicKey& key : keys) {
        const std::string id = KeyId(key);
        if (counted.contains(id)) continue;
        for (const SignatureLine& line : *lines) {
            if (line.keyId == id && VerifySignature(key, metadata, line.signature)) {
                counted.insert(id);
                break;
            }
        }
    }
    return counted.size();
}

bool IsSignedBy(std::string_view metadata, std::string_view signatures, const std::vector<PublicKey>& keys) {
    return CountSignedBy(metadata, signatures, keys) > 0;
}
