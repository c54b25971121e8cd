// The operator's signature over what the update installs. With keys
// compiled in, nothing reaches the game folder unless the release keys signed
// it: the index, every list, and every file's size and SHA-256. The fresh
// metadata, signed by the freshness keys (or the release keys when the build
// has none of their own), only says that this release is still current.
// Without keys, the run trusts the server, as it always did.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "transfer/download_job.h"
#include "update/trust/extras.h"
#include "update/trust/pack_index.h"
#include "update/trust/serial_record.h"
#include "update/trust/signed_metadata.h"

// Where this game folder keeps the highest serial it has accepted.
inline constexpr const char* kSerialName = "Config\\updater.serial";

// The keys a build holds and the channel it follows.
struct TrustSettings {
    // The release keys ("key1,key2"); empty for an unsigned repository.
    std::string publicKeys;
    int releaseThreshold = 1;  // how many distinct release keys must sign
    // The freshness keys; empty: the release keys vouch for freshness too.
    std::string freshKeys;
    std::string channel;
};

class RepositoryTrust {
public:
    // No release key: an unsigned updater. The serials this game folder
    // accepted are kept in it (kSerialName).
    RepositoryTrust(const TrustSettings& settings, GameFolder& folder);

    bool Enabled() const { return !releaseKeys_.empty(); }

    // What the run asks for beside the index, all at once: the fresh and
    // release metadata with their signatures, and the extras (extras.h),
    // which only some repositories have. The release metadata is held to a
    // fixed limit here, since its signed size is known only from the fresh
    // metadata that comes with it. Nothing for an unsigned repository.
    std::vector<TextRequest> TopRequests() const;
    // Checks the signed metadata (texts as TopRequests asked) against the
    // index read with it: the fresh metadata's signature and expiry, then
    // the release metadata it names, its signatures, channel and expiry, the
    // serials, and the index's digest. Throws UpdateFailure. Extras that are
    // missing, not signed by the release keys or made for another release
    // are left aside: they only ever save work.
    void CheckIndex(const std::string& index, const std::vector<std::string>& texts);
    // The checked extras of this release, or nullptr.
    const ReleaseExtras* Extras() const { return extras_ ? &*extras_ : nullptr; }
    // The extras and their signatures alone, as TopRequests asks for them:
    // of another mirror, when this one's were not taken.
    std::vector<TextRequest> ExtrasRequests() const;
    // Takes the extras another mirror serves (texts as ExtrasRequests
    // asked) on the same terms as CheckIndex; false when they are not taken.
    bool TakeExtras(const std::vector<std::string>& texts);
    // What to fetch for a version: its list and, when signed, its file
    // metadata (and its patch metadata when it has some, as an optional
    // file), each limited to the size the release metadata signed for it.
    // Throws UpdateFailure for a version the metadata does not sign.
    std::vector<TextRequest> VersionRequests(std::int16_t version) const;
    // Checks a version's list and its file metadata (fetched beside the
    // list as VersionRequests asked: texts[0] the list), and takes its patch
    // metadata when it is what was signed. False when the version has patch
    // metadata that was not taken (missing, or not what was signed).
    bool CheckList(std::int16_t version, const std::vector<std::string>& texts);
    // Checks a version's list read without its file metadata (only its
    // entries' names are needed). Throws UpdateFailure when it is not the
    // list signed.
    void CheckListAlone(std::int16_t version, const std::string& list) const;
    // Takes a version's patch metadata fetched again (VersionRequests' last
    // request) when it is what was signed: the offer gets its objects and
    // deltas. Without them, the version's files come whole.
    bool TakePatches(std::int16_t version, const std::string& text);
    // Takes the file digests of a pack's index, checked against the digest
    // its offer signed, in place of the newer versions' file metadata.
    void TakePackIndex(const PackIndex& index);
    // The objects and deltas the checked versions offer.
    const PatchOffer& Offer() const { return offer_; }
    // The size and SHA-256 the entry (UTF-8) must have: those of the newest
    // version that lists it. Throws UpdateFailure for a listed entry that
    // the metadata does not vouch for.
    FileDigest Expected(const std::string& entry) const;
    // Remembers the serials of the metadata this run accepted; the failure
    // when they could not be written.
    IoStatus RecordSerial() const;

private:
    AcceptedSerials ReadAcceptedSerials() const;
    void CheckRelease(const std::string& release, const std::string& signatures, const FileDigest& named);
    void AcceptExtras(const std::string& extras, const std::string& signatures);

    GameFolder& folder_;
    std::vector<PublicKey> releaseKeys_;
    std::size_t threshold_ = 1;
    std::vector<PublicKey> freshKeys_;
    std::size_t freshThreshold_ = 1;
    std::string channel_;
    // The accepted serials are kept per key set (serial_record.h).
    std::string keySet_;
    AcceptedSerials accepted_;
    std::optional<RepositoryMetadata> metadata_;
    std::optional<ReleaseExtras> extras_;
    FileDigest release_;  // the release metadata's, which the extras must name
    PatchOffer offer_;
    // Entry (UTF-8) -> the version that vouches for it and its digest.
    std::map<std::string, std::pair<std::int16_t, FileDigest>> files_;
};

// Checks a body against its signed size and SHA-256 as it streams to disk.
std::unique_ptr<ContentCheck> MakeDigestCheck(const FileDigest& expected);

// True when the file (UTF-8 path relative to the game folder) already holds
// exactly these bytes; it is read once. With Links::NotFollowed a link at
// the name holds nothing, and what it leads to is never read.
bool HoldsContent(GameFolder& folder, const std::string& entry, const FileDigest& expected, Links links);
// The size and SHA-256 of the installed file, a regular file (not a link);
// nothing when there is none or it cannot be read.
std::optional<FileDigest> InstalledDigest(GameFolder& folder, const std::string& entry);
