// Signing a repository and checking its signatures. Beside the index and
// lists:
//   qoro_update_<N>.meta        every file of list N with its size and
//                               SHA-256, taken from files/
//   qoro_update_release.meta    what the release keys sign: the channel, a
//                               release serial and expiry, and the digests of
//                               the index, of every list and of every
//                               version's metadata
//   qoro_update_fresh.meta      what the freshness keys sign: a serial and a
//                               short expiry over the release metadata's digest
//   qoro_update_infos.meta      the release metadata's first shape, signed by
//                               the release keys, for updaters built before
//                               the two roles; kept up to date while present
//   qoro_update_extras.meta     what the release offers beyond (extras.h),
//                               bound to the release metadata
// each top .meta with its signatures in the .sig of the same stem.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "operator/encode/patches.h"
#include "operator/operator_state.h"
#include "operator/problem.h"
#include "operator/release_anchor.h"
#include "operator/repository_folder.h"
#include "operator/signing_key.h"
#include "update/trust/crypto.h"
#include "update/trust/extras.h"
#include "update/trust/signed_metadata.h"

inline constexpr long long kFreshDays = 7;
inline constexpr long long kReleaseDays = 365;
inline constexpr long long kFirstShapeDays = 30;

struct SigningOptions {
    std::vector<std::filesystem::path> keyFiles;       // release keys
    std::vector<std::filesystem::path> freshKeyFiles;  // none: the release keys sign the fresh metadata
    std::optional<long long> expiresInDays;            // the fresh metadata (and the first shape)
    long long releaseExpiresInDays = kReleaseDays;
    std::optional<std::string> channel;  // none: the present channel, or "live"
    bool dropOtherKeys = false;          // sign without the keys of the present signatures that are not given
    // How many of the release keys must have signed what the repository
    // holds (the present release, extras, first shape); none: every key
    // given, as a routine signing gives every key players need.
    std::optional<std::size_t> threshold;
    // Objects and deltas for the versions whose metadata is written; none:
    // whole files only.
    std::optional<PatchOptions> patches = PatchOptions{};
    // The operator's record of what was signed (operator_state.h): none,
    // the default place beside the first key file.
    std::optional<std::filesystem::path> stateFile;
    AnchorFlags anchor;
    std::string command = "sign";  // for messages: sign or publish
};

// What signing will write, decided before anything is written.
struct SigningPlan {
    std::vector<SigningKey> keys;       // release keys
    std::size_t threshold = 1;          // of them, must have signed the present files
    std::vector<SigningKey> freshKeys;  // the keys that sign the fresh metadata
    std::string channel = "live";
    std::uint64_t releaseSerial = 1;
    std::uint64_t freshSerial = 1;
    std::int64_t releaseExpires = 0;  // Unix seconds
    std::int64_t freshExpires = 0;
    // Set while qoro_update_infos.meta is kept for earlier updaters.
    std::optional<std::uint64_t> firstShapeSerial;
    std::int64_t firstShapeExpires = 0;
    // Signature file name -> its present text, when well formed.
    std::map<std::string, std::string> oldSignatures;
    std::vector<Problem> problems;      // what the present signature does not cover
    std::vector<std::string> refusals;  // empty when signing may go ahead
    std::vector<std::string> notes;     // said when signing goes ahead
    StateFile state;                    // the record to compare with, and to update once signed
    // Objects and deltas for the version metadata written now; none: the
    // versions travel whole only.
    std::optional<PatchOptions> patches;
    // What the release offers beyond the files every updater reads: the
    // present extras' records, carried forward, and what this signing adds.
    ReleaseExtras extras;
};

// True when the repository has any of the signed metadata files.
bool IsSigned(const RepositoryFolder& repository);

// Loads the keys (refusing key files inside the repository), reads the
// serials to follow, checks the repository against its present release
// signature, or, never signed, its version metadata against files/, and
// the present release against the state's record (release_anchor.h).
// now: Unix seconds.
SigningPlan PlanSigning(const SigningOptions& options, const RepositoryFolder& repository, std::int64_t now);

// Writes the missing version metadata (made from files/ as it is now;
// always for newVersion, which publish has just written), then each top
// metadata after its signatures. repository is the repository as players
// will see it with index as its index (publish writes the index after this
// returns). Returns the final signature files for FinishSignatures and the
// digest of the release metadata written. Throws std::runtime_error on any
// failure.
using FinalSignatures = std::map<std::string, std::string>;
struct SignedWrite {
    FinalSignatures signatures;
    FileDigest release;
};
SignedWrite WriteSignedMetadata(const RepositoryFolder& repository, const std::string& index,
                                std::optional<std::int16_t> newVersion, const SigningPlan& plan,
                                std::ostream& progress);
// Drops the signatures of the previous metadata, which the writing keeps so
// that a player reading during the change finds either signed.
void FinishSignatures(const RepositoryFolder& repository, const FinalSignatures& signatures);
// Records the release just signed in the plan's state file; says on err,
// and returns false, when it cannot.
bool RecordSigning(const SigningPlan& plan, const FileDigest& release, std::ostream& err);
// "update-repo: note: …" for each.
void PrintNotes(const std::vector<std::string>& notes, std::ostream& err);

// The public keys a check holds: the release keys, how many of them must
// sign, and the freshness keys (none: the release keys).
struct TrustedKeys {
    std::vector<PublicKey> release;
    std::size_t threshold = 1;
    std::vector<PublicKey> fresh;
    std::optional<std::string> channel;
};

// Every problem of the signed metadata: missing or malformed files,
// signatures short of the keys (not checked when keys.release is empty),
// expiries, channel, and every digest (the release metadata, index, lists,
// version metadata, each file under files/ against the newest version that
// lists it; the first shape's too while it is kept). The local checks of
// CheckRepository come on top.
std::vector<Problem> CheckSignedMetadata(const RepositoryFolder& repository, const TrustedKeys& keys,
                                         std::int64_t now);

// Every file that is not what metadata (read from topName) covers: the
// index, the lists and version metadata of the versions it signs, their
// files under files/, and every version, list or file it does not sign.
std::vector<Problem> CheckCoveredBySignature(const RepositoryFolder& repository, const std::string& topName,
                                             const RepositoryMetadata& metadata);

// The top metadata and signature names a keyed player requests, in order.
std::vector<std::string> TopMetadataNames(const RepositoryFolder& repository);
// The version metadata names, in index order, for requests.
std::vector<std::string> VersionMetadataNames(const RepositoryFolder& repository);

// "release signed by <id>[, <id>], serial S, channel C, expires T; fresh …"
// for the clean line of verify.
std::string SignatureSummary(const RepositoryFolder& repository, const TrustedKeys& keys);

// Writes one top metadata file after its signatures by keys (the present
// ones kept beside them while it changes). Returns the final signature file.
std::string WriteSignedFile(const RepositoryFolder& repository, const std::string& name,
                            const std::string& text, const std::vector<SigningKey>& keys,
                            const std::map<std::string, std::string>& oldSignatures);

// How many of keys validly signed the top metadata name, whose bytes are
// bytes (0 without its signature file).
std::size_t ValidSignatures(const RepositoryFolder& repository, const std::string& name,
                            const std::string& bytes, const std::vector<PublicKey>& keys);

// The first shape, while kept beside the release metadata, must carry
// threshold valid signatures by keys, since its serial goes on from there;
// a refusal naming the way out otherwise.
void CheckFirstShapeKept(const RepositoryFolder& repository, const std::vector<PublicKey>& keys,
                         std::size_t threshold, std::vector<std::string>& refusals);

// Refuses, into refusals, to drop the signature of a key that signed the
// present file name and is not among keys; remembers the present
// signatures for the change-over.
void KeepPresentSignatures(const RepositoryFolder& repository, const std::string& signatureName,
                           const std::vector<SigningKey>& keys, bool dropOtherKeys,
                           std::map<std::string, std::string>& oldSignatures,
                           std::vector<std::string>& refusals);

// Loads key files, refusing those inside the repository.
std::vector<SigningKey> LoadKeys(const std::vector<std::filesystem::path>& files,
                                 const RepositoryFolder& repository, std::vector<std::string>& refusals);

// The serial following the one in the present metadata name (none: 1);
// refusals, naming name and remedy, when it is at its greatest.
std::uint64_t NextSerial(const std::optional<std::uint64_t>& present, const std::string& name,
                         const std::string& remedy, std::vector<std::string>& refusals);
// What lifts a release serial at its greatest.
inline constexpr const char* kNewKeySet = "sign with a new key set, as docs/signing.md tells";

std::string Joined(const std::vector<std::string>& words);

// Prints the repository's problems, what the present signature does not
// cover and every refusal (one more when there are problems), and says that
// nothing was written. False, printing nothing, when there is nothing to refuse.
bool Refused(const std::vector<Problem>& problems, const std::vector<Problem>& uncovered,
             std::vector<std::string> refusals, std::ostream& err);

// The repository folder read, or nothing (said on err) when it is not a folder.
std::optional<RepositoryFolder> OpenRepository(const std::filesystem::path& root, std::ostream& err);

// The sign command. Returns the exit status.
int Sign(const std::filesystem::path& repository, const SigningOptions& options, std::ostream& out,
         std::ostream& err);
