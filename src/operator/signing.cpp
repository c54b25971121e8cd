#include "operator/signing.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <set>
#include <stdexcept>
#include <system_error>

#include "operator/file_digest.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "operator/verify.h"
#include "storage/cp1252.h"
#include "update/key_text.h"
#include "update/signature_file.h"
#include "update/signed_metadata.h"
#include "update/utc_time.h"

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

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text.empty() ? "none" : text;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    PendingFile file(path);
    file.Write(bytes);
    file.Commit();
}

void LoadKeys(const SigningOptions& options, const RepositoryFolder& repository, SigningPlan& plan) {
    if (options.keyFiles.empty()) plan.refusals.push_back("no --key given");
    for (const fs::path& file : options.keyFiles) {
        if (IsInside(file, repository.root)) {
            plan.refusals.push_back(
                "the key file " + PathText(file) +
                " is inside the repository, where the server would hand it to anyone: keep it "
                "outside, readable by you only");
            continue;
        }
        try {
            SigningKey key = SigningKey::Load(file);
            const bool known = std::any_of(plan.keys.begin(), plan.keys.end(), [&](const SigningKey& other) {
                return other.Public() == key.Public();
            });
            if (!known) plan.keys.push_back(std::move(key));
        } catch (const std::runtime_error& e) {
            plan.refusals.push_back(e.what());
        }
    }
}

// Players refuse a serial lower than one they saw: the next one follows the
// present metadata's.
void ReadPresentSerial(const RepositoryFolder& repository, SigningPlan& plan) {
    const fs::path path = repository.root / kMetadataName;
    std::error_code error;
    if (!fs::exists(path, error)) return;
    const auto bytes = ReadWholeFile(path);
    const auto metadata = bytes ? ParseRepositoryMetadata(*bytes) : std::nullopt;
    if (!metadata) {
        plan.refusals.push_back(std::string(kMetadataName) +
                                " is malformed, so its serial is unknown: restore it from a backup (players "
                                "refuse a serial lower than the one they saw)");
        return;
    }
    if (metadata->serial == std::numeric_limits<std::uint64_t>::max()) {
        plan.refusals.push_back(std::string(kMetadataName) + " has the greatest serial, " +
                                std::to_string(metadata->serial) +
                                ", which nothing can follow (players refuse a serial lower than the one they "
                                "saw): sign with a new key set, as docs/signing.md tells");
        return;
    }
    plan.serial = metadata->serial + 1;
}

// Keeps the present signatures for the change-over, and refuses to drop
// the signature of a key that is not given.
void ReadPresentSignatures(const SigningOptions& options, const RepositoryFolder& repository,
                           bool allKeysLoaded, SigningPlan& plan) {
    const fs::path path = repository.root / kSignatureName;
    std::error_code error;
    if (!fs::exists(path, error)) return;
    const auto bytes = ReadWholeFile(path);
    const auto ids = bytes ? SignatureKeyIds(*bytes) : std::nullopt;
    if (!ids) return;
    plan.oldSignatures = bytes;
    std::vector<PublicKey> given;
    for (const SigningKey& key : plan.keys) given.push_back(key.Public());
    const std::set<std::string> givenIds = KeyIds(given);
    for (const std::string& id : *ids) {
        if (givenIds.contains(id) || options.dropOtherKeys || !allKeysLoaded) continue;
        plan.refusals.push_back(std::string(kSignatureName) + " carries a signature by key " + id +
                                ", which is not given: updaters built with only that key would refuse the "
                                "repository. Give its key file with another --key, or --drop-other-keys "
                                "once no player's updater needs it");
    }
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

void CheckSignatures(const RepositoryFolder& repository, const std::string& metadataBytes,
                     const std::vector<PublicKey>& keys, std::vector<Problem>& problems) {
    const auto signatureBytes = ReadWholeFile(repository.root / kSignatureName);
    if (!signatureBytes) {
        problems.push_back({kSignatureName, "missing: " + kKeyed + "every update", {}});
        return;
    }
    const auto ids = SignatureKeyIds(*signatureBytes);
    if (!ids) {
        problems.push_back({kSignatureName, "malformed: " + kKeyed + "every update", {}});
        return;
    }
    if (keys.empty() || IsSignedBy(metadataBytes, *signatureBytes, keys)) return;
    const std::set<std::string> wanted = KeyIds(keys);
    problems.push_back({kSignatureName,
                        "no valid signature of " + std::string(kMetadataName) + " by the given key(s) (" +
                            Joined({wanted.begin(), wanted.end()}) + "); it has signatures by key(s) " +
                            Joined(*ids) + ": " + kKeyed + "every update",
                        {}});
}

void CheckExpiry(const RepositoryMetadata& metadata, std::int64_t now, std::vector<Problem>& problems) {
    if (!HasExpired(metadata, now)) return;
    problems.push_back({kMetadataName,
                        "expired on " + FormatUtcTime(metadata.expires) + ": " + kKeyed +
                            "every update until it is signed again (update-repo sign)",
                        {}});
}

// Version N's line of the top metadata against list N and qoro_update_<N>.meta,
// and that file against the list and files/.
void CheckSignedVersion(const RepositoryFolder& repository, const PublishedList& list,
                        const RepositoryMetadata& metadata, const std::map<std::string, std::int16_t>& newest,
                        std::vector<Problem>& problems) {
    const std::string refused = kKeyed + "version " + std::to_string(list.version);
    const SignedVersion* line = FindVersion(metadata, list.version);
    if (!line) {
        problems.push_back({kMetadataName,
                            "has no line for version " + std::to_string(list.version) +
                                ", which the index names: " + kKeyed + "every update",
                            {}});
        return;
    }
    if (list.bytes && DigestOf(*list.bytes) != line->list) {
        problems.push_back(
            {list.name, Recorded(DigestOf(*list.bytes), kMetadataName, line->list) + refused, {}});
    }
    const std::string name = VersionMetadataName(list.version);
    const auto bytes = ReadWholeFile(repository.root / name);
    if (!bytes) {
        problems.push_back({name, "missing: " + refused, {}});
        return;
    }
    if (DigestOf(*bytes) != line->files) {
        problems.push_back({name, Recorded(DigestOf(*bytes), kMetadataName, line->files) + refused, {}});
    }
    CheckVersionFiles(repository, list, *bytes, newest, problems);
}

// The top metadata names the versions of the index, in its order.
void CheckSignedVersionsAreIndexed(const RepositoryFolder& repository, const RepositoryMetadata& metadata,
                                   std::vector<Problem>& problems) {
    std::vector<std::int16_t> indexed;
    for (const PublishedList& list : repository.lists) indexed.push_back(list.version);
    std::vector<std::int16_t> signedVersions;
    for (const SignedVersion& line : metadata.versions) {
        signedVersions.push_back(line.version);
        if (std::find(indexed.begin(), indexed.end(), line.version) == indexed.end()) {
            problems.push_back({kMetadataName,
                                "names version " + std::to_string(line.version) +
                                    ", which the index does not: " + kKeyed + "every update",
                                {}});
        }
    }
    if (signedVersions.size() == indexed.size() && signedVersions != indexed &&
        std::is_permutation(signedVersions.begin(), signedVersions.end(), indexed.begin())) {
        problems.push_back({kMetadataName, "names the versions in another order than the index", {}});
    }
}

// What sign may refresh: only what the present signature covers. Every
// file that differs from it, or that a version it does not sign brings, is
// a problem; files/ is compared with the signed versions alone, so a file
// that an unsigned version lists is still checked against its signed copy.
std::vector<Problem> CheckCoveredBySignature(const RepositoryFolder& repository,
                                             const RepositoryMetadata& metadata) {
    const std::string uncovered =
        "not covered by the present signature: sign refreshes only the serial and "
        "the expiry, new content comes through update-repo publish --key";
    std::vector<Problem> problems;
    if (repository.index && DigestOf(*repository.index) != metadata.index) {
        problems.push_back({kIndexName,
                            Recorded(DigestOf(*repository.index), kMetadataName, metadata.index) + uncovered,
                            {}});
    }
    RepositoryFolder covered = repository;
    std::vector<PublishedList> unsignedLists;
    std::erase_if(covered.lists, [&](const PublishedList& list) {
        if (FindVersion(metadata, list.version)) return false;
        unsignedLists.push_back(list);
        return true;
    });
    const auto newest = NewestListing(covered);
    for (const PublishedList& list : covered.lists) {
        CheckSignedVersion(covered, list, metadata, newest, problems);
    }
    std::set<std::string> named;
    for (const PublishedList& list : unsignedLists) {
        problems.push_back({list.name, "version " + std::to_string(list.version) + " is " + uncovered, {}});
        for (const std::string& entry : DescribedEntries(list)) {
            if (newest.contains(entry) || !named.insert(entry).second) continue;
            problems.push_back({FileLabel(entry), "is new, " + uncovered, {}});
        }
    }
    CheckSignedVersionsAreIndexed(covered, metadata, problems);
    return problems;
}

// On a signed repository, the present metadata must carry a valid signature
// by one of the given keys, and the repository must be what it covers:
// otherwise whoever can write to the server could have the scheduled job
// sign files of their own.
void CheckAgainstPresentSignature(const RepositoryFolder& repository, SigningPlan& plan) {
    const auto metadataBytes = ReadWholeFile(repository.root / kMetadataName);
    const auto signatureBytes = ReadWholeFile(repository.root / kSignatureName);
    const auto metadata = metadataBytes ? ParseRepositoryMetadata(*metadataBytes) : std::nullopt;
    std::vector<PublicKey> given;
    for (const SigningKey& key : plan.keys) given.push_back(key.Public());
    if (!metadata || !signatureBytes || !IsSignedBy(*metadataBytes, *signatureBytes, given)) {
        if (given.empty()) return;  // the keys are refused already
        plan.refusals.push_back(std::string("the repository is signed, but ") + kMetadataName +
                                " carries no valid signature by the given key(s), so what it holds cannot be "
                                "told from what was signed: restore " +
                                kMetadataName + " and " + kSignatureName +
                                " from a backup, or sign with a key that signed them; to start over with "
                                "new keys, see docs/signing.md");
        return;
    }
    plan.problems = CheckCoveredBySignature(repository, *metadata);
    if (plan.problems.empty()) return;
    plan.refusals.push_back(std::to_string(plan.problems.size()) +
                            " problem(s), listed above: the repository is not what its present signature "
                            "covers. Restore those files from the signed state; new content comes only "
                            "through update-repo publish --key");
}

}  // namespace

bool IsSigned(const RepositoryFolder& repository) {
    std::error_code error;
    return fs::exists(repository.root / kMetadataName, error) ||
           fs::exists(repository.root / kSignatureName, error);
}

SigningPlan PlanSigning(const SigningOptions& options, const RepositoryFolder& repository, std::int64_t now) {
    SigningPlan plan;
    if (options.expiresInDays < 1 || options.expiresInDays > 3650) {
        plan.refusals.push_back("--expires-in must be between 1 and 3650 days");
    }
    plan.expires = now + options.expiresInDays * 86400;
    LoadKeys(options, repository, plan);
    // The keys of the present signatures are compared only with a complete set.
    const bool allKeysLoaded = plan.refusals.empty();
    ReadPresentSerial(repository, plan);
    ReadPresentSignatures(options, repository, allKeysLoaded, plan);
    if (IsSigned(repository)) {
        CheckAgainstPresentSignature(repository, plan);
    } else {
        CheckPresentVersionMetadata(repository, plan);
    }
    return plan;
}

std::string WriteSignedMetadata(const RepositoryFolder& repository, const std::string& index,
                                std::optional<std::int16_t> newVersion, const SigningPlan& plan,
                                std::ostream& progress) {
    RepositoryMetadata metadata;
    metadata.serial = plan.serial;
    metadata.expires = plan.expires;
    metadata.index = DigestOf(index);
    for (const PublishedList& list : repository.lists) {
        if (!list.bytes) throw std::runtime_error("cannot sign: " + list.name + " is missing");
        const std::string name = VersionMetadataName(list.version);
        const fs::path path = repository.root / name;
        std::error_code error;
        std::string bytes;
        if (list.version == newVersion || !fs::exists(path, error)) {
            bytes = FormatVersionFiles(DescribeVersion(repository, list));
            WriteFile(path, bytes);
            progress << "wrote " << name << "\n";
        } else {
            const auto present = ReadWholeFile(path);
            if (!present) throw std::runtime_error("cannot read " + PathText(path));
            bytes = *present;
        }
        metadata.versions.push_back({list.version, DigestOf(*list.bytes), DigestOf(bytes)});
    }
    const std::string text = FormatRepositoryMetadata(metadata);
    std::vector<std::pair<PublicKey, Signature>> signatures;
    for (const SigningKey& key : plan.keys) {
        const Signature signature = key.Sign(text);
        // What the updater will check, checked once here.
        if (!VerifySignature(key.Public(), text, signature)) {
            throw std::runtime_error("the signature by key " + KeyId(key.Public()) + " does not verify");
        }
        signatures.emplace_back(key.Public(), signature);
    }
    const std::string finalSignatures = FormatSignatures(signatures);
    // While the metadata changes, the signature file holds signatures of the
    // old and the new one, so whichever a player reads is signed.
    std::string both = finalSignatures;
    if (plan.oldSignatures) {
        both += plan.oldSignatures->substr(plan.oldSignatures->find('\n') + 1);
    }
    WriteFile(repository.root / kSignatureName, both);
    WriteFile(repository.root / kMetadataName, text);
    return finalSignatures;
}

void FinishSignatures(const RepositoryFolder& repository, const std::string& signatures) {
    const auto present = ReadWholeFile(repository.root / kSignatureName);
    if (present && *present == signatures) return;
    WriteFile(repository.root / kSignatureName, signatures);
}

std::vector<Problem> CheckSignedMetadata(const RepositoryFolder& repository,
                                         const std::vector<PublicKey>& keys, std::int64_t now) {
    std::vector<Problem> problems;
    const auto metadataBytes = ReadWholeFile(repository.root / kMetadataName);
    if (!metadataBytes) {
        problems.push_back(
            {kMetadataName,
             "missing: the repository is not signed; " + kKeyed + "every update (update-repo sign signs it)",
             {}});
        return problems;
    }
    const auto metadata = ParseRepositoryMetadata(*metadataBytes);
    if (!metadata) {
        problems.push_back({kMetadataName, "malformed: " + kKeyed + "every update", {}});
        return problems;
    }
    CheckSignatures(repository, *metadataBytes, keys, problems);
    CheckExpiry(*metadata, now, problems);
    if (repository.index && DigestOf(*repository.index) != metadata->index) {
        problems.push_back(
            {kIndexName,
             Recorded(DigestOf(*repository.index), kMetadataName, metadata->index) + kKeyed + "every update",
             {}});
    }
    const auto newest = NewestListing(repository);
    for (const PublishedList& list : repository.lists) {
        CheckSignedVersion(repository, list, *metadata, newest, problems);
    }
    CheckSignedVersionsAreIndexed(repository, *metadata, problems);
    return problems;
}

std::vector<std::string> VersionMetadataNames(const RepositoryFolder& repository) {
    std::vector<std::string> names;
    for (const PublishedList& list : repository.lists) names.push_back(VersionMetadataName(list.version));
    return names;
}

std::string SignatureSummary(const RepositoryFolder& repository, const std::vector<PublicKey>& keys) {
    const auto metadataBytes = ReadWholeFile(repository.root / kMetadataName);
    const auto signatureBytes = ReadWholeFile(repository.root / kSignatureName);
    const auto metadata = metadataBytes ? ParseRepositoryMetadata(*metadataBytes) : std::nullopt;
    if (!metadata || !signatureBytes) return "not signed";
    if (keys.empty()) {
        return "signatures not checked (--public-key), serial " + std::to_string(metadata->serial) +
               ", expires " + FormatUtcTime(metadata->expires);
    }
    std::vector<std::string> by;
    for (const PublicKey& key : keys) {
        if (IsSignedBy(*metadataBytes, *signatureBytes, {key})) by.push_back(KeyId(key));
    }
    return "signed by " + Joined(by) + ", serial " + std::to_string(metadata->serial) + ", expires " +
           FormatUtcTime(metadata->expires);
}

int Sign(const fs::path& root, const SigningOptions& options, std::ostream& out, std::ostream& err) {
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        err << "update-repo: error: the repository " << PathText(root) << " is not a folder\n";
        return 1;
    }
    const RepositoryFolder repository = ReadRepositoryFolder(root);
    const std::vector<Problem> problems = CheckRepository(repository);
    const SigningPlan plan = PlanSigning(options, repository, std::time(nullptr));
    std::vector<std::string> refusals = plan.refusals;
    if (!problems.empty()) {
        refusals.push_back("the repository has " + std::to_string(problems.size()) +
                           " problem(s), listed above: fix them first, a signature would vouch for them");
    }
    if (!refusals.empty()) {
        PrintProblems(problems, err);
        PrintProblems(plan.problems, err);
        for (const std::string& refusal : refusals) err << "update-repo: refused: " << refusal << "\n";
        err << "update-repo: nothing was written\n";
        return 1;
    }
    try {
        const std::string signatures =
            WriteSignedMetadata(repository, *repository.index, std::nullopt, plan, err);
        FinishSignatures(repository, signatures);
    } catch (const std::exception& e) {
        err << "update-repo: error: " << e.what() << "\n";
        return 1;
    }
    std::vector<std::string> ids;
    for (const SigningKey& key : plan.keys) ids.push_back(KeyId(key.Public()));
    out << "signed " << repository.lists.size() << " version(s) with key(s) " << Joined(ids) << ": serial "
        << plan.serial << ", expires " << FormatUtcTime(plan.expires) << "\n";
    return 0;
}
