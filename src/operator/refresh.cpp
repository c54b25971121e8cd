#include "operator/refresh.h"

#include <ctime>
#include <map>
#include <string>
#include <system_error>

#include "operator/file_io.h"
#include "operator/signing.h"
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
    std::string channel;
    std::uint64_t releaseSerial = 0;
    std::int64_t releaseExpires = 0;
    FreshMetadata fresh;
    std::map<std::string, std::string> oldSignatures;
    std::vector<Problem> problems;
    std::vector<std::string> refusals;
};

RefreshPlan PlanRefresh(const RefreshOptions& options, const RepositoryFolder& repository, std::int64_t now) {
    RefreshPlan plan;
    const long long days = options.expiresInDays.value_or(kFreshDays);
    if (days < 1 || days > 3650) plan.refusals.push_back("--expires-in must be between 1 and 3650 days");
    plan.keys = LoadKeys(options.keyFiles, repository, plan.refusals);
    const bool allKeysLoaded = plan.refusals.empty();

    const auto release = ReadWholeFile(repository.root / kReleaseMetadataName);
    const auto signatures = ReadWholeFile(repository.root / kReleaseSignatureName);
    const auto metadata = release ? ParseRepositoryMetadata(*release) : std::nullopt;
    if (!metadata || metadata->channel.empty() || !signatures) {
        plan.refusals.push_back(std::string(kReleaseMetadataName) + " or " + kReleaseSignatureName +
                                " is missing or malformed: sign the repository with the release key(s) first "
                                "(update-repo sign)");
        return plan;
    }
    const std::size_t count = CountSignedBy(*release, *signatures, options.releaseKeys);
    if (count < options.threshold) {
        plan.refusals.push_back(std::string(kReleaseMetadataName) + " carries " + std::to_string(count) +
                                " valid signature(s) by the release keys given with --public-key, " +
                                std::to_string(options.threshold) +
                                " needed: it is not what the release keys signed. Restore it and " +
                                kReleaseSignatureName + " from the signed state");
        return plan;
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
    plan.release = *release;
    plan.channel = metadata->channel;
    plan.releaseSerial = metadata->serial;
    plan.releaseExpires = metadata->expires;

    std::optional<std::uint64_t> present;
    if (const auto freshBytes = ReadWholeFile(repository.root / kFreshMetadataName)) {
        const auto fresh = ParseFreshMetadata(*freshBytes);
        if (!fresh) {
            plan.refusals.push_back(
                std::string(kFreshMetadataName) +
                " is malformed, so its serial is unknown: restore it from a backup, or sign "
                "a new release with the release key(s) (update-repo sign)");
        } else {
            present = fresh->serial;
        }
    }
    plan.fresh = {NextSerial(present, kFreshMetadataName, plan.refusals), now + days * 86400,
                  DigestOf(*release)};
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

}  // namespace

int Refresh(const fs::path& root, const RefreshOptions& options, std::ostream& out, std::ostream& err) {
    const auto opened = OpenRepository(root, err);
    if (!opened) return 1;
    const RepositoryFolder& repository = *opened;
    const std::vector<Problem> problems = CheckRepository(repository);
    const std::int64_t now = std::time(nullptr);
    const RefreshPlan plan = PlanRefresh(options, repository, now);
    if (Refused(problems, plan.problems, plan.refusals, err)) return 1;
    try {
        FinishSignatures(repository, {{kFreshSignatureName, WriteSignedFile(repository, kFreshMetadataName,
                                                                            FormatFreshMetadata(plan.fresh),
                                                                            plan.keys, plan.oldSignatures)}});
    } catch (const std::exception& e) {
        err << "update-repo: error: " << e.what() << "\n";
        return 1;
    }
    std::vector<std::string> ids;
    for (const SigningKey& key : plan.keys) ids.push_back(KeyId(key.Public()));
    out << "refreshed channel " << plan.channel << ", release serial " << plan.releaseSerial
        << ", with key(s) " << Joined(ids) << ": serial " << plan.fresh.serial << ", expires "
        << FormatUtcTime(plan.fresh.expires) << "\n";
    WarnOfExpiries(repository, plan, now, err);
    return 0;
}
