#include "update/install_plan.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "failure.h"
#include "storage/storage.h"
#include "update/repository.h"

namespace {

// The folders on the way to an entry: "a", "a/b" for "a/b/c" (either separator).
template <typename Action>
void ForEachFolderOf(const std::string& entry, Action action) {
    for (std::size_t cut = entry.find_first_of("/\\"); cut != std::string::npos;
         cut = entry.find_first_of("/\\", cut + 1)) {
        action(entry.substr(0, cut));
    }
}

// Entries that the game folder cannot take as files are refused before any
// transfer: a folder where the file goes, a file where a folder must be, or
// an entry that another needs as its folder.
void CheckTargets(const std::vector<std::string>& fileList, const std::vector<std::size_t>& positions) {
    std::set<std::string> folders;
    std::set<std::string> checked;  // folders on the way already seen to be usable
    for (const std::size_t k : positions) {
        ForEachFolderOf(fileList[k], [&](std::string folder) { folders.insert(std::move(folder)); });
    }
    for (const std::size_t k : positions) {
        const std::string& entry = fileList[k];
        const UpdateFailure refused("Impossible d'écrire " + Printable(entry) + ".");
        std::string slashed = entry;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        if (folders.count(entry) || folders.count(slashed)) throw refused;
        std::error_code error;
        if (std::filesystem::is_directory(LocalPath(entry), error)) throw refused;
        ForEachFolderOf(entry, [&](std::string folder) {
            if (checked.count(folder)) return;
            const auto status = std::filesystem::status(LocalPath(folder), error);
            if (status.type() != std::filesystem::file_type::not_found &&
                !std::filesystem::is_directory(status)) {
                throw refused;
            }
            checked.insert(std::move(folder));
        });
    }
}

// With sizes known, a disk that cannot take the update stops it before the
// first byte is fetched.
void CheckFreeSpace(const std::vector<DownloadJob>& jobs) {
    std::uint64_t needed = 0;
    for (const DownloadJob& job : jobs) {
        if (job.expectedSize && *job.expectedSize > job.resumeFrom)
            needed += *job.expectedSize - job.resumeFrom;
    }
    std::error_code error;
    const auto space = std::filesystem::space(NativePath(ProgramFolder()), error);
    if (error || needed <= space.available) return;
    constexpr std::uint64_t kMiB = 1024 * 1024;
    throw UpdateFailure("Espace disque insuffisant: " + std::to_string((needed + kMiB - 1) / kMiB) +
                        " Mo nécessaires, " + std::to_string(space.available / kMiB) + " Mo libres.");
}

// Plans one entry; the caller has already added it to the files shown.
class EntryPlanner {
public:
    EntryPlanner(const std::vector<std::string>& fileList, StagingRecord& staging,
                 const RepositoryTrust& trust, InstallPlan& plan)
        : listed_(fileList.begin(), fileList.end()), staging_(staging), trust_(trust), plan_(plan) {}

    void Plan(const std::string& entry) {
        const std::size_t place = plan_.remotes.size() - 1;
        DownloadJob job;
        if (trust_.Enabled()) {
            const FileDigest expected = trust_.Expected(entry);
            // Already installed exactly as signed: a run cut short after
            // thousands of files does not fetch them again.
            if (HoldsContent(entry, expected)) {
                plan_.inPlace.push_back(place);
                return;
            }
            job.expectedSize = expected.size;
            job.check = MakeDigestCheck(expected);
        }
        job.remote = plan_.remotes.back();
        job.local = entry;
        if (const auto left = staging_.TakeLeftBody(entry)) {
            if (UseWholeLeftover(*left, entry, place)) return;
            Resume(job, *left);
        } else {
            job.staged = LocalPath(staging_.NewStagedName(entry, listed_));
        }
        plan_.placeOfJob.push_back(place);
        plan_.jobs.push_back(std::move(job));
    }

private:
    // A killed run may have left this file whole: signed, it needs no
    // transfer at all, only its place in the commit.
    bool UseWholeLeftover(const LeftBody& left, const std::string& entry, std::size_t place) {
        if (!trust_.Enabled() || !HoldsContent(left.staged, trust_.Expected(entry))) return false;
        plan_.inPlace.push_back(place);
        plan_.leftWhole.push_back({left.staged, entry});
        return true;
    }

    // Only a body whose answer had a validator and a total can be continued.
    static void Resume(DownloadJob& job, const LeftBody& left) {
        std::error_code error;
        job.staged = LocalPath(left.staged);
        const bool resumable = !left.validator.empty() && left.total >= 0;
        job.resumeFrom = resumable ? std::filesystem::file_size(job.staged, error) : 0;
        if (error) job.resumeFrom = 0;
        job.validator = left.validator;
        job.resumeTotal = left.total;
    }

    std::set<std::string> listed_;  // no staged name may be a listed entry
    StagingRecord& staging_;
    const RepositoryTrust& trust_;
    InstallPlan& plan_;
};

}  // namespace

InstallPlan PlanInstall(const std::vector<std::string>& fileList, StagingRecord& staging,
                        const RepositoryTrust& trust) {
    std::vector<std::size_t> positions;  // file list positions (from 0) of the files to fetch
    for (std::size_t k = 0; k < fileList.size(); ++k) {
        if (!IsBlankEntry(fileList[k])) positions.push_back(k);
    }
    CheckTargets(fileList, positions);

    InstallPlan plan;
    plan.jobs.reserve(positions.size());
    EntryPlanner planner(fileList, staging, trust, plan);
    for (const std::size_t k : positions) {
        plan.remotes.push_back(RemoteFileName(fileList[k]));
        plan.numbers.push_back(static_cast<std::int32_t>(k + 1));
        planner.Plan(fileList[k]);
    }
    CheckFreeSpace(plan.jobs);
    return plan;
}

std::string StagedName(const DownloadJob& job) {
    const std::u8string name = job.staged.lexically_relative(NativePath(ProgramFolder())).generic_u8string();
    return std::string(name.begin(), name.end());
}

std::vector<CommitMove> CommitMoves(const InstallPlan& plan) {
    std::vector<CommitMove> moves;
    moves.reserve(plan.jobs.size() + plan.leftWhole.size());
    for (const auto& [staged, entry] : plan.leftWhole) moves.push_back({staged, entry, BackupName(staged)});
    for (const DownloadJob& job : plan.jobs) {
        const std::string staged = StagedName(job);
        moves.push_back({staged, job.local, BackupName(staged)});
    }
    return moves;
}
