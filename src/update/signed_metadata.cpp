#include "update/signed_metadata.h"

#include <charconv>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "update/repository.h"
#include "update/text_lines.h"

namespace {

constexpr std::string_view kMetadataFormat = "kestralon-metadata 1";
constexpr std::string_view kFilesFormat = "kestralon-files 1";
constexpr std::string_view kSignatureFormat = "kestralon-signature 1";

// Plain decimal: digits only, no leading zero but for "0".
template <class T>
std::optional<T> ParseDecimal(std::string_view text) {
    std::string_view digits = text;
    if (digits.starts_with('-')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    if (text.starts_with('-') && digits == "0") return std::nullopt;
    T value{};
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Lowercase hex of exactly out.size() bytes.
template <std::size_t N>
bool ParseHexBytes(std::string_view text, std::array<std::uint8_t, N>& out) {
    if (text.size() != 2 * N) return false;
    for (std::size_t i = 0; i < N; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

template <std::size_t N>
std::string HexBytes(const std::array<std::uint8_t, N>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * N);
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::optional<FileDigest> ParseFileDigest(std::string_view hex, std::string_view size) {
    FileDigest digest;
    const auto bytes = ParseDecimal<std::uint64_t>(size);
    if (!bytes || !ParseHexBytes(hex, digest.sha256)) return std::nullopt;
    digest.size = *bytes;
    return digest;
}

std::string DigestText(const FileDigest& digest) {
    return Hex(digest.sha256) + " " + std::to_string(digest.size);
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool IsLeapYear(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

std::string VersionMetadataName(std::int16_t version) {
    return "qoro_update_" + std::to_string(version) + ".meta";
}

FileDigest DigestOf(std::string_view bytes) {
    return {bytes.size(), Sha256Of(bytes)};
}

std::string Hex(const Sha256Digest& digest) {
    return HexBytes(digest);
}

std::optional<Sha256Digest> ParseDigest(std::string_view text) {
    Sha256Digest digest{};
    if (!ParseHexBytes(text, digest)) return std::nullopt;
    return digest;
}

std::string FormatUtcTime(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // H. Hinnant's civil_from_days.
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month,
                  day, static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                  static_cast<unsigned>(rest % 60));
    return text;
}

std::optional<std::int64_t> ParseUtcTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t length) -> int {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) {
            if (text[i] < '0' || text[i] > '9') return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
    const int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int monthDays = kMonthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > monthDays) return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

std::optional<RepositoryMetadata> ParseRepositoryMetadata(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || (*lines)[0] != kMetadataFormat) return std::nullopt;
    RepositoryMetadata metadata;
    bool hasSerial = false, hasExpires = false, hasIndex = false;
    std::set<std::int16_t> versions;
    for (std::size_t k = 1; k < lines->size(); ++k) {
        const std::vector<std::string_view> words = SplitFields((*lines)[k], ' ');
        const std::string_view kind = words[0];
        if (kind == "serial" && words.size() == 2 && !hasSerial) {
            const auto serial = ParseDecimal<std::uint64_t>(words[1]);
            if (!serial) return std::nullopt;
            metadata.serial = *serial;
            hasSerial = true;
        } else if (kind == "expires" && words.size() == 2 && !hasExpires) {
            const auto expires = ParseUtcTime(words[1]);
            if (!expires) return std::nullopt;
            metadata.expires = *expires;
            hasExpires = true;
        } else if (kind == "index" && words.size() == 3 && !hasIndex) {
            const auto index = ParseFileDigest(words[1], words[2]);
            if (!index) return std::nullopt;
            metadata.index = *index;
            hasIndex = true;
        } else if (kind == "version" && words.size() == 6) {
            const auto version = ParseDecimal<std::int16_t>(words[1]);
            const auto list = ParseFileDigest(words[2], words[3]);
            const auto files = ParseFileDigest(words[4], words[5]);
            if (!version || !list || !files || !versions.insert(*version).second) return std::nullopt;
            metadata.versions.push_back({*version, *list, *files});
        } else {
            return std::nullopt;
        }
    }
    if (!hasSerial || !hasExpires || !hasIndex) return std::nullopt;
    return metadata;
}

std::string FormatRepositoryMetadata(const RepositoryMetadata& metadata) {
    std::string text = std::string(kMetadataFormat) + "\n";
    text += "serial " + std::to_string(metadata.serial) + "\n";
    text += "expires " + FormatUtcTime(metadata.expires) + "\n";
    text += "index " + DigestText(metadata.index) + "\n";
    for (const SignedVersion& version : metadata.versions) {
        text += "version " + std::to_string(version.version) + " " + DigestText(version.list) + " " +
                DigestText(version.files) + "\n";
    }
    return text;
}

const SignedVersion* FindVersion(const RepositoryMetadata& metadata, std::int16_t version) {
    for (const SignedVersion& signedVersion : metadata.versions) {
        if (signedVersion.version == version) return &signedVersion;
    }
    return nullptr;
}

std::optional<VersionFiles> ParseVersionFiles(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || lines->size() < 2 || (*lines)[0] != kFilesFormat) return std::nullopt;
    VersionFiles files;
    std::string_view versionLine = (*lines)[1];
    std::string_view word;
    if (!TakeField(versionLine, ' ', word) || word != "version") return std::nullopt;
    const auto version = ParseDecimal<std::int16_t>(versionLine);
    if (!version) return std::nullopt;
    files.version = *version;
    std::set<std::string_view> entries;
    for (std::size_t k = 2; k < lines->size(); ++k) {
        std::string_view rest = (*lines)[k];
        std::string_view hex, size;
        if (!TakeField(rest, ' ', hex) || !TakeField(rest, ' ', size)) return std::nullopt;
        const auto digest = ParseFileDigest(hex, size);
        if (!digest || IsBlankEntry(rest) || rest.find('\r') != std::string_view::npos ||
            !entries.insert(rest).second) {
            return std::nullopt;
        }
        files.files.emplace_back(std::string(rest), *digest);
    }
    return files;
}

std::string FormatVersionFiles(const VersionFiles& files) {
    std::string text = std::string(kFilesFormat) + "\n" + "version " + std::to_string(files.version) + "\n";
    std::set<std::string_view> entries;
    for (const auto& [entry, digest] : files.files) {
        if (IsBlankEntry(entry) || entry.find_first_of("\r\n") != std::string::npos) {
            throw std::invalid_argument("the entry \"" + entry + "\" cannot be written in a file metadata");
        }
        if (!entries.insert(entry).second) {
            throw std::invalid_argument("the entry \"" + entry + "\" is listed twice");
        }
        text += DigestText(digest) + " " + entry + "\n";
    }
    return text;
}

const FileDigest* FindFile(const VersionFiles& files, std::string_view entry) {
    for (const auto& [path, digest] : files.files) {
        if (path == entry) return &digest;
    }
    return nullptr;
}

std::optional<std::vector<PublicKey>> ParsePublicKeys(std::string_view text) {
    std::vector<PublicKey> keys;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = text.find_first_not_of(", \t\r\n", i);
        if (start == std::string_view::npos) break;
        std::size_t end = text.find_first_of(", \t\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string word(text.substr(start, end - start));
        // Hex pasted in capitals is the same key.
        for (char& c : word) {
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        }
        PublicKey key{};
        if (!ParseHexBytes(word, key)) return std::nullopt;
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
    return Hex(digest).substr(0, 16);
}

std::string FormatSignatureLine(const PublicKey& key, const Signature& signature) {
    return KeyId(key) + " " + HexBytes(signature);
}

std::string FormatSignatures(const std::vector<std::pair<PublicKey, Signature>>& signatures) {
    std::string text = std::string(kSignatureFormat) + "\n";
    for (const auto& [key, signature] : signatures) text += FormatSignatureLine(key, signature) + "\n";
    return text;
}

namespace {

struct SignatureLine {
    std::string_view keyId;
    Signature signature{};
};

std::optional<std::vector<SignatureLine>> ParseSignatures(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || (*lines)[0] != kSignatureFormat) return std::nullopt;
    std::vector<SignatureLine> parsed;
    for (std::size_t k = 1; k < lines->size(); ++k) {
        const std::vector<std::string_view> words = SplitFields((*lines)[k], ' ');
        std::array<std::uint8_t, 8> id{};
        SignatureLine line;
        if (words.size() != 2 || !ParseHexBytes(words[0], id) || !ParseHexBytes(words[1], line.signature)) {
            return std::nullopt;
        }
        line.keyId = words[0];
        parsed.push_back(line);
    }
    return parsed;
}

}  // namespace

std::optional<std::vector<std::string>> SignatureKeyIds(std::string_view signatures) {
    const auto lines = ParseSignatures(signatures);
    if (!lines) return std::nullopt;
    std::vector<std::string> ids;
    for (const SignatureLine& line : *lines) ids.emplace_back(line.keyId);
    return ids;
}

bool IsSignedBy(std::string_view metadata, std::string_view signatures, const std::vector<PublicKey>& keys) {
    const auto lines = ParseSignatures(signatures);
    if (!lines) return false;
    for (const PublicKey& key : keys) {
        const std::string id = KeyId(key);
        for (const SignatureLine& line : *lines) {
            if (line.keyId == id && VerifySignature(key, metadata, line.signature)) return true;
        }
    }
    return false;
}
