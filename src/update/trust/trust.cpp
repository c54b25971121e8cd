#include "update/trust/trust.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "failure.h"
#include "player_texts.h"
#include "storage/file_streams.h"
#include "storage/storage.h"
#include "update/formats/repository.h"
#include "update/trust/key_text.h"
#include "update/trust/serial_record.h"
#include "update/trust/signature_file.h"

namespace {

// The fresh metadata is four lines; the release metadata (kLargestReleaseMetadata)
// and the extras (kLargestExtras) have fixed limits of their own.
constexpr std::size_t kLargestFreshMetadata = 4096;
constexpr std::size_t kLargestSignatures = 64 * 1024;

[[noreturn]] void Refuse(const std::string& file) {
    throw UpdateFailure(texts::BadSignature(file));
}

// The record is a few bytes; anything longer is not one.
constexpr std::size_t kLargestSerialRecord = 4096;

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

std::vector<PublicKey> KeysOf(std::string_view text) {
    // The build checked the keys; a key that still does not parse means no
    // signature can ever match, which must not turn into "unsigned".
    const auto keys = ParsePublicKeys(text);
    if (!keys && !text.empty()) throw UpdateFailure(texts::BadPublicKey());
    return keys ? *keys : std::vector<PublicKey>{};
}

}  // namespace

RepositoryTrust::RepositoryTrust(const TrustSettings& settings, GameFolder& folder)
    : folder_(folder),
      releaseKeys_(KeysOf(settings.publicKeys)),
      threshold_(static_cast<std::size_t>(std::max(settings.releaseThreshold, 1))),
      freshKeys_(KeysOf(settings.freshKeys)),
      channel_(settings.channel) {
    if (!Enabled()) return;
    // Without freshness keys of its own, the build lets the release keys
    // vouch for freshness too, as many of them as for the content.
    if (freshKeys_.empty()) {
        freshKeys_ = releaseKeys_;
        freshThreshold_ = threshold_;
    }
    keySet_ = KeySetName(releaseKeys_, settings.freshKeys.empty() ? std::vector<PublicKey>{} : freshKeys_);
}

std::vector<TextRequest> RepositoryTrust::TopRequests() const {
    if (!Enabled()) return {};
    std::vector<TextRequest> requests = {
        {kFreshMetadataName, kLargestFreshMetadata, {}},
        {kFreshSignatureName, kLargestSignatures, {}},
        {kReleaseMetadataName, kLargestReleaseMetadata, texts::BadSignature(kReleaseMetadataName)},
        {kReleaseSignatureName, kLargestSignatures, {}}};
    const std::vector<TextRequest> extras = ExtrasRequests();
    requests.insert(requests.end(), extras.begin(), extras.end());
    return requests;
}

std::vector<TextRequest> RepositoryTrust::ExtrasRequests() const {
    std::vector<TextRequest> requests = {{kExtrasName, kLargestExtras, {}},
                                         {kExtrasSignatureName, kLargestSignatures, {}}};
    requests[0].optional = requests[1].optional = true;
    return requests;
}

bool RepositoryTrust::TakeExtras(const std::vector<std::string>& texts) {
    if (metadata_) AcceptExtras(texts.at(0), texts.at(1));
    return extras_.has_value();
}

void RepositoryTrust::CheckIndex(const std::string& index, const std::vector<std::string>& texts) {
    if (!Enabled()) return;
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    if (CountSignedBy(texts[0], texts[1], freshKeys_) < freshThreshold_) Refuse(kFreshSignatureName);
    const auto freshness = ParseFreshMetadata(texts[0]);
    if (!freshness) Refuse(kFreshMetadataName);
    if (HasExpired(freshness->expires, now)) throw UpdateFailure(texts::Expired());
    CheckRelease(texts[2], texts[3], freshness->release);
    if (HasExpired(metadata_->expires, now)) throw UpdateFailure(texts::Expired());
    // Metadata older than what this folder once accepted is a replay: it
    // could bring back files the operator has since replaced, or hold back
    // a fix.
    const AcceptedSerials offered{metadata_->serial, freshness->serial};
    const AcceptedSerials accepted = ReadAcceptedSerials();
    if (offered < accepted) throw UpdateFailure(texts::OlderThanAccepted());
    accepted_ = std::max(offered, accepted);
    if (DigestOf(index) != metadata_->index) Refuse(kIndexName);
    release_ = DigestOf(texts[2]);
    AcceptExtras(texts[4], texts[5]);
}

// The release metadata is what the fresh metadata names, no longer.
void RepositoryTrust::CheckRelease(const std::string& release, const std::string& signatures,
                                   const FileDigest& named) {
    if (named.size > kLargestReleaseMetadata || DigestOf(release) != named) Refuse(kReleaseMetadataName);
    if (CountSignedBy(release, signatures, releaseKeys_) < threshold_) Refuse(kReleaseSignatureName);
    metadata_ = ParseRepositoryMetadata(release);
    if (!metadata_ || metadata_->channel.empty()) Refuse(kReleaseMetadataName);
    if (metadata_->channel != channel_) {
        throw UpdateFailure(texts::OtherChannel(metadata_->channel));
    }
}

// Extras signed for another release are what a mirror still serving the
// last one, or an older update-repo re-signing the release, leaves: the
// run goes on without them, as it would with none.
void RepositoryTrust::AcceptExtras(const std::string& extras, const std::string& signatures) {
    extras_.reset();
    if (extras.empty() || CountSignedBy(extras, signatures, releaseKeys_) < threshold_) return;
    auto parsed = ParseReleaseExtras(extras);
    if (parsed && parsed->release == release_) extras_ = std::move(parsed);
}

std::vector<TextRequest> RepositoryTrust::VersionRequests(std::int16_t version) const {
    const std::string list = ListName(version);
    if (!Enabled()) return {{list, kLargestList, {}}};
    const SignedVersion* signedVersion = FindVersion(*metadata_, version);
    if (!signedVersion) Refuse(list);
    // A body longer than what was signed cannot be it: it is refused as soon
    // as it says so, or passes that length, instead of being read whole. The
    // lists are read into memory, so a signed size past what a list can be
    // is held to that too.
    const auto limited = [](const std::string& name, std::uint64_t size) {
        return TextRequest{name, static_cast<std::size_t>(std::min<std::uint64_t>(size, kLargestList)),
                           texts::BadSignature(name)};
    };
    std::vector<TextRequest> requests = {limited(list, signedVersion->list.size),
                                         limited(VersionMetadataName(version), signedVersion->files.size)};
    // Without its patch metadata, a version's files still come whole.
    if (signedVersion->patches) {
        requests.push_back(limited(VersionPatchesName(version), signedVersion->patches->size));
        requests.back().optional = true;
    }
    return requests;
}

bool RepositoryTrust::CheckList(std::int16_t version, const std::vector<std::string>& texts) {
    if (!Enabled()) return true;
    const SignedVersion* signedVersion = FindVersion(*metadata_, version);
    if (!signedVersion || DigestOf(texts.at(0)) != signedVersion->list) Refuse(ListName(version));
    const std::string filesName = VersionMetadataName(version);
    if (DigestOf(texts.at(1)) != signedVersion->files) Refuse(filesName);
    const auto files = ParseVersionFiles(texts[1]);
    if (!files || files->version != version) Refuse(filesName);
    for (const auto& [path, digest] : files->files) {
        auto [where, added] = files_.try_emplace(AnsiToUtf8(path), version, digest);
        if (!added && where->second.first < version) where->second = {version, digest};
    }
    return !signedVersion->patches || TakePatches(version, texts.at(2));
}

void RepositoryTrust::CheckListAlone(std::int16_t version, const std::string& list) const {
    if (!Enabled()) return;
    const SignedVersion* signedVersion = FindVersion(*metadata_, version);
    if (!signedVersion || DigestOf(list) != signedVersion->list) Refuse(ListName(version));
}

bool RepositoryTrust::TakePatches(std::int16_t version, const std::string& text) {
    const SignedVersion* signedVersion = metadata_ ? FindVersion(*metadata_, version) : nullptr;
    if (!signedVersion || !signedVersion->patches || DigestOf(text) != *signedVersion->patches) return false;
    const auto patches = ParseVersionPatches(text);
    if (!patches || patches->version != version) return false;
    offer_.Add(*patches);
    return true;
}

void RepositoryTrust::TakePackIndex(const PackIndex& index) {
    for (const PackEntry& entry : index.entries) {
        if (entry.way != PackEntry::Way::Blank) files_[AnsiToUtf8(entry.entry)] = {index.to, entry.expected};
    }
}

FileDigest RepositoryTrust::Expected(const std::string& entry) const {
    const auto found = files_.find(entry);
    if (found == files_.end()) throw UpdateFailure(texts::NotSigned(Printable(entry)));
    return found->second.second;
}

// A record that cannot be read holds nothing back, as one that is missing.
AcceptedSerials RepositoryTrust::ReadAcceptedSerials() const {
    const Result<std::string> text = ReadFile(folder_, kSerialName, kLargestSerialRecord + 1);
    if (!text.ok() || text->size() > kLargestSerialRecord) return {};
    return RecordedSerials(*text, keySet_);
}

IoStatus RepositoryTrust::RecordSerial() const {
    if (!Enabled() || !metadata_ || accepted_ <= ReadAcceptedSerials()) return {};
    // Like the settings file: never created where the game has no Config folder.
    const std::string name = kSerialName;
    const Result<FileInfo> config = folder_.Inspect(name.substr(0, name.find('\\')), Links::Followed);
    if (!config.ok() || config->kind != FileKind::Folder) return {};
    const std::string written = name + ".new";
    folder_.Remove(written).IgnoreError();
    Result<std::unique_ptr<FileWriter>> out = folder_.OpenForWriting(written, WriteMode::CreateNew);
    const std::string record = FormatSerialRecord(keySet_, accepted_);
    IoStatus status = out.ok() ? (*out)->Write(record.data(), record.size()) : out.error();
    if (out.ok() && status.ok()) status = (*out)->Close();
    if (status.ok()) status = folder_.Replace(written, name);
    if (!status.ok()) folder_.Remove(written).IgnoreError();
    return status;
}

std::unique_ptr<ContentCheck> MakeDigestCheck(const FileDigest& expected) {
    return std::make_unique<DigestCheck>(expected);
}

std::optional<FileDigest> InstalledDigest(GameFolder& folder, const std::string& entry) {
    const Result<FileInfo> installed = folder.Inspect(entry, Links::NotFollowed);
    if (!installed.ok() || installed->kind != FileKind::Regular) return std::nullopt;
    Result<std::unique_ptr<FileReader>> reader = folder.OpenForReading(entry, Links::NotFollowed);
    if (!reader.ok()) return std::nullopt;
    ReaderStream in(**reader);
    return DigestOfStream(in);
}

// What was opened is read only when it is a regular file of the expected size.
bool HoldsContent(GameFolder& folder, const std::string& entry, const FileDigest& expected, Links links) {
    Result<std::unique_ptr<FileReader>> reader = folder.OpenForReading(entry, links);
    if (!reader.ok()) return false;
    const Result<FileInfo> installed = (*reader)->Info();
    if (!installed.ok() || installed->kind != FileKind::Regular || installed->size != expected.size) {
        return false;
    }
    ReaderStream in(**reader);
    return DigestOfStream(in) == expected;
}
