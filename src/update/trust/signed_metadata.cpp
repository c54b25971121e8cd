#include "update/trust/signed_metadata.h"

#include <set>
#include <stdexcept>
#include <vector>

#include "update/formats/number_text.h"
#include "update/formats/repository.h"
#include "update/formats/text_lines.h"
#include "update/formats/utc_time.h"

namespace {

constexpr std::string_view kMetadataFormat = "kestralon-metadata 1";
constexpr std::string_view kReleaseFormat = "kestralon-release 1";
constexpr std::string_view kFreshFormat = "kestralon-fresh 1";
constexpr std::string_view kPatchesFormat = "kestralon-patches 1";
constexpr std::string_view kFilesFormat = "kestralon-files 1";

// "version N", N plain decimal.
std::optional<std::int16_t> ParseVersionLine(std::string_view line) {
    std::string_view word;
    if (!TakeField(line, ' ', word) || word != "version") return std::nullopt;
    return ParseDecimal<std::int16_t>(line);
}

// "<hex> <size> <entry>": the entry is the rest of the line, blanks included.
std::optional<std::pair<std::string_view, FileDigest>> ParseFileLine(std::string_view line) {
    std::string_view hex, size;
    if (!TakeField(line, ' ', hex) || !TakeField(line, ' ', size)) return std::nullopt;
    const auto digest = ParseFileDigest(hex, size);
    if (!digest || IsBlankEntry(line) || line.find('\r') != std::string_view::npos) return std::nullopt;
    return std::pair{line, *digest};
}

}  // namespace

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

std::string VersionMetadataName(std::int16_t version) {
    return "qoro_update_" + std::to_string(version) + ".meta";
}

std::string VersionPatchesName(std::int16_t version) {
    return "qoro_update_" + std::to_string(version) + ".patch";
}

std::optional<FileDigest> DigestOfStream(std::istream& in) {
    Sha256 hash;
    std::vector<char> piece(1024 * 1024);
    std::uint64_t size = 0;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        hash.Update(piece.data(), got);
        size += got;
    }
    if (in.bad()) return std::nullopt;
    return FileDigest{size, hash.Finish()};
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

std::optional<RepositoryMetadata> ParseRepositoryMetadata(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || ((*lines)[0] != kMetadataFormat && (*lines)[0] != kReleaseFormat)) return std::nullopt;
    const bool release = (*lines)[0] == kReleaseFormat;
    RepositoryMetadata metadata;
    bool hasSerial = false, hasExpires = false, hasIndex = false;
    std::set<std::int16_t> versions;
    for (std::size_t k = 1; k < lines->size(); ++k) {
        const std::vector<std::string_view> words = SplitFields((*lines)[k], ' ');
        const std::string_view kind = words[0];
        if (kind == "channel" && release && words.size() == 2 && metadata.channel.empty()) {
            if (!IsChannelName(words[1])) return std::nullopt;
            metadata.channel = words[1];
        } else if (kind == "serial" && words.size() == 2 && !hasSerial) {
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
        } else if (kind == "version" && (words.size() == 6 || (release && words.size() == 8))) {
            const auto version = ParseDecimal<std::int16_t>(words[1]);
            const auto list = ParseFileDigest(words[2], words[3]);
            const auto files = ParseFileDigest(words[4], words[5]);
            if (!version || !list || !files || !versions.insert(*version).second) return std::nullopt;
            std::optional<FileDigest> patches;
            if (words.size() == 8) {
                patches = ParseFileDigest(words[6], words[7]);
                if (!patches) return std::nullopt;
            }
            metadata.versions.push_back({*version, *list, *files, patches});
        } else {
            return std::nullopt;
        }
    }
    if (!hasSerial || !hasExpires || !hasIndex || (release && metadata.channel.empty())) return std::nullopt;
    return metadata;
}

std::string FormatRepositoryMetadata(const RepositoryMetadata& metadata) {
    std::string text;
    if (metadata.channel.empty()) {
        text = std::string(kMetadataFormat) + "\n";
    } else {
        if (!IsChannelName(metadata.channel)) {
            throw std::invalid_argument("\"" + metadata.channel + "\" is not a channel name");
        }
        text = std::string(kReleaseFormat) + "\n" + "channel " + metadata.channel + "\n";
    }
    text += "serial " + std::to_string(metadata.serial) + "\n";
    text += "expires " + FormatUtcTime(metadata.expires) + "\n";
    text += "index " + DigestText(metadata.index) + "\n";
    for (const SignedVersion& version : metadata.versions) {
        text += "version " + std::to_string(version.version) + " " + DigestText(version.list) + " " +
                DigestText(version.files);
        if (version.patches && !metadata.channel.empty()) text += " " + DigestText(*version.patches);
        text += "\n";
    }
    return text;
}

bool IsChannelName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::optional<FreshMetadata> ParseFreshMetadata(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || lines->size() != 4 || (*lines)[0] != kFreshFormat) return std::nullopt;
    const std::vector<std::string_view> serial = SplitFields((*lines)[1], ' ');
    const std::vector<std::string_view> expires = SplitFields((*lines)[2], ' ');
    const std::vector<std::string_view> release = SplitFields((*lines)[3], ' ');
    if (serial.size() != 2 || serial[0] != "serial" || expires.size() != 2 || expires[0] != "expires" ||
        release.size() != 3 || release[0] != "release") {
        return std::nullopt;
    }
    const auto number = ParseDecimal<std::uint64_t>(serial[1]);
    const auto time = ParseUtcTime(expires[1]);
    const auto digest = ParseFileDigest(release[1], release[2]);
    if (!number || !time || !digest) return std::nullopt;
    return FreshMetadata{*number, *time, *digest};
}

std::string FormatFreshMetadata(const FreshMetadata& metadata) {
    return std::string(kFreshFormat) + "\n" + "serial " + std::to_string(metadata.serial) + "\n" +
           "expires " + FormatUtcTime(metadata.expires) + "\n" + "release " + DigestText(metadata.release) +
           "\n";
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
    const auto version = ParseVersionLine((*lines)[1]);
    if (!version) return std::nullopt;
    VersionFiles files;
    files.version = *version;
    std::set<std::string_view> entries;
    for (std::size_t k = 2; k < lines->size(); ++k) {
        const auto file = ParseFileLine((*lines)[k]);
        if (!file || !entries.insert(file->first).second) return std::nullopt;
        files.files.emplace_back(std::string(file->first), file->second);
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

std::optional<VersionPatches> ParseVersionPatches(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || lines->size() < 2 || (*lines)[0] != kPatchesFormat) return std::nullopt;
    const auto version = ParseVersionLine((*lines)[1]);
    if (!version) return std::nullopt;
    VersionPatches patches;
    patches.version = *version;
    std::set<Sha256Digest> objects;
    std::set<std::pair<Sha256Digest, Sha256Digest>> deltas;
    for (std::size_t k = 2; k < lines->size(); ++k) {
        const std::vector<std::string_view> words = SplitFields((*lines)[k], ' ');
        if (words[0] == "object" && words.size() == 4) {
            PatchObject object;
            const auto digest = ParseFileDigest(words[2], words[3]);
            if (!ParseHexBytes(words[1], object.content) || !digest ||
                !objects.insert(object.content).second) {
                return std::nullopt;
            }
            object.object = *digest;
            patches.objects.push_back(object);
        } else if (words[0] == "delta" && words.size() == 5) {
            PatchDelta delta;
            const auto digest = ParseFileDigest(words[3], words[4]);
            if (!ParseHexBytes(words[1], delta.from) || !ParseHexBytes(words[2], delta.to) || !digest ||
                delta.from == delta.to || !deltas.insert({delta.from, delta.to}).second) {
                return std::nullopt;
            }
            delta.delta = *digest;
            patches.deltas.push_back(delta);
        } else {
            return std::nullopt;
        }
    }
    return patches;
}

std::string FormatVersionPatches(const VersionPatches& patches) {
    std::string text =
        std::string(kPatchesFormat) + "\n" + "version " + std::to_string(patches.version) + "\n";
    for (const PatchObject& object : patches.objects) {
        text += "object " + Hex(object.content) + " " + DigestText(object.object) + "\n";
    }
    for (const PatchDelta& delta : patches.deltas) {
        text += "delta " + Hex(delta.from) + " " + Hex(delta.to) + " " + DigestText(delta.delta) + "\n";
    }
    return text;
}

std::string ObjectName(const Sha256Digest& content) {
    return "objects/" + Hex(content) + ".zst";
}

std::string DeltaName(const Sha256Digest& from, const Sha256Digest& to) {
    return "deltas/" + Hex(from) + "-" + Hex(to) + ".zst";
}

void PatchOffer::Add(const VersionPatches& patches) {
    for (const PatchObject& object : patches.objects) objects.try_emplace(object.content, object.object);
    for (const PatchDelta& delta : patches.deltas) {
        bool known = false;
        const auto [first, last] = deltas.equal_range(delta.from);
        for (auto it = first; it != last; ++it) known = known || it->second.to == delta.to;
        if (!known) deltas.emplace(delta.from, delta);
        deltaTargets.insert(delta.to);
    }
}
