#include "operator/refresh.h"

#include <ctime>
#include <map>
#include <string>
#include <system_error>

#include "operator/encode/packs.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "operator/operator_state.h"
#include "operator/release_anchor.h"
#include "operator/signed_extras.h"
#include "operator/signing.h"
#include "operator/uncovered_files.h"
#include "operator/verify.h"
#include "update/formats/utc_time.h"
#include "update/trust/key_text.h"
#include "update/trust/signature_file.h"
#include "update/trust/signed_metadata.h"

namespace {

// Ahead of an expiry, the job says so while there is time to act.
constexpr std::int64_t kWarnAhead = 30 * 86400;

struct RefreshPlan {
    std::vector<SigningKey> keys;
    std::string release;  // the release metadata's bytes
    PresentRelease present;
    std::int64_t releaseExpires = 0;
    FreshMetadata fresh;
    std::map<std::string, std::string> oldSignatures;
    StateFile state;
    std::vector<Problem> problems;
    std::vector<std::string> refusals;
    std::vector<std::string> notes;
};

// What lifts a fresh serial at its greatest, or a fresh metadata lost.
const std::string kReleaseSigning =
    "sign the release again with the release key(s) (update-repo sign): a new release serial passes every "
    "fresh serial";

// What keyed players read beside the release metadata must be what the
// release keys signed too, as players count signatures: the extras (bound
// to this release), the packs they name, and the first shape while kept.
void CheckBesideRelease(const RefreshOptions& options, const RepositoryFolder& repository,
                        const FileDigest& release, RefreshPlan& plan) {
    std::vector<Problem> problems;
    const auto extras = PresentExtras(repository, options.releaseKeys, options.threshold, release, problems);
    if (!problems.empty()) {
        plan.refusals.push_back(UntrustedExtras());
    } else if (extras) {
        problems = CheckPacks(repository, extras->packs);
        if (!problems.empty()) {
            plan.refusals.push_back(std::to_string(problems.size()) +
                                    " problem(s) of the packs, listed above: they are not what the release "
                                    "keys signed. Restore them from the signed state, or sign the release "
                                    "again (update-repo sign makes the packs anew)");
        }
    }
    plan.problems.insert(plan.problems.end(), problems.begin(), problems.end());
    CheckFirstShapeKept(repository, options.releaseKeys, options.threshold, plan.refusals);
}

// The release metadata, checked against the release keys and the whole
// repository against it. False when there is none to refresh.
bool CheckRelease(const RefreshOptions& options, const RepositoryFolder& repository, std::int64_t now,
                  RefreshPlan& plan) {
    const auto release = ReadWholeFile(repository.root / kReleaseMetadataName);
    const auto signatures = ReadWholeFile(repository.root / kReleaseSignatureName);
    const auto metadata = release ? ParseRepositoryMetadata(*release) : std::nullopt;
    if (!metadata || metadata->channel.empty() || !signatures) {
        plan.refusals.push_back(std::string(kReleaseMetadataName) + " or " + kReleaseSignatureName +
                                " is missing or malformed: sign the repository with the release key(s) first "
                                "(update-repo sign)");
        return false;
    }
    const std::size_t count = CountSignedBy(*release, *signatures, options.releaseKeys);
    if (count < options.threshold) {
        plan.refusals.push_back(std::string(kReleaseMetadataName) + " carries " + std::to_string(count) +
                                " valid signature(s) by the release keys given with --public-key, " +
                                std::to_string(options.threshold) +
                                " needed: it is not what the release keys signed. Restore it and " +
                                kReleaseSignatureName + " from the signed state");
        return false;
    }
    if (HasExpired(metadata->expires, now)) {
        plan.refusals.push_back(
            std::string(kReleaseMetadataName) + " expired on " + FormatUtcTime(metadata->expires) +
            ": a refresh cannot renew it; sign it again with the release key(s) (update-repo sign)");
    }
    plan.problems = CheckCoveredBySignature(repository, kReleaseMetadataName, *metadata);
    if (!plan.problems.empty()) {
        plan.refusals.push_back(
            std::to_string(plan.problems.size()) +
            " problem(s), listed above: the repository is not what the release keys signed. "
            "Restore those files from the signed state; new content comes only through "
            "update-repo publish --key with the release key(s)");
    }
    CheckBesideRelease(options, repository, DigestOf(*release), plan);
    plan.release = *release;
    plan.present = {metadata->channel, metadata->serial, DigestOf(*release)};
    plan.releaseExpires = metadata->expires;
    return true;
}

// The present fresh metadata, when its signature is by one of the given
// freshness keys or by the release keys (a release signing without the
// freshness key signs it so): only then is its serial one players may hold.
std::optional<FreshMetadata> VerifiedFresh(const RefreshOptions& options, const RepositoryFolder& repository,
                                           const RefreshPlan& plan, std::string& fault) {
    const auto bytes = ReadWholeFile(repository.root / kFreshMetadataName);
    const auto signatures = ReadWholeFile(repository.root / kFreshSignatureName);
    const auto fresh = bytes ? ParseFreshMetadata(*bytes) : std::nullopt;
    if (!bytes || !signatures) {
        fault = std::string(bytes ? kFreshSignatureName : kFreshMetadataName) + " is missing";
        return std::nullopt;
    }
    std::vector<PublicKey> freshKeys;
    for (const SigningKey& key : plan.keys) freshKeys.push_back(key.Public());
    if (!fresh || (!IsSignedBy(*bytes, *signatures, freshKeys) &&
                   CountSignedBy(*bytes, *signatures, options.releaseKeys) < options.threshold)) {
        fault =
            std::string(kFreshMetadataName) + (fresh ? " carries no valid signature by the given freshness "
                                                       "key(s) nor by the release keys"
                                                     : " is malformed");
        return std::nullopt;
    }
    return fresh;
}

// The fresh serial to sign: past the highest that players may hold for this
// release, by the record and by the verified fresh metadata.
void PlanFreshSerial(const RefreshOptions& options, const RepositoryFolder& repository, RefreshPlan& plan) {
    const ChannelRecord* record = plan.state.Find(plan.present.channel);
    const bool recordsThis =
        record && record->releaseSerial == plan.present.serial && record->release == plan.present.digest;
    std::optional<std::uint64_t> highest;
    std::string highestName = "the fresh serial recorded in " + PathText(plan.state.path);
    if (recordsThis) highest = record->freshSerial;
    std::string fault;
    const auto fresh = VerifiedFresh(options, repository, plan, fault);
    if (fresh && fresh->release == plan.present.digest && (!highest || fresh->serial >= *highest)) {
        highest = fresh->serial;
        highestName = kFreshMetadataName;
    }
    if (!fresh && !(options.freshFromState && recordsThis)) {
        plan.refusals.push_back(
            fault + ", so the fresh serial players may hold is unknown (a lower one they refuse): restore " +
            kFreshMetadataName + " and " + kFreshSignatureName + " from a backup, or " + kReleaseSigning +
            (recordsThis
                 ? "; or go on from the fresh serial " + std::to_string(record->freshSerial) + " that " +
                       PathText(plan.state.path) + " records for this release, with --fresh-from-state"
                 : ""));
    } else if (!fresh) {
        plan.notes.push_back(fault + ": going on from the fresh serial " +
                             std::to_string(record->freshSerial) + " recorded in " +
                             PathText(plan.state.path) + ", as --fresh-from-state asks");
    } else if (options.freshFromState) {
        plan.refusals.push_back("--fresh-from-state is for a fresh metadata missing or unverified; " +
                                std::string(kFreshMetadataName) + " is signed: leave it out");
    }
    plan.fresh.serial = NextSerial(highest, highestName, kReleaseSigning, plan.refusals);
}

RefreshPlan PlanRefresh(const RefreshOptions& options, const RepositoryFolder& repository, std::int64_t now) {
    RefreshPlan plan;
    const long long days = options.expiresInDays.value_or(kFreshDays);
    if (days < 1 || days > 3650) plan.refusals.push_back("--expires-in must be between 1 and 3650 days");
    plan.keys = LoadKeys(options.keyFiles, repository, plan.refusals);
    const bool allKeysLoaded = plan.refusals.empty();
    if (!CheckRelease(options, repository, now, plan)) return plan;

    plan.state =
        LoadState(StatePath(options.stateFile, options.keyFiles.front()), repository.root, plan.refusals);
    const ReleaseStanding standing = JudgeRelease(plan.state.Find(plan.present.channel), plan.present);
    const AnchorVerdict verdict = JudgeAnchor(standing, plan.state, plan.present.channel, plan.present,
                                              {false, options.newState, options.allowRollback}, "refresh");
    plan.refusals.insert(plan.refusals.end(), verdict.refusals.begin(), verdict.refusals.end());
    plan.notes = verdict.notes;
    PlanFreshSerial(options, repository, plan);
    plan.fresh.expires = now + days * 86400;
    plan.fresh.release = plan.present.digest;
    if (allKeysLoaded) {
        KeepPresentSignatures(repository, kFreshSignatureName, plan.keys, options.dropOtherKeys,
                              plan.oldSignatures, plan.refusals);
    }
    return plan;
}

void WarnOfExpiries(const RepositoryFolder& repository, const RefreshPlan& plan, std::int64_t now,
                    std::ostream& err) {
    if (plan.releaseExpires - now <= kWarnAhead) {
        err << "update-repo: note: " << kReleaseMetadataName << " expires on "
            << FormatUtcTime(plan.releaseExpires)
            << ", and every keyed update with it: sign it again with the release key(s) before (update-repo "
               "sign)\n";
    }
    const auto first = ReadWholeFile(repository.root / kMetadataName);
    const auto firstShape = first ? ParseRepositoryMetadata(*first) : std::nullopt;
    if (firstShape && firstShape->expires - now <= kWarnAhead) {
        err << "update-repo: note: " << kMetadataName
            << ", for updaters built before the freshness keys, expires on "
            << FormatUtcTime(firstShape->expires)
            << ": a refresh does not renew it; sign with the release key(s) before (update-repo sign), or "
               "delete it "
               "and "
            << kSignatureName << " once no player runs such an updater\n";
    }
}

// Names what nothing signed covers: harmless to players, but planted or left over.
void WarnOfUncovered(const RepositoryFolder& repository, const std::string& release, std::ostream& err) {
    try {
        const std::vector<std::string> files =
            FilesNothingSignedNames(repository, *ParseRepositoryMetadata(release));
        if (files.empty()) return;
        err << "update-repo: warning: " << files.size()
            << " file(s) in the repository that nothing signed names; players never fetch them, but someone "
               "who can write to the repository put them there, or an interrupted publish left them: look at "
               "them, then delete them\n";
        for (const std::string& file : files) err << "  " << Escaped(file) << "\n";
    } catch (const std::exception& e) {
        err << "update-repo: warning: the files nothing signed names were not all looked for: "
            << Escaped(e.what()) << "\n";
    }
}

}  // namespace

int Refresh(const fs::path& root, const RefreshOptions& options, std::ostream& out, std::ostream& err) {
    const auto opened = OpenRepository(root, err);
    if (!opened) return 1;
    const RepositoryFolder& repository = *opened;
    const std::vector<Problem> problems = CheckRepository(repository);
    const std::int64_t now = std::time(nullptr);
    const RefreshPlan plan = PlanRefresh(options, repository, now);
    if (Refused(problems, plan.problems, plan.refusals, err)) return 1;
    PrintNotes(plan.notes, err);
    try {
        FinishSignatures(repository, {{kFreshSignatureName, WriteSignedFile(repository, kFreshMetadataName,
                                                                            FormatFreshMetadata(plan.fresh),
                                                                            plan.keys, plan.oldSignatures)}});
    } catch (const std::exception& e) {
        err << "update-repo: error: " << Escaped(e.what()) << "\n";
        return 1;
    }
    std::vector<std::string> ids;
    for (const SigningKey& key : plan.keys) ids.push_back(KeyId(key.Public()));
    out << "refreshed channel " << plan.present.channel << ", release serial " << plan.present.serial
        << ", with key(s) " << Joined(ids) << ": serial " << plan.fresh.serial << ", expires "
        << FormatUtcTime(plan.fresh.expires) << "\n";
    WarnOfExpiries(repository, plan, now, err);
    WarnOfUncovered(repository, plan.release, err);
    try {
        SaveRecord(plan.state, plan.present.channel,
                   {plan.present.serial, plan.present.digest, plan.fresh.serial});
    } catch (const std::exception& e) {
        err << "update-repo: error: the fresh metadata is signed, but its record was not kept: "
            << Escaped(e.what()) << "\nupdate-repo: make " << PathText(plan.state.path)
            << " writable; the next run goes on from the signed fresh metadata\n";
        return 1;
    }
    return 0;
}
