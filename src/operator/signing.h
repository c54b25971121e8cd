// Signing a repository and checking its signatures. Beside the index and
// lists: qoro_update_<N>.meta (every file of list N with its size and
// SHA-256, taken from files/), qoro_update_infos.meta (serial, expiry, the
// digests of the index, of every list and of every version's metadata) and
// qoro_update_infos.sig (its signatures, one per key).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "operator/signing_key.h"
#include "update/crypto.h"

struct SigningOptions {
    std::vector<std::filesystem::path> keyFiles;
    long long expiresInDays = 30;
    bool dropOtherKeys = false;  // sign without the keys of the present signatures that are not given
};

// What signing will write, decided before anything is written.
struct SigningPlan {
    std::vector<SigningKey> keys;
    std::uint64_t serial = 1;
    std::int64_t expires = 0;                  // Unix seconds
    std::optional<std::string> oldSignatures;  // the present qoro_update_infos.sig, when well formed
    std::vector<Problem> problems;             // present version metadata that no longer match files/
    std::vector<std::string> refusals;         // empty when signing may go ahead
};

// True when the repository has any of the signed metadata files.
bool IsSigned(const RepositoryFolder& repository);

// Loads the keys (refusing key files inside the repository), reads the
// serial to follow, and checks the version metadata already there against
// files/. now: Unix seconds.
SigningPlan PlanSigning(const SigningOptions& options, const RepositoryFolder& repository, std::int64_t now);

// Writes the missing version metadata (made from files/ as it is now;
// always for newVersion, which publish has just written), then the
// signatures and the top metadata. repository is the repository as players
// will see it with index as its index (publish writes the index after this
// returns). Returns the final signature file for FinishSignatures. Throws
// std::runtime_error on any failure.
std::string WriteSignedMetadata(const RepositoryFolder& repository, const std::string& index,
                                std::optional<std::int16_t> newVersion, const SigningPlan& plan,
                                std::ostream& progress);
// Drops the signatures of the previous metadata, which WriteSignedMetadata
// keeps so that a player reading during the change finds either signed.
void FinishSignatures(const RepositoryFolder& repository, const std::string& signatures);

// Every problem of the signed metadata: missing or malformed files,
// signatures by none of keys (not checked when keys is empty), expiry, and
// every digest (index, lists, version metadata, each file under files/
// against the newest version that lists it). The local checks of
// CheckRepository come on top.
std::vector<Problem> CheckSignedMetadata(const RepositoryFolder& repository,
                                         const std::vector<PublicKey>& keys, std::int64_t now);

// The version metadata names, in index order, for requests.
std::vector<std::string> VersionMetadataNames(const RepositoryFolder& repository);

// "signed by <id>[, <id>], serial S, expires T" for the clean line of verify.
std::string SignatureSummary(const RepositoryFolder& repository, const std::vector<PublicKey>& keys);

// The sign command. Returns the exit status.
int Sign(const std::filesystem::path& repository, const SigningOptions& options, std::ostream& out,
         std::ostream& err);
