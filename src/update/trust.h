// The operator's signature over what the update installs. With keys
// compiled in, nothing reaches the game folder unless the repository's signed
// metadata vouches for it: the index, every list, and every file's size and
// SHA-256. Without keys, the run trusts the server, as it always did.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/download.h"
#include "update/signed_metadata.h"

// Where this game folder keeps the highest serial it has accepted.
inline constexpr const char* kSerialName = "Config\\updater.serial";

class RepositoryTrust {
public:
    // Fetches a small repository file into memory (the run shows it).
    using Fetch = std::function<std::string(const std::string& name, std::size_t limit)>;

    // The keys compiled into this build; none for an unsigned updater.
    explicit RepositoryTrust(std::string_view keysText);

    bool Enabled() const { return !keys_.empty(); }

    // Checks the signed metadata against the index just read: the signature,
    // the expiry, the serial, the index's digest. Throws UpdateFailure.
    void CheckIndex(const std::string& index, const Fetch& fetch);
    // Checks a version's list and fetches its file metadata.
    void CheckList(std::int16_t version, const std::string& name, const std::string& list,
                   const Fetch& fetch);
    // The size and SHA-256 the entry (UTF-8) must have: those of the newest
    // version that lists it. Throws UpdateFailure for a listed entry that
    // the metadata does not vouch for.
    FileDigest Expected(const std::string& entry) const;
    // Remembers the serial of the metadata this run accepted.
    void RecordSerial() const;

private:
    std::vector<PublicKey> keys_;
    std::optional<RepositoryMetadata> metadata_;
    // Entry (UTF-8) -> the version that vouches for it and its digest.
    std::map<std::string, std::pair<std::int16_t, FileDigest>> files_;
};

// Checks a body against its signed size and SHA-256 as it streams to disk.
std::unique_ptr<ContentCheck> MakeDigestCheck(const FileDigest& expected);

// True when the file (UTF-8 path relative to the game folder) already holds
// exactly these bytes; it is read once.
bool HoldsContent(const std::string& entry, const FileDigest& expected);
