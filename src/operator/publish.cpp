#include "operator/publish.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "operator/file_io.h"
#include "operator/names.h"
#include "operator/removed_files.h"
#include "operator/verify.h"
#include "storage/cp1252.h"
#include "update/formats/utc_time.h"
#include "update/trust/key_text.h"
#include "update/trust/signature_file.h"
#include "update/trust/signed_metadata.h"

namespace {

constexpr const char* kNothingToPublish =
    "nothing to publish: the build matches the published game (--allow-empty publishes an empty version)";

// Copies at least this big report their percentage as they go.
constexpr std::uint64_t kLargeFile = 4 << 20;
// Comparing a big build takes a while too: a counter every so many files.
constexpr std::size_t kCompareReportEvery = 1000;

// The game files of the build, relative and "/" separated, sorted. What
// cannot be a game file is refused rather than silently left out.
std::vector<std::string> BuildFiles(const fs::path& build, std::vector<std::string>& refusals) {
    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(build); it != fs::recursive_directory_iterator(); ++it) {
        const fs::directory_entry& entry = *it;
        const fs::path relative = entry.path().lexically_relative(build);
        const std::u8string generic = relative.generic_u8string();
        const std::string name(generic.begin(), generic.end());
        if (entry.is_symlink() && entry.is_directory()) {
            refusals.push_back(Shown(name) + " in the build is a link to a folder, which is not followed");
        } else if (entry.is_directory()) {
            continue;
        } else if (entry.is_regular_file()) {
            files.push_back(name);
        } else {
            refusals.push_back(Shown(name) + " in the build is not a regular file");
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Refuses paths that Windows would take for one file, and a path used as a
// file by one name and as a folder by another, across the published game and
// the build together.
void CheckCollisions(const std::vector<std::string>& published, const std::vector<std::string>& build,
                     std::vector<std::string>& refusals) {
    struct Owner {
        std::string path;
        bool inBuild;
    };
    std::map<std::string, Owner> byKey;
    for (const std::string& path : published) byKey.emplace(FoldCase(path), Owner{path, false});
    for (const std::string& path : build) {
        const auto [found, added] = byKey.emplace(FoldCase(path), Owner{path, true});
        if (added || found->second.path == path) continue;
        refusals.push_back(Shown(path) + " differs only in letter case from " + Shown(found->second.path) +
                           (found->second.inBuild ? ", also in the build" : ", already published") +
                           ": on Windows they are one file");
    }
    const auto checkFolders = [&](const std::string& path, bool inBuild) {
        for (std::size_t cut = path.find('/'); cut != std::string::npos; cut = path.find('/', cut + 1)) {
            const auto file = byKey.find(FoldCase(path.substr(0, cut)));
            if (file == byKey.end() || (!inBuild && !file->second.inBuild)) continue;
            refusals.push_back(Shown(path) + " needs a folder where " + Shown(file->second.path) +
                               " is a file" +
                               (file->second.inBuild ? " in the build" : " already published"));
        }
    };
    for (const std::string& path : published) checkFolders(path, false);
    for (const std::string& path : build) checkFolders(path, true);
}

void CheckVersion(const PublishOptions& options, const RepositoryFolder& repository,
                  std::vector<std::string>& refusals) {
    if (options.version < INT16_MIN || options.version > INT16_MAX) {
        refusals.push_back("version " + std::to_string(options.version) +
                           " does not fit a version number (-32768 to 32767)");
        return;
    }
    // Players fetch the versions greater than theirs: one at or below a
    // published version would never reach those who have that one.
    const IndexedVersion* highest = nullptr;
    for (const IndexedVersion& indexed : repository.fields) {
        if (!highest || indexed.field.value > highest->field.value) highest = &indexed;
    }
    if (highest && !(static_cast<double>(options.version) > highest->field.value)) {
        refusals.push_back("version " + std::to_string(options.version) +
                           " is not greater than every published version: the index holds " +
                           Shown(highest->field.text) + ", and players at that version would never fetch it");
    }
}

const char* ChangeName(Change change) {
    switch (change) {
        case Change::Changed:
            return "changed ";
        case Change::Restored:
            return "restored";
        case Change::New:
        default:
            return "new     ";
    }
}

void PrintPlan(const PublishOptions& options, const PublishPlan& plan, std::ostream& out) {
    std::size_t count[3] = {0, 0, 0};
    for (const PlannedFile& file : plan.files) ++count[static_cast<int>(file.change)];
    out << "version " << options.version << " into " << PathText(options.repository) << " from "
        << PathText(options.build) << ": " << count[0] << " new, " << count[1] << " changed, "
        << (count[2] ? std::to_string(count[2]) + " restored, " : "") << plan.unchanged << " unchanged\n";
    for (const PlannedFile& file : plan.files) {
        out << "  " << ChangeName(file.change) << " " << Escaped(file.path) << " (" << file.size << " bytes)"
            << (file.change == Change::Restored ? ", was missing under files/" : "") << "\n";
    }
    if (!plan.gone.empty() && !options.signing.keyFiles.empty()) {
        out << "note: " << plan.gone.size()
            << " published file(s) no longer in the build; updaters with the release key remove the "
               "copies players have not changed, older ones keep them:\n";
    } else if (!plan.gone.empty()) {
        out << "note: " << plan.gone.size()
            << " published file(s) no longer in the build; an unsigned repository cannot delete files, "
               "players keep their copies:\n";
        for (const std::string& path : plan.gone) out << "  " << Escaped(path) << "\n";
    }
    if (plan.replacesStrayList) {
        out << "note: " << ListName(static_cast<std::int16_t>(options.version))
            << " exists but the index does not name it (an interrupted publish?); it will be replaced\n";
    }
}

// The build's files that can be published under their names; the others
// are refused.
std::vector<std::string> PublishableFiles(const fs::path& build, std::vector<std::string>& refusals) {
    std::vector<std::string> publishable;
    for (const std::string& path : BuildFiles(build, refusals)) {
        if (const auto problem = BuildNameProblem(path)) {
            refusals.push_back(Shown(path) + " " + *problem);
        } else {
            publishable.push_back(path);
        }
    }
    return publishable;
}

// A file missing under files/ is repaired when the build brings it; any
// other fault of the repository would still break players' updates.
// Without an index the repository is a new one: nothing is published yet.
void KeepUnrepairedProblems(const RepositoryFolder& repository, const std::set<std::string>& inBuild,
                            PublishPlan& plan) {
    const std::vector<Problem> problems =
        repository.index ? CheckRepository(repository) : std::vector<Problem>{};
    for (const Problem& problem : problems) {
        if (problem.missing.empty() || !inBuild.contains(problem.missing)) {
            plan.repositoryProblems.push_back(problem);
        }
    }
    if (!plan.repositoryProblems.empty()) {
        plan.refusals.push_back("the repository has " + std::to_string(plan.repositoryProblems.size()) +
                                " problem(s), listed above: a new version would not repair players' updates");
    }
}

// Sorts the publishable files into new, changed and restored ones (the plan's
// files) and unchanged ones (only counted).
void CompareWithPublished(const PublishOptions& options, const RepositoryFolder& repository,
                          const std::vector<std::string>& publishable, const std::set<std::string>& listed,
                          std::ostream& progress, PublishPlan& plan) {
    const std::set<std::string> dropped = DroppedPaths(repository);
    std::size_t compared = 0;
    for (const std::string& path : publishable) {
        const fs::path source = options.build / Utf8Path(path);
        const fs::path stored = repository.GameFilePath(path);
        PlannedFile file{path, Change::New, fs::file_size(source)};
        if (listed.contains(path) && !dropped.contains(path)) {
            std::error_code error;
            if (!fs::exists(stored, error)) {
                file.change = Change::Restored;
            } else if (SameContent(source, stored)) {
                ++plan.unchanged;
                file.path.clear();
            } else {
                file.change = Change::Changed;
            }
        }
        if (!file.path.empty()) plan.files.push_back(std::move(file));
        if (++compared % kCompareReportEvery == 0) {
            progress << "compared " << compared << " of " << publishable.size() << " files\n";
        }
    }
}

void CopyPlannedFiles(const PublishOptions& options, const RepositoryFolder& repository,
                      const PublishPlan& plan, std::ostream& progress) {
    const std::size_t total = plan.files.size();
    std::size_t k = 0;
    for (const PlannedFile& file : plan.files) {
        progress << "[" << ++k << "/" << total << "] " << Escaped(file.path) << "\n";
        const fs::path target = repository.GameFilePath(file.path);
        fs::create_directories(target.parent_path());
        int shownTenth = 0;
        CopyWhole(options.build / Utf8Path(file.path), target, [&](std::uint64_t done, std::uint64_t size) {
            if (size < kLargeFile) return;
            const int tenth = static_cast<int>(done * 10 / size);
            if (tenth == shownTenth) return;
            shownTenth = tenth;
            progress << "      " << tenth * 10 << "%\n";
        });
    }
}

void WriteWhole(const fs::path& path, const std::string& bytes) {
    PendingFile file(path);
    file.Write(bytes);
    file.Commit();
}

// The index with the version added on a line of its own.
std::string IndexWith(const RepositoryFolder& repository, long long version) {
    std::string index = repository.index.value_or("");
    if (!index.empty() && index.back() != '\n' && index.back() != '\r') index += "\r\n";
    index += std::to_string(version) + "\r\n";
    return index;
}

// The repository as players will see it once the index names the new version.
RepositoryFolder AfterPublish(const RepositoryFolder& repository, const std::string& index,
                              std::int16_t version, const std::string& listName, const std::string& list) {
    RepositoryFolder after = repository;
    after.index = index;
    PublishedList added;
    added.version = version;
    added.name = listName;
    added.bytes = list;
    after.lists.push_back(std::move(added));
    return after;
}

// The repository and the build must be folders, neither inside the other.
bool CheckFolders(const PublishOptions& options, std::ostream& err) {
    std::error_code error;
    if (!fs::is_directory(options.repository, error)) {
        err << "update-repo: error: the repository " << PathText(options.repository)
            << " is not a folder (create it first for a new repository)\n";
        return false;
    }
    if (!fs::is_directory(options.build, error)) {
        err << "update-repo: error: the build " << PathText(options.build) << " is not a folder\n";
        return false;
    }
    if (IsInside(options.repository, options.build) || IsInside(options.build, options.repository)) {
        err << "update-repo: error: the repository and the build folder must not contain one another\n";
        return false;
    }
    return true;
}

// The objects deltas will start from are read before anything is written:
// a planted one is refused, named, instead of decoded without bound.
void CheckObjectsToReuse(const PublishOptions& options, const RepositoryFolder& repository,
                         const SigningPlan& signing, PublishPlan& plan) {
    std::vector<std::string> entries;
    for (const PlannedFile& file : plan.files) {
        if (file.size >= signing.patches->deltaThreshold) entries.push_back(file.path);
    }
    const auto version = static_cast<std::int16_t>(options.version);
    for (std::string& fault : CheckOldObjects(repository, version, entries, *signing.patches)) {
        plan.refusals.push_back(std::move(fault));
    }
}

// With keys, publishing signs too; without, it must not leave a signed
// repository unsigned. Refusals go into plan.
std::optional<SigningPlan> PlanSigningAlong(const PublishOptions& options, const RepositoryFolder& repository,
                                            PublishPlan& plan) {
    if (!options.signing.keyFiles.empty()) {
        SigningOptions signingOptions = options.signing;
        signingOptions.command = "publish";
        SigningPlan signing = PlanSigning(signingOptions, repository, std::time(nullptr));
        for (const std::string& refusal : signing.refusals) plan.refusals.push_back(refusal);
        if (plan.refusals.empty() && signing.patches) CheckObjectsToReuse(options, repository, signing, plan);
        return signing;
    }
    const AnchorFlags& flags = options.signing.anchor;
    if (flags.firstSigning || flags.newState || flags.allowRollback || flags.signedElsewhere ||
        options.signing.threshold) {
        plan.refusals.push_back(
            "--first-signing, --new-state, --allow-rollback, --signed-elsewhere and --threshold go "
            "with --key only");
    }
    if (IsSigned(repository)) {
        plan.refusals.push_back(
            std::string("the repository is signed (") + kReleaseMetadataName +
            "): give the release key(s) with --key, or players whose updater has a key would "
            "refuse every update");
    }
    return std::nullopt;
}

void PrintRefusals(const PublishPlan& plan, const std::optional<SigningPlan>& signing, std::ostream& err) {
    PrintProblems(plan.repositoryProblems, err);
    if (signing) PrintProblems(signing->problems, err);
    for (const std::string& refusal : plan.refusals) {
        err << "update-repo: refused: " << Escaped(refusal) << "\n";
    }
    err << "update-repo: nothing was written\n";
}

void PrintSigning(const SigningPlan& signing, std::ostream& out) {
    std::string ids;
    for (const SigningKey& key : signing.keys) ids += " " + KeyId(key.Public());
    out << "signing channel " << signing.channel << " with release key(s)" << ids << ": serial "
        << signing.releaseSerial << ", expires " << FormatUtcTime(signing.releaseExpires) << "; fresh serial "
        << signing.freshSerial << ", expires " << FormatUtcTime(signing.freshExpires) << "\n";
}

}  // namespace

PublishPlan PlanPublish(const PublishOptions& options, const RepositoryFolder& repository,
                        std::ostream& progress) {
    PublishPlan plan;
    CheckVersion(options, repository, plan.refusals);
    const std::vector<std::string> publishable = PublishableFiles(options.build, plan.refusals);
    const std::vector<std::string> published = repository.PublishedPaths();
    CheckCollisions(published, publishable, plan.refusals);
    const std::set<std::string> inBuild(publishable.begin(), publishable.end());
    KeepUnrepairedProblems(repository, inBuild, plan);
    const std::set<std::string> listed(published.begin(), published.end());
    CompareWithPublished(options, repository, publishable, listed, progress, plan);
    for (const std::string& path : published) {
        if (!inBuild.contains(path)) plan.gone.push_back(path);
    }
    // Signed, a file gone from the build is a change: keyed updaters remove it
    // (whether it is a new drop is known once the signing is planned).
    const bool drops = !options.signing.keyFiles.empty() && !plan.gone.empty();
    if (plan.files.empty() && !options.allowEmpty && !drops && plan.refusals.empty()) {
        plan.refusals.push_back(kNothingToPublish);
    }
    if (options.version >= INT16_MIN && options.version <= INT16_MAX) {
        std::error_code error;
        plan.replacesStrayList =
            fs::exists(repository.ListPath(ListName(static_cast<std::int16_t>(options.version))), error);
    }
    return plan;
}

std::optional<FileDigest> ApplyPublish(const PublishOptions& options, const RepositoryFolder& repository,
                                       const PublishPlan& plan, std::ostream& progress,
                                       const SigningPlan* signing) {
    CopyPlannedFiles(options, repository, plan, progress);
    std::string list;
    for (const PlannedFile& file : plan.files) list += Utf8ToCp1252(file.path) + "\r\n";
    const auto version = static_cast<std::int16_t>(options.version);
    const std::string listName = ListName(version);
    WriteWhole(repository.ListPath(listName), list);
    const std::string index = IndexWith(repository, options.version);

    // Signed, the metadata goes before the index: an updater without a key
    // reads only the index, so it sees the new version only once everything
    // is in place. One with a key that reads between the two finds that the
    // index does not match the signed digest and refuses the run; its next
    // start finds them agreeing.
    SignedWrite written;
    if (signing) {
        const RepositoryFolder after = AfterPublish(repository, index, version, listName, list);
        written = WriteSignedMetadata(after, index, version, *signing, progress);
    }

    // Last: until the index names it, no player asks for the new version.
    WriteWhole(repository.IndexPath(), index);
    if (!signing) return std::nullopt;
    try {
        FinishSignatures(repository, written.signatures);
    } catch (const std::exception& e) {
        // The file still holds a valid signature of the new metadata.
        progress << "note: the previous signatures stay beside the new ones (" << Escaped(e.what())
                 << "); the next signing drops them\n";
    }
    return written.release;
}

int Publish(const PublishOptions& options, std::ostream& out, std::ostream& err) {
    if (!CheckFolders(options, err)) return 1;
    const RepositoryFolder repository = ReadRepositoryFolder(options.repository);
    PublishPlan plan = PlanPublish(options, repository, err);
    std::optional<SigningPlan> signing = PlanSigningAlong(options, repository, plan);
    if (signing && plan.refusals.empty()) {
        const std::size_t dropped = RecordRemovedFiles(repository, static_cast<std::int16_t>(options.version),
                                                       plan.gone, signing->extras);
        if (plan.files.empty() && !options.allowEmpty && dropped == 0)
            plan.refusals.push_back(kNothingToPublish);
    }
    if (!plan.refusals.empty()) {
        PrintRefusals(plan, signing, err);
        return 1;
    }
    PrintPlan(options, plan, out);
    if (signing) {
        PrintSigning(*signing, out);
        PrintNotes(signing->notes, err);
    }
    if (options.dryRun) {
        out << "dry run: nothing written\n";
        return 0;
    }
    std::optional<FileDigest> release;
    try {
        release = ApplyPublish(options, repository, plan, err, signing ? &*signing : nullptr);
    } catch (const std::exception& e) {
        err << "update-repo: error: " << Escaped(e.what()) << "\n"
            << "update-repo: version " << options.version
            << " was not published: the index is unchanged, players see nothing of it\n";
        if (signing) {
            err << "update-repo: the signed metadata may already describe it, which players whose updater "
                   "has a "
                   "key refuse: publish again, or run update-repo sign\n";
        }
        return 1;
    }
    out << "published version " << options.version << ": " << plan.files.size() << " file(s) in "
        << ListName(static_cast<std::int16_t>(options.version)) << ", added to " << kIndexName << "\n";
    return !signing || RecordSigning(*signing, *release, err) ? 0 : 1;
}
