#include "operator/signing.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <set>
#include <stdexcept>
#include <system_error>

#include "operator/encode/packs.h"
#include "operator/file_digest.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "operator/removed_files.h"
#include "operator/signed_extras.h"
#include "operator/verify.h"
#include "storage/cp1252.h"
#include "update/formats/utc_time.h"
#include "update/trust/key_text.h"
#include "update/trust/signature_file.h"
#include "update/trust/signed_metadata.h"

namespace {

// How the problems of signed files end: what players with a key do.
const std::string kKeyed = "players whose updater has a key refuse ";

std::string Described(const FileDigest& digest) {
    return std::to_string(digest.size) + " bytes, SHA-256 " + Hex(digest.sha256);
}

// "<actual>, but <file> records <recorded>: ", the start of a digest mismatch.
std::string Recorded(const FileDigest& actual, const std::string& file, const FileDigest& recorded) {
    return Described(actual) + ", but " + file + " records " + Described(recorded) + ": ";
}

// The entries a version's metadata describes: the list's entries byte for
// byte (Windows-1252), blank ones left out, each once, in list order.
std::vector<std::string> DescribedEntries(const PublishedList& list) {
    std::vector<std::string> entries;
    if (!list.bytes) return entries;
    std::set<std::string> seen;
    for (std::string& entry : ReadListEntries(*list.bytes)) {
        if (IsBlankEntry(entry) || !seen.insert(entry).second) continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}

// For every entry, the greatest version that lists it: files/ holds one copy
// per path, the one that version published, and a player fetching any
// version that lists the path also fetches that one.
std::map<std::string, std::int16_t> NewestListing(const RepositoryFolder& repository) {
    std::map<std::string, std::int16_t> newest;
    for (const PublishedList& list : repository.lists) {
        for (const std::string& entry : DescribedEntries(list)) {
            const auto [found, added] = newest.emplace(entry, list.version);
            if (!added && found->second < list.version) found->second = list.version;
        }
    }
    return newest;
}

fs::path StoredFile(const RepositoryFolder& repository, const std::string& entry) {
    return repository.GameFilePath(Cp1252ToUtf8(entry));
}

std::string FileLabel(const std::string& entry) {
    return "files/" + Cp1252ToUtf8(entry);
}

VersionFiles DescribeVersion(const RepositoryFolder& repository, const PublishedList& list) {
    VersionFiles files;
    files.version = list.version;
    for (const std::string& entry : DescribedEntries(list)) {
        files.files.emplace_back(entry, DigestOfFile(StoredFile(repository, entry)));
    }
    return files;
}

// Where the entries a version metadata describes first part from its list's.
std::string FirstDifference(const std::vector<std::string>& expected,
                            const std::vector<std::string>& described) {
    const auto [a, b] = std::mismatch(expected.begin(), expected.end(), described.begin(), described.end());
    if (a == expected.end()) return Shown(Cp1252ToUtf8(*b)) + " is not in the list";
    return Shown(Cp1252ToUtf8(*a)) +
           (b != described.end() ? " where it has " + Shown(Cp1252ToUtf8(*b)) : " is missing");
}

// A present qoro_update_<N>.meta against list N and files/.
void CheckVersionFiles(const RepositoryFolder& repository, const PublishedList& list,
                       const std::string& bytes, const std::map<std::string, std::int16_t>& newest,
                       std::vector<Problem>& problems) {
    const std::string name = VersionMetadataName(list.version);
    const auto files = ParseVersionFiles(bytes);
    if (!files) {
        problems.push_back({name, "malformed: " + kKeyed + "version " + std::to_string(list.version), {}});
        return;
    }
    if (files->version != list.version) {
        problems.push_back({name, "describes version " + std::to_string(files->version), {}});
    }
    const std::vector<std::string> expected = DescribedEntries(list);
    std::vector<std::string> described;
    for (const auto& [entry, digest] : files->files) described.push_back(entry);
    if (described != expected) {
        problems.push_back({name,
                            "does not describe the files of " + list.name + " (" +
                                std::to_string(expected.size()) + " in the list, " +
                                std::to_string(described.size()) +
                                " here; first difference: " + FirstDifference(expected, described) + ")",
                            {}});
    }
    for (const auto& [entry, recorded] : files->files) {
        const auto found = newest.find(entry);
        if (found == newest.end() || found->second != list.version) continue;
        const fs::path stored = StoredFile(repository, entry);
        std::error_code error;
        if (!fs::is_regular_file(stored, error)) continue;  // reported by the repository check
        const FileDigest actual = DigestOfFile(stored);
        if (actual != recorded) {
            problems.push_back({FileLabel(entry), Recorded(actual, name, recorded) + kKeyed + "it", {}});
        }
    }
}

std::set<std::string> KeyIds(const std::vector<PublicKey>& keys) {
    std::set<std::string> ids;
    for (const PublicKey& key : keys) ids.insert(KeyId(key));
    return ids;
}

std::vector<PublicKey> PublicKeysOf(const std::vector<SigningKey>& keys) {
    std::vector<PublicKey> publicKeys;
    for (const SigningKey& key : keys) publicKeys.push_back(key.Public());
    return publicKeys;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    PendingFile file(path);
    file.Write(bytes);
    file.Commit();
}

bool Exists(const RepositoryFolder& repository, const std::string& name) {
    std::error_code error;
    return fs::exists(repository.root / name, error);
}

// A present top metadata: nothing when absent; refusals when malformed,
// since its serial is then unknown.
std::optional<RepositoryMetadata> PresentTop(const RepositoryFolder& repository, const std::string& name,
                                             std::vector<std::string>& refusals) {
    if (!Exists(repository, name)) return std::nullopt;
    const auto bytes = ReadWholeFile(repository.root / name);
    auto metadata = bytes ? ParseRepositoryMetadata(*bytes) : std::nullopt;
    if (!metadata || (name == kReleaseMetadataName) == metadata->channel.empty()) {
        refusals.push_back(name +
                           " is malformed, so its serial is unknown: restore it from a backup (players "
                           "refuse a serial lower than the one they saw)");
        return std::nullopt;
    }
    return metadata;
}

void CheckPresentVersionMetadata(const RepositoryFolder& repository, SigningPlan& plan) {
    const auto newest = NewestListing(repository);
    for (const PublishedList& list : repository.lists) {
        const fs::path path = repository.root / VersionMetadataName(list.version);
        std::error_code error;
        if (!list.bytes || !fs::exists(path, error)) continue;
        const auto bytes = ReadWholeFile(path);
        if (!bytes) throw std::runtime_error("cannot read " + PathText(path));
        CheckVersionFiles(repository, list, *bytes, newest, plan.problems);
    }
    if (!plan.problems.empty()) {
        plan.refusals.push_back(std::to_string(plan.problems.size()) +
                                " problem(s) of the version metadata, listed above. If files/ holds what "
                                "players must get, delete the .meta files named there and sign again (they "
                                "are made anew from files/); otherwise restore files/");
    }
}

// The signatures of a top metadata against keys; threshold of them must sign.
void CheckSignatures(const RepositoryFolder& repository, const std::string& name, const std::string& bytes,
                     const std::vector<PublicKey>& keys, std::size_t threshold,
                     std::vector<Problem>& problems) {
    const std::string signatureName = SignatureNameOf(name);
    const auto signatureBytes = ReadWholeFile(repository.root / signatureName);
    if (!signatureBytes) {
        problems.push_back({signatureName, "missing: " + kKeyed + "every update", {}});
        return;
    }
    const auto ids = SignatureKeyIds(*signatureBytes);
    if (!ids) {
        problems.push_back({signatureName, "malformed: " + kKeyed + "every update", {}});
        return;
    }
    if (keys.empty()) return;
    const std::size_t count = CountSignedBy(bytes, *signatureBytes, keys);
    if (count >= threshold) return;
    const std::set<std::string> wanted = KeyIds(keys);
    problems.push_back({signatureName,
                        std::to_string(count) + " valid signature(s) of " + name + " by the given key(s) (" +
                            Joined({wanted.begin(), wanted.end()}) + "), " + std::to_string(threshold) +
                            " needed; it has signatures by key(s) " + Joined(*ids) + ": " + kKeyed +
                            "every update",
                        {}});
}

void CheckExpiry(const std::string& name, std::int64_t expires, std::int64_t now, const std::string& remedy,
                 std::vector<Problem>& problems) {
    if (!HasExpired(expires, now)) return;
    problems.push_back(
        {name, "expired on " + FormatUtcTime(expires) + ": " + kKeyed + "every update until " + remedy, {}});
}

// qoro_update_<N>.patch against its signed digest, and every object and
// delta it names against theirs.
void CheckPatches(const RepositoryFolder& repository, std::int16_t version, const std::string& topName,
                  const FileDigest& signedDigest, std::vector<Problem>& problems) {
    const std::string name = VersionPatchesName(version);
    const std::string refused = kKeyed + "version " + std::to_string(version);
    const auto bytes = ReadWholeFile(repository.root / name);
    if (!bytes) {
        problems.push_back({name, "missing: " + refused, {}});
        return;
    }
    if (DigestOf(*bytes) != signedDigest) {
        problems.push_back({name, Recorded(DigestOf(*bytes), topName, signedDigest) + refused, {}});
        return;
    }
    const auto patches = ParseVersionPatches(*bytes);
    if (!patches || patches->version != version) {
        problems.push_back({name, "malformed: " + refused, {}});
        return;
    }
    const auto check = [&](const std::string& file, const FileDigest& recorded) {
        std::error_code error;
        if (!fs::is_regular_file(repository.root / file, error)) {
            problems.push_back(
                {file, "missing: players whose updater has a key fetch the file another way", {}});
            return;
        }
        const FileDigest actual = DigestOfFile(repository.root / file);
        if (actual != recorded) {
            problems.push_back(
                {file,
                 Recorded(actual, name, recorded) +
                     "players whose updater has a key refuse it and fetch the file another way",
                 {}});
        }
    };
    for (const PatchObject& object : patches->objects) check(ObjectName(object.content), object.object);
    for (const PatchDelta& delta : patches->deltas) check(DeltaName(delta.from, delta.to), delta.delta);
}

// Version N's line of a top metadata against list N and qoro_update_<N>.meta.
// Returns the version metadata's bytes when they are there.
std::optional<std::string> CheckVersionLine(const RepositoryFolder& repository, const PublishedList& list,
                                            const std::string& topName, const RepositoryMetadata& metadata,
                                            std::vector<Problem>& problems) {
    const std::string refused = kKeyed + "version " + std::to_string(list.version);
    const SignedVersion* line = FindVersion(metadata, list.version);
    if (!line) {
        problems.push_back({topName,
                            "has no line for version " + std::to_string(list.version) +
                                ", which the index names: " + kKeyed + "every update",
                            {}});
        return std::nullopt;
    }
    if (list.bytes && DigestOf(*list.bytes) != line->list) {
        problems.push_back({list.name, Recorded(DigestOf(*list.bytes), topName, line->list) + refused, {}});
    }
    const std::string name = VersionMetadataName(list.version);
    const auto bytes = ReadWholeFile(repository.root / name);
    if (!bytes) {
        problems.push_back({name, "missing: " + refused, {}});
        return std::nullopt;
    }
    if (DigestOf(*bytes) != line->files) {
        problems.push_back({name, Recorded(DigestOf(*bytes), topName, line->files) + refused, {}});
    }
    if (line->patches) CheckPatches(repository, list.version, topName, *line->patches, problems);
    return bytes;
}

// The top metadata names the versions of the index, in its order.
void CheckSignedVersionsAreIndexed(const RepositoryFolder& repository, const std::string& topName,
                                   const RepositoryMetadata& metadata, std::vector<Problem>& problems) {
    std::vector<std::int16_t> indexed;
    for (const PublishedList& list : repository.lists) indexed.push_back(list.version);
    std::vector<std::int16_t> signedVersions;
    for (const SignedVersion& line : metadata.versions) {
        signedVersions.push_back(line.version);
        if (std::find(indexed.begin(), indexed.end(), line.version) == indexed.end()) {
            problems.push_back({topName,
                                "names version " + std::to_string(line.version) +
                                    ", which the index does not: " + kKeyed + "every update",
                                {}});
        }
    }
    if (signedVersions.size() == indexed.size() && signedVersions != indexed &&
        std::is_permutation(signedVersions.begin(), signedVersions.end(), indexed.begin())) {
        problems.push_back({topName, "names the versions in another order than the index", {}});
    }
}

// The index, every version line and, when withFiles, every version
// metadata against its list and files/.
void CheckTop(const RepositoryFolder& repository, const std::string& topName,
              const RepositoryMetadata& metadata, bool withFiles, std::vector<Problem>& problems) {
    if (repository.index && DigestOf(*repository.index) != metadata.index) {
        problems.push_back(
            {kIndexName,
             Recorded(DigestOf(*repository.index), topName, metadata.index) + kKeyed + "every update",
             {}});
    }
    const auto newest = NewestListing(repository);
    for (const PublishedList& list : repository.lists) {
        const auto bytes = CheckVersionLine(repository, list, topName, metadata, problems);
        if (bytes && withFiles) CheckVersionFiles(repository, list, *bytes, newest, problems);
    }
    CheckSignedVersionsAreIndexed(repository, topName, metadata, problems);
}

// "<name> carries N valid signature(s) by the given release key(s), T needed".
std::string ShortOf(const std::string& name, std::size_t count, std::size_t threshold) {
    return name + " carries " + std::to_string(count) + " valid signature(s) by the given release key(s), " +
           std::to_string(threshold) + " needed";
}

// On a signed repository, the present release metadata (or, before the
// first signing in two roles, the first shape) must carry the threshold of
// valid signatures by the given keys, as players count them, and the
// repository must be what it covers: otherwise whoever can write to the
// server, or holds fewer keys than players need, could have the operator's
// tools sign files of their own.
// Returns the release metadata checked so, when name is that.
std::optional<PresentRelease> CheckAgainstPresentSignature(const RepositoryFolder& repository,
                                                           const std::string& name, SigningPlan& plan) {
    const auto metadataBytes = ReadWholeFile(repository.root / name);
    const auto metadata = metadataBytes ? ParseRepositoryMetadata(*metadataBytes) : std::nullopt;
    const std::vector<PublicKey> given = PublicKeysOf(plan.keys);
    if (!metadata || given.empty()) return std::nullopt;  // refused already
    const std::size_t count = ValidSignatures(repository, name, *metadataBytes, given);
    if (count < plan.threshold) {
        plan.refusals.push_back(
            ShortOf(name, count, plan.threshold) +
            ": it is not what the release keys signed, so what the repository holds cannot be told from what "
            "was signed (fewer keys than players need sign nothing they accept, nor anything these tools "
            "sign again). Restore " +
            name + " and " + SignatureNameOf(name) +
            " from a backup of the signed state; to start over with new keys, see docs/signing.md" +
            (count > 0 ? "; adding a release key players do not hold yet, give --threshold " +
                             std::to_string(count) + ", the number of given keys that signed it"
                       : ""));
        return std::nullopt;
    }
    const std::vector<Problem> uncovered = CheckCoveredBySignature(repository, name, *metadata);
    if (!uncovered.empty()) {
        plan.refusals.push_back(std::to_string(uncovered.size()) +
                                " problem(s), listed above: the repository is not what its present signature "
                                "covers. Restore those files from the signed state; new content comes only "
                                "through update-repo publish --key");
        plan.problems.insert(plan.problems.end(), uncovered.begin(), uncovered.end());
    }
    if (name != kReleaseMetadataName) return std::nullopt;
    return PresentRelease{metadata->channel, metadata->serial, DigestOf(*metadataBytes)};
}

// What the command line may hold that a signing cannot follow.
void RefuseBadOptions(const SigningOptions& options, long long freshDays,
                      std::vector<std::string>& refusals) {
    if (freshDays < 1 || freshDays > 3650) refusals.push_back("--expires-in must be between 1 and 3650 days");
    if (options.releaseExpiresInDays < 1 || options.releaseExpiresInDays > 3650) {
        refusals.push_back("--release-expires-in must be between 1 and 3650 days");
    }
    if (options.channel && !IsChannelName(*options.channel)) {
        refusals.push_back("--channel takes 1 to 64 letters, digits, '.', '_' or '-'");
    }
    if (options.keyFiles.empty()) refusals.push_back("no --key given");
}

// The files versions dropped, carried forward only from extras the release
// keys signed for the present release: a removal is a deletion on every
// keyed player's machine.
void CarryRemovals(const RepositoryFolder& repository, const std::optional<PresentRelease>& present,
                   SigningPlan& plan) {
    std::vector<Problem> problems;
    const std::optional<FileDigest> release = present ? std::optional(present->digest) : std::nullopt;
    auto extras = PresentExtras(repository, PublicKeysOf(plan.keys), plan.threshold, release, problems);
    if (!problems.empty()) {
        plan.problems.insert(plan.problems.end(), problems.begin(), problems.end());
        plan.refusals.push_back(UntrustedExtras());
    }
    if (!extras) return;
    plan.extras.removed = std::move(extras->removed);
    // Drops an older update-repo recorded with their last content only get
    // every content their files had, so players who skipped versions remove them too.
    CompleteRemovedFiles(repository, plan.extras);
}

// The present release against the state's record, and the release serial
// that follows both.
void AnchorSigning(const SigningOptions& options, const RepositoryFolder& repository,
                   const std::optional<PresentRelease>& present, SigningPlan& plan) {
    plan.state =
        LoadState(StatePath(options.stateFile, options.keyFiles.front()), repository.root, plan.refusals);
    const std::string channel = present ? present->channel : plan.channel;
    const ReleaseStanding standing = JudgeRelease(plan.state.Find(channel), present);
    AnchorVerdict verdict =
        JudgeAnchor(standing, plan.state, channel, present, options.anchor, options.command);
    plan.refusals.insert(plan.refusals.end(), verdict.refusals.begin(), verdict.refusals.end());
    plan.notes = std::move(verdict.notes);
    const std::uint64_t floor = SerialFloor(plan.state, present, plan.channel);
    const std::string floorName = !present || present->serial < floor
                                      ? "the release serial recorded in " + PathText(plan.state.path)
                                      : std::string(kReleaseMetadataName);
    plan.releaseSerial = NextSerial(floor, floorName, kNewKeySet, plan.refusals);
}

std::int64_t DaysFrom(std::int64_t now, long long days) {
    return now + days * 86400;
}

std::string SignedBy(const RepositoryFolder& repository, const std::string& name, const std::string& bytes,
                     const std::vector<PublicKey>& keys) {
    const auto signatureBytes = ReadWholeFile(repository.root / SignatureNameOf(name));
    if (!signatureBytes) return "not signed";
    if (keys.empty()) return "signatures not checked";
    std::vector<std::string> by;
    for (const PublicKey& key : keys) {
        if (IsSignedBy(bytes, *signatureBytes, {key})) by.push_back(KeyId(key));
    }
    return "signed by " + Joined(by);
}

}  // namespace

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text.empty() ? "none" : text;
}

std::vector<SigningKey> LoadKeys(const std::vector<fs::path>& files, const RepositoryFolder& repository,
                                 std::vector<std::string>& refusals) {
    std::vector<SigningKey> keys;
    for (const fs::path& file : files) {
        if (IsInside(file, repository.root)) {
            refusals.push_back("the key file " + PathText(file) +
                               " is inside the repository, where the server would hand it to anyone: keep it "
                               "outside, readable by you only");
            continue;
        }
        try {
            SigningKey key = SigningKey::Load(file);
            const bool known = std::any_of(keys.begin(), keys.end(), [&](const SigningKey& other) {
                return other.Public() == key.Public();
            });
            if (!known) keys.push_back(std::move(key));
        } catch (const std::runtime_error& e) {
            refusals.push_back(e.what());
        }
    }
    return keys;
}

std::uint64_t NextSerial(const std::optional<std::uint64_t>& present, const std::string& name,
                         const std::string& remedy, std::vector<std::string>& refusals) {
    if (!present) return 1;
    if (*present == std::numeric_limits<std::uint64_t>::max()) {
        refusals.push_back(name + " has the greatest serial, " + std::to_string(*present) +
                           ", which nothing can follow (players refuse a serial lower than the one they "
                           "saw): " +
                           remedy);
        return *present;
    }
    return *present + 1;
}

std::size_t ValidSignatures(const RepositoryFolder& repository, const std::string& name,
                            const std::string& bytes, const std::vector<PublicKey>& keys) {
    const auto signatures = ReadWholeFile(repository.root / SignatureNameOf(name));
    return signatures ? CountSignedBy(bytes, *signatures, keys) : 0;
}

void CheckFirstShapeKept(const RepositoryFolder& repository, const std::vector<PublicKey>& keys,
                         std::size_t threshold, std::vector<std::string>& refusals) {
    const auto bytes = ReadWholeFile(repository.root / kMetadataName);
    if (!bytes) return;
    const std::size_t count = ValidSignatures(repository, kMetadataName, *bytes, keys);
    if (count >= threshold) return;
    refusals.push_back(
        ShortOf(kMetadataName, count, threshold) +
        ": it is not what the release keys signed, and its serial cannot be followed. Restore it and " +
        kSignatureName +
        " from a backup of the signed state, or delete both once no player runs an updater built before "
        "the release and freshness roles");
}

void KeepPresentSignatures(const RepositoryFolder& repository, const std::string& signatureName,
                           const std::vector<SigningKey>& keys, bool dropOtherKeys,
                           std::map<std::string, std::string>& oldSignatures,
                           std::vector<std::string>& refusals) {
    if (!Exists(repository, signatureName)) return;
    const auto bytes = ReadWholeFile(repository.root / signatureName);
    const auto ids = bytes ? SignatureKeyIds(*bytes) : std::nullopt;
    if (!ids) return;
    oldSignatures[signatureName] = *bytes;
    const std::set<std::string> givenIds = KeyIds(PublicKeysOf(keys));
    for (const std::string& id : *ids) {
        if (givenIds.contains(id) || dropOtherKeys) continue;
        refusals.push_back(signatureName + " carries a signature by key " + id +
                           ", which is not given: updaters built with only that key would refuse the "
                           "repository. Give its key file too, or --drop-other-keys once no player's updater "
                           "needs it");
    }
}

std::string WriteSignedFile(const RepositoryFolder& repository, const std::string& name,
                            const std::string& text, const std::vector<SigningKey>& keys,
                            const std::map<std::string, std::string>& oldSignatures) {
    std::vector<std::pair<PublicKey, Signature>> signatures;
    for (const SigningKey& key : keys) {
        const Signature signature = key.Sign(text);
        // What the updater will check, checked once here.
        if (!VerifySignature(key.Public(), text, signature)) {
            throw std::runtime_error("the signature by key " + KeyId(key.Public()) + " does not verify");
        }
        signatures.emplace_back(key.Public(), signature);
    }
    const std::string signatureName = SignatureNameOf(name);
    const std::string finalSignatures = FormatSignatures(signatures);
    // While the metadata changes, the signature file holds signatures of the
    // old and the new one, so whichever a player reads is signed.
    std::string both = finalSignatures;
    if (const auto old = oldSignatures.find(signatureName); old != oldSignatures.end()) {
        both += old->second.substr(old->second.find('\n') + 1);
    }
    WriteFile(repository.root / signatureName, both);
    WriteFile(repository.root / name, text);
    return finalSignatures;
}

bool IsSigned(const RepositoryFolder& repository) {
    for (const char* name : {kReleaseMetadataName, kReleaseSignatureName, kFreshMetadataName,
                             kFreshSignatureName, kMetadataName, kSignatureName}) {
        if (Exists(repository, name)) return true;
    }
    return false;
}

SigningPlan PlanSigning(const SigningOptions& options, const RepositoryFolder& repository, std::int64_t now) {
    SigningPlan plan;
    plan.patches = options.patches;
    const long long freshDays = options.expiresInDays.value_or(kFreshDays);
    RefuseBadOptions(options, freshDays, plan.refusals);
    plan.keys = LoadKeys(options.keyFiles, repository, plan.refusals);
    plan.freshKeys = options.freshKeyFiles.empty()
                         ? plan.keys
                         : LoadKeys(options.freshKeyFiles, repository, plan.refusals);
    plan.freshExpires = DaysFrom(now, freshDays);
    plan.releaseExpires = DaysFrom(now, options.releaseExpiresInDays);
    plan.firstShapeExpires = DaysFrom(now, options.expiresInDays.value_or(kFirstShapeDays));
    // The keys of the present signatures are compared only with a complete set.
    const bool allKeysLoaded = plan.refusals.empty();
    plan.threshold = options.threshold.value_or(plan.keys.size());
    if (allKeysLoaded && (plan.threshold < 1 || plan.threshold > plan.keys.size())) {
        plan.refusals.push_back("--threshold " + std::to_string(plan.threshold) +
                                " must be between 1 and the " + std::to_string(plan.keys.size()) +
                                " distinct release key(s) given");
    }

    const auto release = PresentTop(repository, kReleaseMetadataName, plan.refusals);
    plan.channel = options.channel.value_or(release ? release->channel : "live");
    // The first shape is kept up to date for the updaters that read only it,
    // until the operator deletes it.
    if (const auto firstShape = PresentTop(repository, kMetadataName, plan.refusals)) {
        plan.firstShapeSerial = NextSerial(firstShape->serial, kMetadataName, kNewKeySet, plan.refusals);
    }
    if (!allKeysLoaded) return plan;
    KeepPresentSignatures(repository, kReleaseSignatureName, plan.keys, options.dropOtherKeys,
                          plan.oldSignatures, plan.refusals);
    KeepPresentSignatures(repository, kFreshSignatureName, plan.freshKeys, options.dropOtherKeys,
                          plan.oldSignatures, plan.refusals);
    if (plan.firstShapeSerial) {
        KeepPresentSignatures(repository, kSignatureName, plan.keys, options.dropOtherKeys,
                              plan.oldSignatures, plan.refusals);
    }
    KeepPresentSignatures(repository, kExtrasSignatureName, plan.keys, options.dropOtherKeys,
                          plan.oldSignatures, plan.refusals);
    // Without release metadata the repository is signed for the first time
    // in two roles: against the first shape's signature while it is kept.
    std::optional<PresentRelease> present;
    if (Exists(repository, kReleaseMetadataName)) {
        present = CheckAgainstPresentSignature(repository, kReleaseMetadataName, plan);
        if (!present) return plan;
        if (plan.firstShapeSerial)
            CheckFirstShapeKept(repository, PublicKeysOf(plan.keys), plan.threshold, plan.refusals);
    } else if (Exists(repository, kMetadataName)) {
        CheckAgainstPresentSignature(repository, kMetadataName, plan);
    } else {
        CheckPresentVersionMetadata(repository, plan);
    }
    CarryRemovals(repository, present, plan);
    AnchorSigning(options, repository, present, plan);
    return plan;
}

namespace {

// A version's line in the release metadata: its file metadata (and patch
// metadata) written for the new version or when missing, else as they are.
SignedVersion SignedVersionOf(const RepositoryFolder& repository, const PublishedList& list,
                              std::optional<std::int16_t> newVersion, const SigningPlan& plan,
                              std::ostream& progress) {
    if (!list.bytes) throw std::runtime_error("cannot sign: " + list.name + " is missing");
    const std::string name = VersionMetadataName(list.version);
    const fs::path path = repository.root / name;
    std::error_code error;
    std::string bytes;
    std::optional<std::string> patches;
    if (list.version == newVersion || !fs::exists(path, error)) {
        const VersionFiles described = DescribeVersion(repository, list);
        bytes = FormatVersionFiles(described);
        WriteFile(path, bytes);
        progress << "wrote " << name << "\n";
        if (plan.patches) patches = WriteVersionPatches(repository, described, *plan.patches, progress);
    } else {
        const auto present = ReadWholeFile(path);
        if (!present) throw std::runtime_error("cannot read " + PathText(path));
        bytes = *present;
        patches = ReadWholeFile(repository.root / VersionPatchesName(list.version));
    }
    std::optional<FileDigest> patchesDigest;
    if (patches) patchesDigest = DigestOf(*patches);
    return {list.version, DigestOf(*list.bytes), DigestOf(bytes), patchesDigest};
}

}  // namespace

SignedWrite WriteSignedMetadata(const RepositoryFolder& repository, const std::string& index,
                                std::optional<std::int16_t> newVersion, const SigningPlan& plan,
                                std::ostream& progress) {
    RepositoryMetadata metadata;
    metadata.channel = plan.channel;
    metadata.serial = plan.releaseSerial;
    metadata.expires = plan.releaseExpires;
    metadata.index = DigestOf(index);
    for (const PublishedList& list : repository.lists) {
        metadata.versions.push_back(SignedVersionOf(repository, list, newVersion, plan, progress));
    }
    // Packs are made of the objects and deltas just written, and named in
    // the extras, which bind them to this release.
    ReleaseExtras extras = plan.extras;
    if (plan.patches && plan.patches->packs) {
        PackOptions packs;
        packs.versionsBack = plan.patches->versionsBack;
        packs.level = plan.patches->level;
        extras.packs = WritePacks(repository, index, extras.removed, packs, progress);
    }
    FinalSignatures signatures;
    const std::string release = FormatRepositoryMetadata(metadata);
    if (release.size() > kLargestReleaseMetadata) {
        throw std::runtime_error(std::string(kReleaseMetadataName) + " would take " +
                                 std::to_string(release.size()) + " bytes, past the " +
                                 std::to_string(kLargestReleaseMetadata) + " keyed updaters read");
    }
    // The extras first: a player who reads the new release metadata finds
    // them bound to it.
    signatures[kExtrasSignatureName] =
        WriteSignedExtras(repository, extras, release, plan.keys, plan.oldSignatures);
    signatures[kReleaseSignatureName] =
        WriteSignedFile(repository, kReleaseMetadataName, release, plan.keys, plan.oldSignatures);
    const FreshMetadata fresh{plan.freshSerial, plan.freshExpires, DigestOf(release)};
    signatures[kFreshSignatureName] = WriteSignedFile(
        repository, kFreshMetadataName, FormatFreshMetadata(fresh), plan.freshKeys, plan.oldSignatures);
    if (plan.firstShapeSerial) {
        RepositoryMetadata firstShape = metadata;
        firstShape.channel.clear();
        firstShape.serial = *plan.firstShapeSerial;
        firstShape.expires = plan.firstShapeExpires;
        signatures[kSignatureName] = WriteSignedFile(
            repository, kMetadataName, FormatRepositoryMetadata(firstShape), plan.keys, plan.oldSignatures);
    }
    return {signatures, DigestOf(release)};
}

void FinishSignatures(const RepositoryFolder& repository, const FinalSignatures& signatures) {
    for (const auto& [name, text] : signatures) {
        const auto present = ReadWholeFile(repository.root / name);
        if (present && *present == text) continue;
        WriteFile(repository.root / name, text);
    }
}

std::vector<Problem> CheckCoveredBySignature(const RepositoryFolder& repository, const std::string& topName,
                                             const RepositoryMetadata& metadata) {
    const std::string uncovered =
        "not covered by the present release signature: new content comes only through update-repo publish "
        "--key";
    std::vector<Problem> problems;
    if (repository.index && DigestOf(*repository.index) != metadata.index) {
        problems.push_back(
            {kIndexName, Recorded(DigestOf(*repository.index), topName, metadata.index) + uncovered, {}});
    }
    RepositoryFolder covered = repository;
    std::vector<PublishedList> unsignedLists;
    std::erase_if(covered.lists, [&](const PublishedList& list) {
        if (FindVersion(metadata, list.version)) return false;
        unsignedLists.push_back(list);
        return true;
    });
    covered.index.reset();  // compared above
    CheckTop(covered, topName, metadata, true, problems);
    const auto newest = NewestListing(covered);
    std::set<std::string> named;
    for (const PublishedList& list : unsignedLists) {
        problems.push_back({list.name, "version " + std::to_string(list.version) + " is " + uncovered, {}});
        for (const std::string& entry : DescribedEntries(list)) {
            if (newest.contains(entry) || !named.insert(entry).second) continue;
            problems.push_back({FileLabel(entry), "is new, " + uncovered, {}});
        }
    }
    return problems;
}

namespace {

// The freshness metadata beside a release metadata: signed by the freshness
// key (or the release keys), unexpired, and naming that release.
void CheckFreshMetadata(const RepositoryFolder& repository, const TrustedKeys& keys,
                        const std::string& releaseBytes, std::int64_t now, std::vector<Problem>& problems) {
    const auto freshBytes = ReadWholeFile(repository.root / kFreshMetadataName);
    const auto fresh = freshBytes ? ParseFreshMetadata(*freshBytes) : std::nullopt;
    if (!fresh) {
        problems.push_back(
            {kFreshMetadataName,
             std::string(freshBytes ? "malformed" : "missing") + ": " + kKeyed + "every update",
             {}});
        return;
    }
    const bool ownKeys = !keys.fresh.empty();
    CheckSignatures(repository, kFreshMetadataName, *freshBytes, ownKeys ? keys.fresh : keys.release,
                    ownKeys ? 1 : keys.threshold, problems);
    CheckExpiry(kFreshMetadataName, fresh->expires, now, "it is refreshed (update-repo refresh)", problems);
    if (fresh->release != DigestOf(releaseBytes)) {
        problems.push_back(
            {kReleaseMetadataName,
             Recorded(DigestOf(releaseBytes), kFreshMetadataName, fresh->release) + kKeyed + "every update",
             {}});
    }
}

}  // namespace

std::vector<Problem> CheckSignedMetadata(const RepositoryFolder& repository, const TrustedKeys& keys,
                                         std::int64_t now) {
    std::vector<Problem> problems;
    const auto releaseBytes = ReadWholeFile(repository.root / kReleaseMetadataName);
    const auto firstShapeBytes = ReadWholeFile(repository.root / kMetadataName);
    if (!releaseBytes) {
        problems.push_back({kReleaseMetadataName,
                            std::string("missing: the repository is not signed") +
                                (firstShapeBytes ? " for updaters with release and freshness keys" : "") +
                                "; " + kKeyed + "every update (update-repo sign signs it)",
                            {}});
    }
    const auto release = releaseBytes ? ParseRepositoryMetadata(*releaseBytes) : std::nullopt;
    if (releaseBytes && (!release || release->channel.empty())) {
        problems.push_back({kReleaseMetadataName, "malformed: " + kKeyed + "every update", {}});
    } else if (release) {
        CheckSignatures(repository, kReleaseMetadataName, *releaseBytes, keys.release, keys.threshold,
                        problems);
        CheckExpiry(kReleaseMetadataName, release->expires, now,
                    "it is signed again with the release key(s) (update-repo sign)", problems);
        if (keys.channel && *keys.channel != release->channel) {
            problems.push_back({kReleaseMetadataName,
                                "is for the channel " + release->channel + ", not " + *keys.channel + ": " +
                                    kKeyed + "every update",
                                {}});
        }
        CheckTop(repository, kReleaseMetadataName, *release, true, problems);

        CheckFreshMetadata(repository, keys, *releaseBytes, now, problems);
        CheckExtras(repository, keys.release, keys.threshold, *releaseBytes, problems);
        const auto extrasBytes = ReadWholeFile(repository.root / kExtrasName);
        if (const auto extras = extrasBytes ? ParseReleaseExtras(*extrasBytes) : std::nullopt) {
            const std::vector<Problem> removed = CheckRemovedFiles(repository, *extras);
            problems.insert(problems.end(), removed.begin(), removed.end());
            if (extras->release == DigestOf(*releaseBytes)) {
                const std::vector<Problem> packs = CheckPacks(repository, extras->packs);
                problems.insert(problems.end(), packs.begin(), packs.end());
            }
        }
    }
    // The first shape, while kept, must check for the updaters that read it.
    if (firstShapeBytes) {
        const auto firstShape = ParseRepositoryMetadata(*firstShapeBytes);
        const std::string earlier = "updaters built before the release and freshness roles refuse ";
        if (!firstShape || !firstShape->channel.empty()) {
            problems.push_back({kMetadataName, "malformed: " + earlier + "every update", {}});
        } else {
            CheckSignatures(repository, kMetadataName, *firstShapeBytes, keys.release, 1, problems);
            CheckExpiry(kMetadataName, firstShape->expires, now,
                        "it is signed again with the release key(s) (update-repo sign), or deleted once no "
                        "player runs such an updater",
                        problems);
            CheckTop(repository, kMetadataName, *firstShape, !release, problems);
        }
    }
    return problems;
}

std::vector<std::string> TopMetadataNames(const RepositoryFolder& repository) {
    std::vector<std::string> names = {kFreshMetadataName, kFreshSignatureName, kReleaseMetadataName,
                                      kReleaseSignatureName};
    if (Exists(repository, kExtrasName)) {
        names.push_back(kExtrasName);
        names.push_back(kExtrasSignatureName);
    }
    if (Exists(repository, kMetadataName)) {
        names.push_back(kMetadataName);
        names.push_back(kSignatureName);
    }
    return names;
}

std::vector<std::string> VersionMetadataNames(const RepositoryFolder& repository) {
    std::vector<std::string> names;
    for (const PublishedList& list : repository.lists) names.push_back(VersionMetadataName(list.version));
    return names;
}

std::string SignatureSummary(const RepositoryFolder& repository, const TrustedKeys& keys) {
    const auto releaseBytes = ReadWholeFile(repository.root / kReleaseMetadataName);
    const auto freshBytes = ReadWholeFile(repository.root / kFreshMetadataName);
    const auto release = releaseBytes ? ParseRepositoryMetadata(*releaseBytes) : std::nullopt;
    const auto fresh = freshBytes ? ParseFreshMetadata(*freshBytes) : std::nullopt;
    if (!release || !fresh) return "not signed";
    std::string summary =
        "release " + SignedBy(repository, kReleaseMetadataName, *releaseBytes, keys.release) + ", channel " +
        release->channel + ", serial " + std::to_string(release->serial) + ", expires " +
        FormatUtcTime(release->expires) + "; fresh " +
        SignedBy(repository, kFreshMetadataName, *freshBytes,
                 keys.fresh.empty() ? keys.release : keys.fresh) +
        ", serial " + std::to_string(fresh->serial) + ", expires " + FormatUtcTime(fresh->expires);
    const auto firstBytes = ReadWholeFile(repository.root / kMetadataName);
    if (const auto first = firstBytes ? ParseRepositoryMetadata(*firstBytes) : std::nullopt) {
        summary += "; " + std::string(kMetadataName) + " kept, expires " + FormatUtcTime(first->expires);
    }
    return summary;
}

bool Refused(const std::vector<Problem>& problems, const std::vector<Problem>& uncovered,
             std::vector<std::string> refusals, std::ostream& err) {
    if (!problems.empty()) {
        refusals.push_back("the repository has " + std::to_string(problems.size()) +
                           " problem(s), listed above: fix them first, a signature would vouch for them");
    }
    if (refusals.empty()) return false;
    PrintProblems(problems, err);
    PrintProblems(uncovered, err);
    for (const std::string& refusal : refusals) err << "update-repo: refused: " << Escaped(refusal) << "\n";
    err << "update-repo: nothing was written\n";
    return true;
}

std::optional<RepositoryFolder> OpenRepository(const fs::path& root, std::ostream& err) {
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        err << "update-repo: error: the repository " << PathText(root) << " is not a folder\n";
        return std::nullopt;
    }
    return ReadRepositoryFolder(root);
}

bool RecordSigning(const SigningPlan& plan, const FileDigest& release, std::ostream& err) {
    try {
        SaveRecord(plan.state, plan.channel, {plan.releaseSerial, release, plan.freshSerial});
        return true;
    } catch (const std::exception& e) {
        err << "update-repo: error: the repository is signed, but its record was not kept: "
            << Escaped(e.what()) << "\nupdate-repo: make " << PathText(plan.state.path)
            << " writable; the next signing finds this release missing from the record: go on once with "
               "--signed-elsewhere (--new-state when there was no record)\n";
        return false;
    }
}

void PrintNotes(const std::vector<std::string>& notes, std::ostream& err) {
    for (const std::string& note : notes) err << "update-repo: note: " << Escaped(note) << "\n";
}

int Sign(const fs::path& root, const SigningOptions& options, std::ostream& out, std::ostream& err) {
    const auto opened = OpenRepository(root, err);
    if (!opened) return 1;
    const RepositoryFolder& repository = *opened;
    const std::vector<Problem> problems = CheckRepository(repository);
    const SigningPlan plan = PlanSigning(options, repository, std::time(nullptr));
    if (Refused(problems, plan.problems, plan.refusals, err)) return 1;
    PrintNotes(plan.notes, err);
    FileDigest release;
    try {
        const SignedWrite written =
            WriteSignedMetadata(repository, *repository.index, std::nullopt, plan, err);
        FinishSignatures(repository, written.signatures);
        release = written.release;
    } catch (const std::exception& e) {
        err << "update-repo: error: " << Escaped(e.what()) << "\n";
        return 1;
    }
    const bool recorded = RecordSigning(plan, release, err);
    std::vector<std::string> ids, freshIds;
    for (const SigningKey& key : plan.keys) ids.push_back(KeyId(key.Public()));
    for (const SigningKey& key : plan.freshKeys) freshIds.push_back(KeyId(key.Public()));
    out << "signed " << repository.lists.size() << " version(s) of channel " << plan.channel
        << " with release key(s) " << Joined(ids) << ": serial " << plan.releaseSerial << ", expires "
        << FormatUtcTime(plan.releaseExpires) << "; fresh by " << Joined(freshIds) << ": serial "
        << plan.freshSerial << ", expires " << FormatUtcTime(plan.freshExpires) << "\n";
    return recorded ? 0 : 1;
}
