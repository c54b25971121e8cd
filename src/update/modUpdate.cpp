#include "update/modUpdate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <iterator>
#include <set>
#include <thread>

#include "failure.h"
#include "player_texts.h"
#include "storage/storage.h"
#include "transfer/download.h"
#include "update/file_lists.h"
#include "update/formats/repository.h"
#include "update/install_plan.h"
#include "update/pack_source.h"
#include "update/patched_rebuilds.h"
#include "update/records/settings_record.h"
#include "update/records/staging.h"
#include "update/run_texts.h"
#include "update/trust/trust.h"

namespace {

constexpr std::size_t kVersionsAtOnce = 64;

DownloadSettings DownloadSettingsFor(const RunSettings& settings, const UpdateView& view,
                                     GameFolder& folder) {
    DownloadSettings download;
    download.mirrors = SplitMirrors(settings.repositoryUrls);
    download.parallel = settings.parallelTransfers;
    download.timeoutSeconds = settings.timeoutSeconds;
    download.answerTimeoutSeconds = settings.answerTimeoutSeconds;
    download.metadataDeadlineSeconds = settings.metadataDeadlineSeconds;
    download.retryPauseMs = settings.retryPauseMs;
    download.caFile = settings.caFile;
    download.wakeDescriptor = view.EventDescriptor();
    download.maxBytesPerSecond = BandwidthCap(folder);
    return download;
}

TrustSettings TrustSettingsOf(const RunSettings& settings) {
    return {settings.publicKeys, settings.releaseThreshold, settings.freshKeys, settings.channel};
}

// A part's files are rebuilt beside their targets, whose folders are made
// here, on the window's thread, as the transfers make theirs.
void HandOver(std::size_t part, PartRebuilds& rebuilds, MadeFolders& folders, const InstallPlan& plan) {
    for (const std::size_t member : plan.parts[part].members) {
        // A folder that cannot be made fails the rebuild, and the file falls
        // to its whole copy, whose transfer says why.
        folders.MakeFolderOf(plan.patched[member].steps.front()).IgnoreError();
    }
    rebuilds.Arrived(part);
}

// The game files' reports for one round of transfers (jobs from `first` in
// the plan): progress goes to the texts under the files' places among those
// shown (files already in place are counted but not fetched; a file fetched
// as several deltas is finished with its last), validators and verified
// compressed forms to the staging record, failures of a compressed form to
// the file that falls back, a patched file whose way has ended to its
// rebuild, and a pack's part to the rebuilds of the files it carries.
class FileFetchListener : public DownloadListener {
public:
    FileFetchListener(FileTexts& texts, StagingRecord& staging, InstallPlan& plan, PatchedRebuilds& rebuilds,
                      std::size_t first, const std::vector<DownloadJob>& jobs, PartRebuilds* parts,
                      MadeFolders& folders)
        : texts_(texts),
          staging_(staging),
          plan_(plan),
          rebuilds_(rebuilds),
          first_(first),
          jobs_(jobs),
          parts_(parts),
          folders_(folders),
          left_(plan.numbers.size(), 0) {
        for (std::size_t k = 0; k < jobs.size(); ++k) {
            if (!PartOf(k)) ++left_[PlaceOf(k)];
        }
    }

    // A part's progress is that of every file it carries.
    void Progress(std::size_t job, std::uint64_t done, std::int64_t total) override {
        if (const auto part = PartOf(job)) {
            for (const std::size_t member : plan_.parts[*part].members)
                texts_.Progress(plan_.patched[member].place, done, total);
            return;
        }
        texts_.Progress(PlaceOf(job), done, total);
    }
    void Finished(std::size_t job) override {
        const std::string& staged = jobs_[job].staged;
        if (const auto digest = ArtifactDigest(plan_, first_ + job, staged))
            staging_.RecordVerified(staged, *digest);
        if (const auto part = PartOf(job)) {
            for (const std::size_t member : plan_.parts[*part].members)
                texts_.Finished(plan_.patched[member].place);
            if (parts_) HandOver(*part, *parts_, folders_, plan_);
            return;
        }
        if (--left_[PlaceOf(job)] > 0) return;
        texts_.Finished(PlaceOf(job));
        if (const auto patched = plan_.PatchedOfJob(first_ + job)) rebuilds_.Arrived(*patched);
    }
    void Failed(std::size_t job) override {
        // The files of a part that failed take their next way once the
        // round is over.
        if (const auto part = PartOf(job)) {
            for (const std::size_t member : plan_.parts[*part].members) plan_.patched[member].failed = true;
            return;
        }
        const auto patched = plan_.PatchedOfJob(first_ + job);
        if (patched) plan_.patched[*patched].failed = true;
        if (--left_[PlaceOf(job)] == 0 && patched) rebuilds_.Arrived(*patched);
    }
    void Resumable(std::size_t job, const std::string& validator, std::int64_t total) override {
        staging_.RecordValidator(jobs_[job].staged, validator, total);
    }
    void ServerBusy(int secondsLeft) override { texts_.ServerBusy(secondsLeft); }
    // Validators reach the record in batches, at the pace of window events:
    // a run killed meanwhile loses at most the last few, and those bodies
    // are fetched again from their start. The rebuilds that ended are
    // taken at the same pace, and those whose way is on record start.
    void Idle() override {
        rebuilds_.Advance();
        texts_.Idle();
    }
    void Pause(double seconds) override { texts_.Pause(seconds); }

private:
    std::size_t PlaceOf(std::size_t job) const { return plan_.placeOfJob[first_ + job]; }
    std::optional<std::size_t> PartOf(std::size_t job) const { return plan_.PartOfJob(first_ + job); }

    FileTexts& texts_;
    StagingRecord& staging_;
    InstallPlan& plan_;
    PatchedRebuilds& rebuilds_;
    std::size_t first_;
    const std::vector<DownloadJob>& jobs_;
    PartRebuilds* parts_;
    MadeFolders& folders_;
    // Per place, the jobs of this round not finished: a few bytes a file,
    // for lists of a million files.
    std::vector<std::uint32_t> left_;
};

// A file whose way an earlier run fetched and verified whole needs no
// transfer: it counts as arrived.
void MarkWaysTaken(const InstallPlan& plan, FileTexts& texts) {
    for (const PatchedFile& file : plan.patched) {
        if (file.jobs.empty() && file.result.empty()) texts.MarkFinished(file.place);
    }
}

// Runs work on a worker thread while the window's thread keeps handling
// its events; a window closed meanwhile stops the work and is reported as
// usual. What the work throws is thrown here.
template <typename Result>
Result BesideWindow(UpdateView& view, const std::function<Result(const std::atomic<bool>&)>& work,
                    const std::function<void()>& meanwhile = {}) {
    std::atomic<bool> stop{false};
    std::promise<Result> promise;
    std::future<Result> future = promise.get_future();
    std::thread worker([&] {
        try {
            promise.set_value(work(stop));
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    });
    struct Joined {
        std::atomic<bool>& stop;
        std::thread& worker;
        ~Joined() {
            stop = true;
            worker.join();
        }
    } joined{stop, worker};
    while (future.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (meanwhile) meanwhile();
        view.ProcessEvents();
        StopIfClosed(view);
    }
    return future.get();
}

}  // namespace

void RunUpdate(const RunSettings& settings, UpdateView& view, GameFolder& folder) {
    UpdateRun run(settings, view, folder);
    run.Run();
}

UpdateRun::UpdateRun(const RunSettings& settings, UpdateView& view, GameFolder& folder)
    : settings_(settings), view_(view), folder_(folder), folders_(folder) {}

// The staged files a failed run leaves go first; then the folders made for
// them that are empty now.
UpdateRun::~UpdateRun() {
    downloader_.reset();
    staging_.reset();
    folders_.RemoveEmpty();
}

void UpdateRun::Run() {
    LockGameFolder();
    FinishPendingCommit(folder_);
    staging_ = std::make_unique<StagingRecord>(folder_);
    ReadInstalledVersion();
    ConnectToRepository();
    ReadRepository();
    if (settings_.repair) {
        Repair();
        return;
    }
    if (!(CurrentVersion < NewestVersion)) {
        FinishUpToDate();
        return;
    }
    ShowNoFileYet(view_);
    InstallPlan plan = PlanInstall();
    FetchFiles(plan);
    Commit(plan);
    FinishUpdated();
}

// What the repository holds, all from one mirror as far as it can serve
// it: a failure of any of its files there (a transfer, a signature, a
// digest, an expiry, a limit) reads it again from the next mirror, and only
// the last mirror's failure stops the run. A mirror that the transfers left
// on a failure of their own is read from its start before the next one.
void UpdateRun::ReadRepository() {
    while (true) {
        const std::size_t first = downloader_->Mirror();
        try {
            ReadMirror();
            return;
        } catch (const UpdateFailure&) {
            if (downloader_->Mirror() == first && !downloader_->NextMirror()) throw;
        }
    }
}

// The index and its signed metadata, then the lists of the versions the
// run needs: the newer ones, or for a repair those up to the installed one.
void UpdateRun::ReadMirror() {
    trust_ = std::make_unique<RepositoryTrust>(TrustSettingsOf(settings_), folder_);
    NewVersions.clear();
    FileList.clear();
    FileCount = 0;
    listed_.reset();
    drops_.clear();
    droppedListed_.clear();
    due_.clear();
    const std::vector<std::string> top = FetchTop();
    const std::string& index = top.front();
    trust_->CheckIndex(index, {top.begin() + 1, top.end()});
    FetchMissingExtras();
    if (settings_.repair) {
        for (const std::int16_t version : ReadNewerVersions(index, INT16_MIN).versions) {
            if (version <= CurrentVersion) NewVersions.push_back(version);
        }
        NewestVersion = CurrentVersion;
    } else {
        const NewerVersions newer = ReadNewerVersions(index, CurrentVersion);
        NewVersions = newer.versions;
        // Up to date, the run stays at the installed version.
        NewestVersion = std::max(newer.newest, CurrentVersion);
    }
    TakeDrops();
    if (settings_.repair || (CurrentVersion < NewestVersion && !FetchPack())) FetchLists();
    WeighLeftDrops(index);
    due_ = RemovalsDue(NewestVersion, drops_, droppedListed_);
}

// Extras that this mirror lacks, or serves altered or made for another
// release, are asked of the next mirrors (the run moves on to them, as for
// patch metadata): without them, files a version dropped would stay.
void UpdateRun::FetchMissingExtras() {
    while (trust_->Enabled() && !trust_->Extras() && downloader_->NextMirror())
        trust_->TakeExtras(FetchTexts(trust_->ExtrasRequests()));
}

// The files the versions up to the one the run ends at dropped, as the
// signed extras name them; an unsigned repository drops none.
void UpdateRun::TakeDrops() {
    const ReleaseExtras* extras = trust_->Extras();
    if (!extras) return;
    for (const RemovedEntry& drop : extras->removed) {
        if (drop.version <= NewestVersion)
            drops_.push_back({drop.version, drop.last, AnsiToUtf8(drop.entry)});
    }
}

// A file that a version up to the installed one dropped may still be there:
// an earlier run went on without the extras, or knew fewer of its contents.
// It goes now when it holds one of them and no version since its drop lists
// it again; the lists since the drop are read for such files only, and most
// runs read none. A repair has read every list up to the installed version.
void UpdateRun::WeighLeftDrops(const std::string& index) {
    if (settings_.repair) return;
    std::vector<RemovedEntry> earlier;
    for (const RemovedEntry& drop : drops_) {
        if (drop.version <= CurrentVersion) earlier.push_back(drop);
    }
    std::set<std::string> held;
    for (const DueRemoval& removal : RemovalsDue(CurrentVersion, earlier, {})) {
        if (HoldsDroppedContent(folder_, removal)) held.insert(removal.entry);
    }
    std::erase_if(drops_, [&](const RemovedEntry& drop) {
        return drop.version <= CurrentVersion && !held.contains(drop.entry);
    });
    if (held.empty()) return;
    std::int16_t earliest = CurrentVersion;
    for (const RemovedEntry& drop : drops_) earliest = std::min(earliest, drop.version);
    std::vector<std::int16_t> versions;
    for (const std::int16_t version : ReadNewerVersions(index, earliest).versions) {
        if (version <= CurrentVersion) versions.push_back(version);
    }
    for (std::size_t first = 0; first < versions.size(); first += kVersionsAtOnce) {
        const std::size_t end = std::min(versions.size(), first + kVersionsAtOnce);
        TextRequests names;
        for (std::size_t i = first; i < end; ++i)
            names.push_back(trust_->VersionRequests(versions[i]).front());
        const std::vector<std::string> texts = FetchTexts(names);
        for (std::size_t i = first; i < end; ++i) {
            trust_->CheckListAlone(versions[i], texts[i - first]);
            NoteDroppedListed(versions[i], texts[i - first]);
        }
    }
}

// A dropped entry that a list names again is not removed by that drop:
// the list's entries with such a name are kept aside (a few, not the list).
void UpdateRun::NoteDroppedListed(std::int16_t version, const std::string& list) {
    if (drops_.empty()) return;
    std::set<std::string> names;
    for (const RemovedEntry& drop : drops_) names.insert(FileSystemSpelling(drop.entry));
    VersionEntries listed{version, {}};
    ForEachListEntry(list, [&](std::string_view line) {
        std::string entry = AnsiToUtf8(line);
        if (names.contains(FileSystemSpelling(entry))) listed.entries.push_back(std::move(entry));
    });
    droppedListed_.push_back(std::move(listed));
}

// The installed version's files, each checked against the signed metadata
// of the newest version up to the installed one that lists it; those that
// differ, or are missing, are fetched again and put in place all at once,
// and the files versions up to the installed one dropped go as an update's
// do. The recorded version stays as it is.
void UpdateRun::Repair() {
    const std::vector<std::size_t> damaged = CheckInstalledFiles();
    if (damaged.empty()) {
        FinishUpToDate();
        ShowRepaired(view_, 0);
        return;
    }
    const IsListed isListed = [this](std::string_view name) { return listed_->Contains(name); };
    InstallPlan plan = ::PlanRepair(folder_, FileList, damaged, isListed, *staging_, *trust_, due_);
    staging_->RemoveLeftovers();
    staging_->Flush();
    // What can be repaired is, all at once, with the dropped files that go;
    // a file something is in the way of stays as it is, and the run names it.
    const std::size_t replaced = damaged.size() - plan.blocked.size();
    if (replaced > 0) FetchFiles(plan);
    if (replaced > 0 || !plan.removals.empty()) {
        Commit(plan);
        RecordSerialAfterCommit();
    }
    if (!plan.blocked.empty()) {
        throw UpdateFailure(texts::RepairBlocked(replaced, Printable(FileList[plan.blocked.front()]),
                                                 plan.blocked.size() - 1));
    }
    ShowRepaired(view_, replaced);
    RecordFinishMarker(folder_, "1");
}

// Reads every listed file once, off the window's thread: the positions in
// FileList of those that are not exactly as signed. A file a version up to
// the installed one dropped is not among them: it is never brought back.
std::vector<std::size_t> UpdateRun::CheckInstalledFiles() {
    std::set<std::string> dropped;
    for (const DueRemoval& removal : due_) dropped.insert(FileSystemSpelling(removal.entry));
    std::atomic<std::size_t> checked{0};
    const std::size_t total = FileList.size();
    ShowCheckingFiles(view_, 0, total);
    std::vector<std::size_t> found = BesideWindow<std::vector<std::size_t>>(
        view_,
        [&](const std::atomic<bool>& stop) {
            std::vector<std::size_t> damaged;
            for (std::size_t k = 0; k < total; ++k) {
                if (stop) throw RunCancelled();
                // A link at the name is damage, never read through: what it
                // leads to may lie outside the game folder.
                if (!IsBlankEntry(FileList[k]) && !dropped.contains(FileSystemSpelling(FileList[k])) &&
                    !HoldsContent(folder_, FileList[k], trust_->Expected(FileList[k]), Links::NotFollowed)) {
                    damaged.push_back(k);
                }
                checked = k + 1;
            }
            return damaged;
        },
        [&] { ShowCheckingFiles(view_, checked, total); });
    ShowCheckingFiles(view_, total, total);
    return found;
}

// One updater at a time in a game folder: a second one would fetch into the
// same files and record a version the first one never finished. A folder
// that cannot take the lock file (read-only media) cannot take an update
// either: the run goes on without the lock, and its first write says why.
void UpdateRun::LockGameFolder() {
    Result<std::unique_ptr<FolderLock>> locked = folder_.Lock(kLockName);
    if (locked.ok()) {
        lock_ = std::move(*locked);
    } else if (IsHeldElsewhere(locked.error())) {
        view_.Show();
        throw UpdateFailure(texts::AnotherUpdateRunning());
    }
}

// A folder without a settings file gets one, marked as not finished.
void UpdateRun::ReadInstalledVersion() {
    if (!folder_.FileExists(kSettingsName)) {
        RecordFinishMarker(folder_, " 0");
    } else {
        CurrentVersion = InstalledVersion(folder_);
    }
}

// The build's keys are read, and a repair, which needs signatures whatever a
// mirror serves, refused without them, before the first request; each mirror
// read then starts from a trust of its own.
void UpdateRun::ConnectToRepository() {
    trust_ = std::make_unique<RepositoryTrust>(TrustSettingsOf(settings_), folder_);
    if (settings_.repair && !trust_->Enabled()) {
        view_.Show();
        throw UpdateFailure(texts::RepairNeedsSignatures());
    }
    downloader_ = std::make_unique<Downloader>(DownloadSettingsFor(settings_, view_, folder_));
}

// The index and, for a signed repository, every metadata file whose name
// is known before it, at once: one round trip instead of three.
std::vector<std::string> UpdateRun::FetchTop() {
    view_.Show();
    ShowSearching(view_);
    TextRequests names = {{kIndexName, kLargestIndex, {}}};
    const TextRequests signedNames = trust_->TopRequests();
    names.insert(names.end(), signedNames.begin(), signedNames.end());
    return FetchTexts(names);
}

// The lists (and their signed file metadata) come in batches fetched at
// once, and are merged strictly in index order. A batch is as large as a
// player far behind needs: each batch waits for its slowest file, and the
// lists of a batch are held in memory together.
void UpdateRun::FetchLists() {
    ShowCheckingVersions(view_);
    listed_ = std::make_unique<ListMerge>(FileList, FileCount);
    const std::size_t connections = static_cast<std::size_t>(std::max(1, settings_.parallelTransfers));
    const std::size_t batch = std::max(connections, kVersionsAtOnce);
    std::vector<std::int16_t> withoutPatches;
    for (std::size_t first = 0; first < NewVersions.size(); first += batch) {
        const std::size_t end = std::min(NewVersions.size(), first + batch);
        TextRequests names;
        std::vector<std::size_t> starts;  // where each version's texts begin
        for (std::size_t i = first; i < end; ++i) {
            const TextRequests version = trust_->VersionRequests(NewVersions[i]);
            starts.push_back(names.size());
            names.insert(names.end(), version.begin(), version.end());
        }
        starts.push_back(names.size());
        // The files come next, as many at once as allowed: their connections
        // open while the lists arrive (a long list takes several round trips).
        if (end == NewVersions.size() && names.size() < connections) {
            downloader_->Prepare(static_cast<int>(connections - names.size()));
        }
        const std::vector<std::string> texts = FetchTexts(names);
        for (std::size_t i = first; i < end; ++i) {
            const std::size_t at = starts[i - first];
            const bool patches = trust_->CheckList(
                NewVersions[i], {texts.begin() + static_cast<std::ptrdiff_t>(at),
                                 texts.begin() + static_cast<std::ptrdiff_t>(starts[i - first + 1])});
            if (!patches) withoutPatches.push_back(NewVersions[i]);
            listed_->Add(texts[at]);
            NoteDroppedListed(NewVersions[i], texts[at]);
        }
    }
    FetchMissingPatches(std::move(withoutPatches));
}

// A pack from the installed version to the newest, when the release offers
// one: its index gives the file list and every file's signed digest, in
// place of every newer version's list and metadata. False when there is
// none, or this mirror's is missing or altered: the lists are read then.
bool UpdateRun::FetchPack() {
    pack_.reset();
    const PackOffer* offer = FindPack(trust_->Extras(), CurrentVersion, NewestVersion);
    if (!offer || offer->index.size > kLargestPackIndex) return false;
    ShowCheckingVersions(view_);
    const std::string name = PackIndexName(offer->from, offer->to);
    TextRequest request{name, static_cast<std::size_t>(offer->index.size), texts::BadSignature(name), true};
    std::optional<PackIndex> index = ReadPackIndex(*offer, FetchTexts({request}).front());
    // A mirror that lacks it, or has another, leaves the run to the next
    // ones, as for patch metadata; without any, the lists are read.
    while (!index && downloader_->NextMirror()) index = ReadPackIndex(*offer, FetchTexts({request}).front());
    if (!index || CarriesDropped(*index)) return false;
    listed_ = std::make_unique<ListMerge>(FileList, FileCount);
    for (const PackEntry& entry : index->entries) listed_->AddEntry(entry.entry);
    trust_->TakePackIndex(*index);
    // What the pack carries is listed again after any drop (see above), by
    // the newest version as far as the run can tell.
    if (!drops_.empty()) {
        std::string entries;
        for (const PackEntry& entry : index->entries) entries += entry.entry + "\r\n";
        NoteDroppedListed(NewestVersion, entries);
    }
    // Files too large for the pack travel as the version metadata says.
    if (std::any_of(index->entries.begin(), index->entries.end(),
                    [](const PackEntry& entry) { return entry.way == PackEntry::Way::Loose; })) {
        TextRequests names;
        std::vector<std::int16_t> versions;
        for (const std::int16_t version : NewVersions) {
            const TextRequests requests = trust_->VersionRequests(version);
            if (requests.size() < 3) continue;  // no patch metadata
            names.push_back(requests.back());
            versions.push_back(version);
        }
        const std::vector<std::string> texts = FetchTexts(names);
        for (std::size_t k = 0; k < versions.size(); ++k) trust_->TakePatches(versions[k], texts[k]);
    }
    pack_ = std::move(index);
    return true;
}

// A pack that may carry a file a version after the installed one dropped
// (removals.h) is set aside for the lists.
bool UpdateRun::CarriesDropped(const PackIndex& index) const {
    if (std::none_of(drops_.begin(), drops_.end(),
                     [&](const RemovedEntry& drop) { return drop.version > CurrentVersion; }))
        return false;
    std::vector<PackEntry> named = index.entries;
    for (PackEntry& entry : named) entry.entry = AnsiToUtf8(entry.entry);
    return PackCarriesDropped(CurrentVersion, drops_, named);
}

// A version's patch metadata that the mirror does not have, or has altered,
// is asked of the next mirrors (the run moves on to them); when none has it,
// the version's files come whole, as before patches existed.
void UpdateRun::FetchMissingPatches(std::vector<std::int16_t> versions) {
    while (!versions.empty() && downloader_->NextMirror()) {
        TextRequests names;
        for (const std::int16_t version : versions) names.push_back(trust_->VersionRequests(version).back());
        const std::vector<std::string> texts = FetchTexts(names);
        std::vector<std::int16_t> missing;
        for (std::size_t k = 0; k < versions.size(); ++k) {
            if (!trust_->TakePatches(versions[k], texts[k])) missing.push_back(versions[k]);
        }
        versions = std::move(missing);
    }
}

InstallPlan UpdateRun::PlanInstall() {
    const IsListed isListed = [this](std::string_view name) { return listed_->Contains(name); };
    InstallPlan plan =
        ::PlanInstall(folder_, FileList, isListed, *staging_, *trust_, due_, pack_ ? &*pack_ : nullptr);
    staging_->RemoveLeftovers();
    // Every staged name is on record before its file is made.
    staging_->Flush();
    return plan;
}

void UpdateRun::FetchFiles(InstallPlan& plan) {
    FileTexts texts(view_, plan.numbers, FileList, FileCount, settings_.parallelTransfers <= 1);
    for (const std::size_t place : plan.inPlace) texts.MarkFinished(place);
    MarkWaysTaken(plan, texts);
    texts.Start();
    try {
        FetchAndRebuild(plan, texts);
    } catch (const RunCancelled&) {
        staging_->KeepPartials();
        throw;
    } catch (const UpdateFailure&) {
        texts.ShowShareDone();
        throw;
    }
    ShowAllArrived(view_);
}

// Files that came compressed or as deltas are rebuilt on workers as soon as
// their way has arrived, while the other files go on arriving; a way that
// fails gives way to the next, down to the whole file, in the next round.
// Whatever stops the run stops the rebuilds first.
void UpdateRun::FetchAndRebuild(InstallPlan& plan, FileTexts& texts) {
    const IsListed isListed = [this](std::string_view name) { return listed_->Contains(name); };
    PatchedRebuilds rebuilds(plan, folder_, folders_, *staging_, isListed, DefaultRebuildLimits());
    // The files of a pack's parts are rebuilt as each part arrives; parts
    // an earlier run verified are there already.
    std::optional<PartRebuilds> parts;
    if (!plan.parts.empty()) {
        parts.emplace(folder_, plan);
        for (std::size_t k = 0; k < plan.parts.size(); ++k) {
            if (!plan.parts[k].job && !plan.parts[k].members.empty()) HandOver(k, *parts, folders_, plan);
        }
    }
    try {
        rebuilds.StartTaken();
        std::size_t first = 0;
        while (true) {
            FetchRound(plan, first, texts, rebuilds, parts ? &*parts : nullptr);
            if (parts) {
                BesideWindow<bool>(view_, [&](const std::atomic<bool>& stop) {
                    parts->Drain(stop);
                    return true;
                });
                parts.reset();
                KeepRebuiltMembers(plan, rebuilds);
            }
            first = plan.jobs.size();
            if (!rebuilds.NextRound(view_)) break;
            MarkWaysTaken(plan, texts);
            staging_->Flush();
        }
    } catch (...) {
        parts.reset();
        rebuilds.Stop();
        throw;
    }
}

// What the parts rebuilt is kept for a run that fails later, which moves
// the files in rather than fetch the parts again; a file whose member did
// not rebuild takes its next way.
void UpdateRun::KeepRebuiltMembers(InstallPlan& plan, PatchedRebuilds& rebuilds) {
    for (const InstallPlan::Part& part : plan.parts) {
        for (const std::size_t member : part.members) {
            PatchedFile& file = plan.patched[member];
            if (!file.result.empty()) {
                staging_->RecordVerified(file.result, file.expected);
            } else {
                file.failed = true;
                rebuilds.Arrived(member);
            }
        }
    }
    staging_->Flush();
}

// The plan's jobs from `first` on, at once.
void UpdateRun::FetchRound(InstallPlan& plan, std::size_t first, FileTexts& texts, PatchedRebuilds& rebuilds,
                           PartRebuilds* parts) {
    // The first round takes the plan's jobs whole, not a copy beside them:
    // a list of a million files holds its jobs once.
    std::vector<DownloadJob> round;
    if (first == 0) {
        round.swap(plan.jobs);
    } else {
        round.assign(std::make_move_iterator(plan.jobs.begin() + static_cast<std::ptrdiff_t>(first)),
                     std::make_move_iterator(plan.jobs.end()));
        plan.jobs.resize(first);
    }
    FileFetchListener listener(texts, *staging_, plan, rebuilds, first, round, parts, folders_);
    const auto restore = [&] {
        if (plan.jobs.empty()) {
            plan.jobs.swap(round);
        } else {
            std::move(round.begin(), round.end(), std::back_inserter(plan.jobs));
        }
    };
    try {
        downloader_->DownloadFiles(round, listener, folder_, folders_);
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

void UpdateRun::Commit(InstallPlan& plan) {
    // The parts have served (every file they carry is rebuilt, or came
    // whole): they go before the commit, which a failure of the record may
    // leave with its staged files.
    for (const InstallPlan::Part& part : plan.parts) {
        if (!part.staged.empty()) folder_.Remove(part.staged).IgnoreError();
    }
    RecheckLeftovers(folder_, plan, *trust_);
    RecheckRemovals(folder_, plan);
    const std::vector<CommitMove> moves = CommitMoves(plan);
    CommitUpdate(folder_, moves, NewestVersion);
    staging_->Close();
}

void UpdateRun::FinishUpToDate() {
    // Nothing was installed: recording the serials is this run's work, and it
    // stops when it cannot.
    if (const IoStatus recorded = trust_->RecordSerial(); !recorded.ok())
        throw UpdateFailure(texts::WriteRefused(kSerialName, IsDiskFull(recorded)));
    staging_->RemoveLeftovers();
    RemoveDropped();
    ShowUpToDate(view_);
    RecordFinishMarker(folder_, "1");
}

// A run that installs nothing still removes the dropped files due, in one
// commit that keeps the version; then the staging record goes.
void UpdateRun::RemoveDropped() {
    const IsListed isListed = [this](std::string_view name) { return listed_ && listed_->Contains(name); };
    InstallPlan plan = PlanRemovalsOnly(folder_, due_, *staging_, isListed);
    if (plan.removals.empty()) {
        staging_->Close();
        return;
    }
    staging_->Flush();
    Commit(plan);
}

void UpdateRun::FinishUpdated() {
    RecordSerialAfterCommit();
    ShowUpdated(view_, NewestVersion);
    RecordFinishMarker(folder_, "1");
}

// Once the commit has put every file in place, the run has succeeded: a
// serial that cannot be written now (a full disk) is left for the next run,
// which finds the game up to date under the same release and records it
// then. Meanwhile the record keeps the serials accepted before, and any
// release older than those is still refused.
void UpdateRun::RecordSerialAfterCommit() {
    trust_->RecordSerial().IgnoreError();
}

std::vector<std::string> UpdateRun::FetchTexts(const TextRequests& files) {
    TextTransferTexts texts(view_);
    std::vector<std::string> bodies = downloader_->FetchTexts(files, texts);
    view_.ProcessEvents();
    StopIfClosed(view_);
    for (const TextRequest& file : files) ShowFetched(view_, file.name);
    return bodies;
}
