#include "update/trust.h"

#include <chrono>
#include <fstream>
#include <system_error>
#include <vector>

#include "failure.h"
#include "storage/storage.h"
#include "update/key_text.h"
#include "update/repository.h"
#include "update/serial_record.h"
#include "update/signature_file.h"

namespace {

constexpr std::size_t kLargestMetadata = 8 * 1024 * 1024;
constexpr std::size_t kLargestSignatures = 64 * 1024;

[[noreturn]] void Refuse(const std::string& file) {
    throw UpdateFailure("Signature invalide: " + file + ".");
}

// The record is a few bytes; anything longer is not one.
constexpr std::size_t kLargestSerialRecord = 4096;

std::uint64_t AcceptedSerial(const std::string& keySet) {
    std::ifstream in(LocalPath(kSerialName), std::ios::binary);
    std::string text(kLargestSerialRecord + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kLargestSerialRecord) return 0;
    return RecordedSerial(text, keySet);
}

class DigestCheck : public ContentCheck {
public:
    explicit DigestCheck(const FileDigest& expected) : expected_(expected) {}
    void Restart() override {
        hash_.Finish();
        size_ = 0;
    }
    void Update(const char* data, std::size_t size) override {
        hash_.Update(data, size);
        size_ += size;
    }
    bool Matches() override { return size_ == expected_.size && hash_.Finish() == expected_.sha256; }

private:
    FileDigest expected_;
    Sha256 hash_;
    std::uint64_t size_ = 0;
};

}  // namespace

RepositoryTrust::RepositoryTrust(std::string_view keysText) {
    // The build checked the keys; a key that still does not parse means no
    // signature can ever match, which must not turn into "unsigned".
    const auto keys = ParsePublicKeys(keysText);
    if (!keys && !keysText.empty()) throw UpdateFailure("Clé publique invalide.");
    if (keys) keys_ = *keys;
    keySet_ = KeySetName(keys_);
}

void RepositoryTrust::CheckIndex(const std::string& index, const Fetch& fetch) {
    if (!Enabled()) return;
    const std::vector<std::string> fetched =
        fetch({{kMetadataName, kLargestMetadata, {}}, {kSignatureName, kLargestSignatures, {}}});
    const std::string& metadata = fetched[0];
    const std::string& signatures = fetched[1];
    if (!IsSignedBy(metadata, signatures, keys_)) Refuse(kSignatureName);
    metadata_ = ParseRepositoryMetadata(metadata);
    if (!metadata_) Refuse(kMetadataName);
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    if (HasExpired(*metadata_, now)) throw UpdateFailure("Mise à jour expirée.");
    // Metadata older than what this folder once accepted is a replay: it
    // could bring back files the operator has since replaced.
    if (metadata_->serial < AcceptedSerial(keySet_)) {
        throw UpdateFailure("Mise à jour plus ancienne que la dernière acceptée.");
    }
    if (DigestOf(index) != metadata_->index) Refuse(kIndexName);
}

std::vector<TextRequest> RepositoryTrust::VersionRequests(std::int16_t version) const {
    const std::string list = ListName(version);
    if (!Enabled()) return {{list, kLargestList, {}}};
    const SignedVersion* signedVersion = FindVersion(*metadata_, version);
    if (!signedVersion) Refuse(list);
    const std::string files = VersionMetadataName(version);
    // A body longer than what was signed cannot be it: it is refused as soon
    // as it says so, or passes that length, instead of being read whole.
    return {
        {list, static_cast<std::size_t>(signedVersion->list.size), "Signature invalide: " + list + "."},
        {files, static_cast<std::size_t>(signedVersion->files.size), "Signature invalide: " + files + "."}};
}

void RepositoryTrust::CheckList(std::int16_t version, const std::string& name, const std::string& list,
                                const std::string& text) {
    if (!Enabled()) return;
    const SignedVersion* signedVersion = FindVersion(*metadata_, version);
    if (!signedVersion || DigestOf(list) != signedVersion->list) Refuse(name);
    const std::string filesName = VersionMetadataName(version);
    if (DigestOf(text) != signedVersion->files) Refuse(filesName);
    const auto files = ParseVersionFiles(text);
    if (!files || files->version != version) Refuse(filesName);
    for (const auto& [path, digest] : files->files) {
        auto [where, added] = files_.try_emplace(AnsiToUtf8(path), version, digest);
        if (!added && where->second.first < version) where->second = {version, digest};
    }
}

FileDigest RepositoryTrust::Expected(const std::string& entry) const {
    const auto found = files_.find(entry);
    if (found == files_.end()) throw UpdateFailure("Fichier non signé: " + Printable(entry) + ".");
    return found->second.second;
}

void RepositoryTrust::RecordSerial() const {
    if (!Enabled() || !metadata_ || metadata_->serial <= AcceptedSerial(keySet_)) return;
    // Like the settings file: never created where the game has no Config folder.
    const std::filesystem::path path = LocalPath(kSerialName);
    std::error_code error;
    if (!std::filesystem::is_directory(path.parent_path(), error)) return;
    const std::filesystem::path written = LocalPath(std::string(kSerialName) + ".new");
    {
        std::ofstream out(written, std::ios::binary | std::ios::trunc);
        out << FormatSerialRecord(keySet_, metadata_->serial);
        out.close();
        if (out.fail()) {
            std::filesystem::remove(written, error);
            throw UpdateFailure("Impossible d'écrire Config\\updater.serial.");
        }
    }
    try {
        ReplaceFile(written, path);
    } catch (const std::system_error&) {
        std::filesystem::remove(written, error);
        throw UpdateFailure("Impossible d'écrire Config\\updater.serial.");
    }
}

std::unique_ptr<ContentCheck> MakeDigestCheck(const FileDigest& expected) {
    return std::make_unique<DigestCheck>(expected);
}

bool HoldsContent(const std::string& entry, const FileDigest& expected) {
    const std::filesystem::path path = LocalPath(entry);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) ||
        std::filesystem::file_size(path, error) != expected.size || error) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    return DigestOfStream(in) == expected;
}
