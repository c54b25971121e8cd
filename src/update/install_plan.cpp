#include "update/install_plan.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "failure.h"
#include "player_texts.h"
#include "storage/storage.h"
#include "update/formats/repository.h"

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The folders on the way to an entry: "a", "a/b" for "a/b/c" (either separator).
template <typename Action>
void ForEachFolderOf(const std::string& entry, Action action) {
    for (std::size_t cut = entry.find_first_of("/\\"); cut != std::string::npos;
         cut = entry.find_first_of("/\\", cut + 1)) {
        action(std::string_view(entry).substr(0, cut));
    }
}

// Compares names with either separator below every other character: an
// entry is then followed at once by those that have it as their folder.
bool FolderOrder(const std::string& a, const std::string& b) {
    const auto key = [](char c) { return IsSeparator(c) ? 0 : static_cast<unsigned char>(c) + 1; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return key(x) < key(y); });
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return x == y || (IsSeparator(x) && IsSeparator(y));
           });
}

// For each of the positions, whether another entry needs it as its folder.
// Sorting costs a number per entry, not a copy of every folder name.
std::vector<bool> UsedAsFolders(const std::vector<std::string>& fileList,
                                const std::vector<std::size_t>& positions) {
    std::vector<std::size_t> order(positions.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return FolderOrder(fileList[positions[a]], fileList[positions[b]]);
    });
    std::vector<bool> used(positions.size(), false);
    for (std::size_t i = order.size(); i-- > 1;) {
        const std::string& name = fileList[positions[order[i - 1]]];
        const std::string& next = fileList[positions[order[i]]];
        if (SameName(name, next)) {
            used[order[i - 1]] = used[order[i]];
        } else {
            used[order[i - 1]] = next.size() > name.size() && IsSeparator(next[name.size()]) &&
                                 SameName(name, std::string_view(next).substr(0, name.size()));
        }
    }
    return used;
}

// Whether the game folder can take the entry as a file: no folder where the
// file goes, and only folders (or nothing yet) where its folders go. The
// folders on the way to lastFolder are known to be usable.
bool TakesFile(GameFolder& folder, const std::string& entry, const std::string& lastFolder) {
    const Result<FileInfo> target = folder.Inspect(entry, Links::Followed);
    if (target.ok() && target->kind == FileKind::Folder) return false;
    bool takes = true;
    ForEachFolderOf(entry, [&](std::string_view above) {
        if (!takes || (lastFolder.starts_with(above) &&
                       (lastFolder.size() == above.size() || IsSeparator(lastFolder[above.size()])))) {
            return;
        }
        const Result<FileInfo> there = folder.Inspect(std::string(above), Links::Followed);
        takes = there.ok() && (there->kind == FileKind::Missing || there->kind == FileKind::Folder);
    });
    return takes;
}

// The entries (their indexes in positions) that the game folder cannot take
// as files: a folder where the file goes, a file where a folder must be, or
// an entry that another needs as its folder. With firstOnly, the first one.
std::vector<std::size_t> BlockedTargets(GameFolder& folder, const std::vector<std::string>& fileList,
                                        const std::vector<std::size_t>& positions, bool firstOnly) {
    const std::vector<bool> usedAsFolder = UsedAsFolders(fileList, positions);
    std::vector<std::size_t> blocked;
    std::string lastFolder;  // the folders on the way to the last entry taken are usable
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const std::string& entry = fileList[positions[i]];
        if (usedAsFolder[i] || !TakesFile(folder, entry, lastFolder)) {
            blocked.push_back(i);
            if (firstOnly) break;
            continue;
        }
        const std::size_t cut = entry.find_last_of("/\\");
        lastFolder = cut == std::string::npos ? std::string() : entry.substr(0, cut);
    }
    return blocked;
}

// An update is refused before any transfer when one entry cannot be taken.
void CheckTargets(GameFolder& folder, const std::vector<std::string>& fileList,
                  const std::vector<std::size_t>& positions) {
    const std::vector<std::size_t> blocked = BlockedTargets(folder, fileList, positions, true);
    if (!blocked.empty())
        throw UpdateFailure(texts::CannotWrite(Printable(fileList[positions[blocked.front()]])));
}

// With sizes known, a disk that cannot take the update stops it before the
// first byte is fetched.
void CheckFreeSpace(GameFolder& folder, const std::vector<DownloadJob>& jobs, std::uint64_t rebuilt) {
    // Bodies never pass their signed sizes, and a part fetched again from its
    // first byte is removed before it is written: this is what the run adds,
    // besides the files rebuilt from what it fetches.
    std::uint64_t needed = rebuilt;
    for (const DownloadJob& job : jobs) {
        const std::uint64_t from = job.resume ? job.resume->from : 0;
        if (job.expectedSize && *job.expectedSize > from) needed += *job.expectedSize - from;
    }
    const Result<std::uint64_t> available = folder.FreeSpace();
    if (!available.ok() || needed <= *available) return;
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const auto roundedUp = [](std::uint64_t bytes) { return (bytes + kMiB - 1) / kMiB; };
    throw UpdateFailure(
        texts::DiskFull(roundedUp(needed - *available), roundedUp(needed), *available / kMiB));
}

bool HoldsSignedLeftover(GameFolder& folder, const std::string& staged, const FileDigest& expected) {
    const Result<FileInfo> left = folder.Inspect(staged, Links::NotFollowed);
    return left.ok() && left->kind == FileKind::Regular &&
           HoldsContent(folder, staged, expected, Links::NotFollowed);
}

// The content among those that the installed file holds, when it is a
// regular file reached through folders: no link at its name nor on its way,
// whose target may lie outside the game folder. Throws UpdateFailure when
// such a file of a signed size cannot be read.
std::optional<FileDigest> RemovableContent(GameFolder& folder, const DueRemoval& due) {
    bool throughFolders = true;
    ForEachFolderOf(due.entry, [&](std::string_view above) {
        if (!throughFolders) return;
        const Result<FileInfo> there = folder.Inspect(std::string(above), Links::NotFollowed);
        throughFolders = there.ok() && there->kind == FileKind::Folder;
    });
    const Result<FileInfo> info = folder.Inspect(due.entry, Links::NotFollowed);
    const auto sized = [&](const FileDigest& content) { return content.size == info->size; };
    if (!throughFolders || !info.ok() || info->kind != FileKind::Regular ||
        std::none_of(due.contents.begin(), due.contents.end(), sized)) {
        return std::nullopt;
    }
    // A file that may be the signed one but cannot be read stops the run:
    // going on would leave it installed past its version for good.
    const std::optional<FileDigest> installed = InstalledDigest(folder, due.entry);
    if (!installed) throw UpdateFailure(texts::CannotRead(Printable(due.entry)));
    if (std::find(due.contents.begin(), due.contents.end(), *installed) == due.contents.end())
        return std::nullopt;
    return installed;
}

void PlanRemovals(GameFolder& folder, const std::vector<DueRemoval>& due, StagingRecord& staging,
                  const IsListed& isListed, InstallPlan& plan) {
    for (const DueRemoval& removal : due) {
        if (const std::optional<FileDigest> content = RemovableContent(folder, removal)) {
            // A staged name nothing is written under: its tag names the backup.
            const std::string backup = BackupName(staging.NewStagedName(removal.entry, isListed));
            plan.removals.push_back({removal.entry, backup, *content});
        }
    }
}

// The pack's members by entry (UTF-8).
using PackMembers = std::unordered_map<std::string, const PackEntry*>;

// The jobs of the pack's parts, the plan's first, each staged beside the
// first entry it carries; a part an earlier run verified is taken instead.
PackMembers AddParts(InstallPlan& plan, const PackIndex& pack, StagingRecord& staging,
                     const IsListed& isListed) {
    PackMembers members;
    std::vector<std::string> first(pack.parts.size());
    for (const PackEntry& entry : pack.entries) {
        if (entry.way != PackEntry::Way::Delta && entry.way != PackEntry::Way::Object) continue;
        std::string name = AnsiToUtf8(entry.entry);
        if (first[entry.part].empty()) first[entry.part] = name;
        members.emplace(std::move(name), &entry);
    }
    for (std::size_t k = 0; k < pack.parts.size(); ++k) {
        InstallPlan::Part& part = plan.parts.emplace_back();
        part.digest = pack.parts[k];
        if (first[k].empty()) continue;  // carries nothing
        if (std::optional<std::string> kept = staging.TakeVerified(first[k], part.digest)) {
            part.staged = std::move(*kept);
            continue;
        }
        DownloadJob job;
        job.remote = PackPartName(pack.from, pack.to, k);
        job.entry = first[k];
        job.optional = true;
        job.expectedSize = part.digest.size;
        job.check = MakeDigestCheck(part.digest);
        job.staged = part.staged = staging.NewStagedName(first[k], isListed);
        part.job = plan.jobs.size();
        plan.partOfJob.push_back(k);
        plan.placeOfJob.push_back(0);  // a part's progress goes to the places of its files
        plan.jobs.push_back(std::move(job));
    }
    return members;
}

// Parts whose files are all in place, or kept from an earlier run, are not
// fetched: their jobs go, and the jobs after them move up.
void DropIdleParts(InstallPlan& plan) {
    const std::size_t count = plan.partOfJob.size();
    std::vector<std::size_t> partOfJob;
    for (std::size_t k = 0; k < count; ++k) {
        InstallPlan::Part& part = plan.parts[plan.partOfJob[k]];
        if (part.members.empty()) {
            part.job.reset();
            continue;
        }
        part.job = partOfJob.size();
        if (*part.job != k) plan.jobs[*part.job] = std::move(plan.jobs[k]);
        partOfJob.push_back(plan.partOfJob[k]);
    }
    const std::size_t dropped = count - partOfJob.size();
    if (dropped == 0) return;
    const auto from = static_cast<std::ptrdiff_t>(partOfJob.size());
    plan.jobs.erase(plan.jobs.begin() + from,
                    plan.jobs.begin() + from + static_cast<std::ptrdiff_t>(dropped));
    plan.placeOfJob.erase(plan.placeOfJob.begin() + from,
                          plan.placeOfJob.begin() + from + static_cast<std::ptrdiff_t>(dropped));
    plan.partOfJob = std::move(partOfJob);
    for (auto& served : plan.patchedJobs) served.first -= dropped;
    for (PatchedFile& file : plan.patched) {
        if (const auto& packed = file.ways.front().packed) {
            file.jobs.clear();
            if (const auto job = plan.parts[packed->part].job) file.jobs.push_back(*job);
        } else {
            for (std::size_t& job : file.jobs) job -= dropped;
        }
    }
}

// Plans one entry; the caller has already added it to the files shown.
class EntryPlanner {
public:
    EntryPlanner(GameFolder& folder, const IsListed& isListed, StagingRecord& staging,
                 const RepositoryTrust& trust, InstallPlan& plan, const PackMembers& members)
        : folder_(folder),
          isListed_(isListed),
          staging_(staging),
          trust_(trust),
          plan_(plan),
          members_(members) {}

    // The files the update removes: they are not fetched, and what they
    // hold is copied where another name needs it.
    void Removing(const std::vector<DueRemoval>& due) {
        for (const DueRemoval& removal : due) dropped_.insert(FileSystemSpelling(removal.entry));
        for (const PlannedRemoval& removal : plan_.removals)
            held_.emplace(removal.content.sha256, removal.entry);
    }

    void Plan(const std::string& entry) {
        const std::size_t place = plan_.numbers.size() - 1;
        DownloadJob job;
        std::vector<FileWay> ways;
        if (!dropped_.empty() && dropped_.contains(FileSystemSpelling(entry))) {
            plan_.inPlace.push_back(place);
            return;
        }
        if (const auto member = members_.find(entry); member != members_.end()) {
            PlanMember(entry, *member->second, place);
            return;
        }
        if (trust_.Enabled()) {
            const FileDigest expected = trust_.Expected(entry);
            // Already installed exactly as signed: a run cut short after
            // thousands of files does not fetch them again. The installed
            // copy is read whole only when a delta could start from it.
            std::optional<Sha256Digest> installed;
            if (trust_.Offer().HasDeltasTo(expected.sha256)) {
                const auto digest = InstalledDigest(folder_, entry);
                if (digest == expected) {
                    plan_.inPlace.push_back(place);
                    return;
                }
                if (digest) installed = digest->sha256;
            } else if (HoldsContent(folder_, entry, expected, Links::Followed)) {
                plan_.inPlace.push_back(place);
                return;
            }
            if (UseVerifiedLeftover(entry, expected, place)) return;
            ways = WaysToFetch(trust_.Offer(), installed, expected, HeldElsewhere(entry, expected));
            job.expectedSize = expected.size;
            job.check = MakeDigestCheck(expected);
        }
        job.remote = RemoteFileName(entry);
        job.entryFrom = job.remote.size() - entry.size();
        const auto left = staging_.TakeLeftBody(entry);
        if (left && UseWholeLeftover(*left, entry, place)) return;
        if (!ways.empty() && ways.front().kind != FileWay::Kind::Whole) {
            // What an earlier run left of the whole file is not needed: it
            // stays on this run's record and goes at the end.
            plan_.patched.push_back(
                {place, entry, trust_.Expected(entry), std::move(ways), {}, {}, {}, {}, false});
            AddWayJobs(plan_, plan_.patched.size() - 1, staging_, isListed_);
            return;
        }
        if (left) {
            Resume(job, *left);
        } else {
            job.staged = staging_.NewStagedName(entry, isListed_);
        }
        plan_.placeOfJob.push_back(place);
        plan_.jobs.push_back(std::move(job));
    }

private:
    // A file the update removes that holds the entry's signed content.
    std::optional<std::string> HeldElsewhere(const std::string& entry, const FileDigest& expected) const {
        const auto held = held_.find(expected.sha256);
        if (held == held_.end() || held->second == entry) return std::nullopt;
        return held->second;
    }

    // A file a pack carries: rebuilt from its part, unless it is in place
    // already or an earlier run rebuilt it.
    void PlanMember(const std::string& entry, const PackEntry& member, std::size_t place) {
        const FileDigest expected = trust_.Expected(entry);
        if (HoldsContent(folder_, entry, expected, Links::Followed)) {
            plan_.inPlace.push_back(place);
            return;
        }
        if (UseVerifiedLeftover(entry, expected, place)) return;
        staging_.TakeLeftBody(entry);  // not needed: it goes at the end
        const PackedAt at{member.part, member.offset, member.length};
        plan_.patched.push_back({place,
                                 entry,
                                 expected,
                                 WaysThroughPack(expected, member.way == PackEntry::Way::Delta, at),
                                 {},
                                 {},
                                 {},
                                 {},
                                 false});
        AddWayJobs(plan_, plan_.patched.size() - 1, staging_, isListed_);
        plan_.parts[member.part].members.push_back(plan_.patched.size() - 1);
    }

    // A run that failed after rebuilding this file kept it, verified.
    bool UseVerifiedLeftover(const std::string& entry, const FileDigest& expected, std::size_t place) {
        std::optional<std::string> kept = staging_.TakeVerified(entry, expected);
        if (!kept) return false;
        plan_.inPlace.push_back(place);
        plan_.leftWhole.push_back({std::move(*kept), entry});
        return true;
    }

    // A killed run may have left this file whole: signed, it needs no
    // transfer at all, only its place in the commit. A link planted at the
    // staged name is never moved into the game: the file is fetched again.
    bool UseWholeLeftover(const LeftBody& left, const std::string& entry, std::size_t place) {
        if (!trust_.Enabled() || !HoldsSignedLeftover(folder_, left.staged, trust_.Expected(entry)))
            return false;
        plan_.inPlace.push_back(place);
        plan_.leftWhole.push_back({left.staged, entry});
        return true;
    }

    // Only a body whose answer had a validator and a total can be continued.
    void Resume(DownloadJob& job, const LeftBody& left) {
        job.staged = left.staged;
        const bool resumable = !left.validator.empty() && left.total >= 0;
        const Result<FileInfo> part = folder_.Inspect(job.staged, Links::Followed);
        job.resume = std::make_unique<ResumePoint>();
        job.resume->from = resumable && part.ok() && part->kind == FileKind::Regular ? part->size : 0;
        job.resume->validator = left.validator;
        job.resume->total = left.total;
    }

    GameFolder& folder_;
    const IsListed& isListed_;  // no staged name may be a listed entry
    StagingRecord& staging_;
    const RepositoryTrust& trust_;
    InstallPlan& plan_;
    std::set<std::string> dropped_;             // file-system spellings of the entries due for removal
    std::map<Sha256Digest, std::string> held_;  // content -> a file to remove that holds it
    const PackMembers& members_;
};

}  // namespace

InstallPlan PlanInstall(GameFolder& folder, const std::vector<std::string>& fileList,
                        const IsListed& isListed, StagingRecord& staging, const RepositoryTrust& trust,
                        const std::vector<DueRemoval>& due, const PackIndex* pack) {
    std::vector<std::size_t> positions;  // file list positions (from 0) of the files to fetch
    for (std::size_t k = 0; k < fileList.size(); ++k) {
        if (!IsBlankEntry(fileList[k])) positions.push_back(k);
    }
    CheckTargets(folder, fileList, positions);

    InstallPlan plan;
    plan.jobs.reserve(positions.size());
    plan.placeOfJob.reserve(positions.size());
    PlanRemovals(folder, due, staging, isListed, plan);
    const PackMembers members = pack ? AddParts(plan, *pack, staging, isListed) : PackMembers{};
    EntryPlanner planner(folder, isListed, staging, trust, plan, members);
    planner.Removing(due);
    for (const std::size_t k : positions) {
        plan.numbers.push_back(static_cast<std::int32_t>(k + 1));
        planner.Plan(fileList[k]);
    }
    DropIdleParts(plan);
    // A chain of deltas makes one copy at a time beside the result.
    std::uint64_t rebuilt = 0, largest = 0;
    for (const PatchedFile& file : plan.patched) {
        rebuilt += file.expected.size;
        if (file.ways.front().deltas.size() > 1) largest = std::max(largest, file.expected.size);
    }
    CheckFreeSpace(folder, plan.jobs, rebuilt + largest);
    return plan;
}

InstallPlan PlanRemovalsOnly(GameFolder& folder, const std::vector<DueRemoval>& due, StagingRecord& staging,
                             const IsListed& isListed) {
    InstallPlan plan;
    PlanRemovals(folder, due, staging, isListed, plan);
    return plan;
}

bool HoldsDroppedContent(GameFolder& folder, const DueRemoval& due) {
    return RemovableContent(folder, due).has_value();
}

InstallPlan PlanRepair(GameFolder& folder, const std::vector<std::string>& fileList,
                       const std::vector<std::size_t>& damaged, const IsListed& isListed,
                       StagingRecord& staging, const RepositoryTrust& trust,
                       const std::vector<DueRemoval>& due) {
    const std::vector<std::size_t> blocked = BlockedTargets(folder, fileList, damaged, false);
    InstallPlan plan = PlanRemovalsOnly(folder, due, staging, isListed);
    std::uint64_t rebuilt = 0;
    for (std::size_t i = 0, next = 0; i < damaged.size(); ++i) {
        const std::size_t k = damaged[i];
        if (next < blocked.size() && blocked[next] == i) {
            plan.blocked.push_back(k);
            ++next;
            continue;
        }
        const std::string& entry = fileList[k];
        plan.numbers.push_back(static_cast<std::int32_t>(k + 1));
        const FileDigest expected = trust.Expected(entry);
        // A body an earlier run left of it is not needed: it goes at the end.
        staging.TakeLeftBody(entry);
        if (std::optional<std::string> kept = staging.TakeVerified(entry, expected)) {
            plan.inPlace.push_back(plan.numbers.size() - 1);
            plan.leftWhole.push_back({std::move(*kept), entry});
            continue;
        }
        plan.patched.push_back({plan.numbers.size() - 1,
                                entry,
                                expected,
                                WaysToRepair(trust.Offer(), expected),
                                {},
                                {},
                                {},
                                {},
                                false});
        AddWayJobs(plan, plan.patched.size() - 1, staging, isListed);
        rebuilt += expected.size;
    }
    CheckFreeSpace(folder, plan.jobs, rebuilt);
    return plan;
}

namespace {

// A pack's member comes with its part, fetched once for every file it carries.
void TakePartWay(const InstallPlan& plan, PatchedFile& file, StagingRecord& staging,
                 const IsListed& isListed) {
    const InstallPlan::Part& part = plan.parts[file.ways.front().packed->part];
    file.artifacts.push_back(part.staged);
    file.steps.push_back(staging.NewStagedName(file.entry, isListed));
    if (part.job) file.jobs.push_back(*part.job);
}

}  // namespace

void AddWayJobs(InstallPlan& plan, std::size_t k, StagingRecord& staging, const IsListed& isListed) {
    PatchedFile& file = plan.patched[k];
    file.jobs.clear();
    file.artifacts.clear();
    file.steps.clear();
    file.result.clear();
    file.failed = false;
    const FileWay& way = file.ways.front();
    if (way.packed) return TakePartWay(plan, file, staging, isListed);
    const auto add = [&](DownloadJob job) {
        file.jobs.push_back(plan.jobs.size());
        plan.placeOfJob.push_back(file.place);
        plan.patchedJobs.emplace_back(plan.jobs.size(), k);
        plan.jobs.push_back(std::move(job));
    };
    const auto artifact = [&](std::string remote, const FileDigest& digest) {
        if (std::optional<std::string> kept = staging.TakeVerified(file.entry, digest)) {
            file.artifacts.push_back(std::move(*kept));
            return;
        }
        DownloadJob job;
        job.remote = std::move(remote);
        job.entry = file.entry;
        job.optional = true;
        job.expectedSize = digest.size;
        job.check = MakeDigestCheck(digest);
        job.staged = staging.NewStagedName(file.entry, isListed);
        file.artifacts.push_back(job.staged);
        add(std::move(job));
    };
    switch (way.kind) {
        case FileWay::Kind::Local:
            break;
        case FileWay::Kind::Deltas:
            for (const PatchDelta& delta : way.deltas) {
                artifact(DeltaName(delta.from, delta.to), delta.delta);
                file.steps.push_back(staging.NewStagedName(file.entry, isListed));
            }
            break;
        case FileWay::Kind::Object:
            artifact(ObjectName(file.expected.sha256), way.object);
            break;
        case FileWay::Kind::Whole: {
            // The last way: its failure stops the run, as any file's does.
            DownloadJob job;
            job.remote = RemoteFileName(file.entry);
            job.entryFrom = job.remote.size() - file.entry.size();
            job.expectedSize = file.expected.size;
            job.check = MakeDigestCheck(file.expected);
            job.staged = staging.NewStagedName(file.entry, isListed);
            file.result = job.staged;
            add(std::move(job));
            break;
        }
    }
    // A copy or an object is made in one step.
    if (way.kind == FileWay::Kind::Local || way.kind == FileWay::Kind::Object) {
        file.steps.push_back(staging.NewStagedName(file.entry, isListed));
    }
}

std::optional<FileDigest> ArtifactDigest(const InstallPlan& plan, std::size_t k, const std::string& staged) {
    if (const auto part = plan.PartOfJob(k)) return plan.parts[*part].digest;
    const std::optional<std::size_t> patched = plan.PatchedOfJob(k);
    if (!patched) return std::nullopt;
    const PatchedFile& file = plan.patched[*patched];
    const FileWay& way = file.ways.front();
    // One artifact for each delta, in order, whether fetched or taken.
    const auto at = std::find(file.artifacts.begin(), file.artifacts.end(), staged);
    if (at == file.artifacts.end() || way.kind == FileWay::Kind::Whole) return std::nullopt;
    if (way.kind == FileWay::Kind::Object) return way.object;
    return way.deltas[static_cast<std::size_t>(at - file.artifacts.begin())].delta;
}

void RecheckLeftovers(GameFolder& folder, const InstallPlan& plan, const RepositoryTrust& trust) {
    for (const auto& [staged, entry] : plan.leftWhole) {
        if (!HoldsSignedLeftover(folder, staged, trust.Expected(entry))) {
            throw UpdateFailure(texts::Altered(Printable(entry)));
        }
    }
}

std::optional<std::size_t> InstallPlan::PatchedOfJob(std::size_t k) const {
    const auto it = std::lower_bound(patchedJobs.begin(), patchedJobs.end(), k,
                                     [](const auto& served, std::size_t job) { return served.first < job; });
    if (it == patchedJobs.end() || it->first != k) return std::nullopt;
    return it->second;
}

std::optional<std::size_t> InstallPlan::PartOfJob(std::size_t k) const {
    if (k < partOfJob.size()) return partOfJob[k];
    return std::nullopt;
}

std::vector<CommitMove> CommitMoves(const InstallPlan& plan) {
    std::vector<CommitMove> moves;
    moves.reserve(plan.removals.size() + plan.jobs.size() + plan.leftWhole.size());
    for (const PlannedRemoval& removal : plan.removals) moves.push_back({{}, removal.entry, removal.backup});
    for (const auto& [staged, entry] : plan.leftWhole) moves.push_back({staged, entry, BackupName(staged)});
    for (std::size_t k = 0; k < plan.jobs.size(); ++k) {
        if (plan.PatchedOfJob(k) || plan.PartOfJob(k)) continue;
        const DownloadJob& job = plan.jobs[k];
        moves.push_back({job.staged, std::string(job.Local()), BackupName(job.staged)});
    }
    for (const PatchedFile& file : plan.patched) {
        moves.push_back({file.result, file.entry, BackupName(file.result)});
    }
    return moves;
}

void RecheckRemovals(GameFolder& folder, InstallPlan& plan) {
    std::erase_if(plan.removals, [&](const PlannedRemoval& removal) {
        return RemovableContent(folder, {removal.entry, {removal.content}}) != removal.content;
    });
}
