// The update run: from the installed version to the newest one published.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "storage/storage.h"
#include "transfer/download.h"
#include "update/removals.h"
#include "update/run_settings.h"
#include "update/trust/pack_index.h"
#include "update/view.h"

class Downloader;
class FileTexts;
class ListMerge;
class PatchedRebuilds;
class PartRebuilds;
class RepositoryTrust;
class StagingRecord;
struct InstallPlan;

// Reads the installed version, fetches the index and the lists of the newer
// versions, downloads every listed file into the game folder, records the
// newest version and the finish marker. Returns once the game is up to date;
// throws UpdateFailure or RunCancelled when it stops early, and the recorded
// version is then unchanged.
void RunUpdate(const RunSettings& settings, UpdateView& view, GameFolder& folder);

// One run and everything it holds, from the folder's lock to the recorded
// version. Run() reads as the list of its stages.
class UpdateRun {
public:
    UpdateRun(const RunSettings& settings, UpdateView& view, GameFolder& folder);
    ~UpdateRun();
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    void Run();

private:
    void LockGameFolder();
    void ReadInstalledVersion();
    void ConnectToRepository();
    void ReadRepository();
    void ReadMirror();
    std::vector<std::string> FetchTop();
    bool FetchPack();
    void FetchLists();
    void FetchMissingPatches(std::vector<std::int16_t> versions);
    void FetchMissingExtras();
    void TakeDrops();
    void WeighLeftDrops(const std::string& index);
    bool CarriesDropped(const PackIndex& index) const;
    void NoteDroppedListed(std::int16_t version, const std::string& list);
    InstallPlan PlanInstall();
    void FetchFiles(InstallPlan& plan);
    void FetchAndRebuild(InstallPlan& plan, FileTexts& texts);
    void FetchRound(InstallPlan& plan, std::size_t first, FileTexts& texts, PatchedRebuilds& rebuilds,
                    PartRebuilds* parts);
    void KeepRebuiltMembers(InstallPlan& plan, PatchedRebuilds& rebuilds);
    void Repair();
    std::vector<std::size_t> CheckInstalledFiles();
    void Commit(InstallPlan& plan);
    void FinishUpToDate();
    void RemoveDropped();
    void FinishUpdated();
    void RecordSerialAfterCommit();

    using TextRequests = std::vector<TextRequest>;
    // Small repository files, at once when the build fetches several files
    // at once; each is then shown as fetched, in order.
    std::vector<std::string> FetchTexts(const TextRequests& files);

    const RunSettings& settings_;
    UpdateView& view_;
    GameFolder& folder_;
    // Released last: nothing of the run may outlive it.
    std::unique_ptr<FolderLock> lock_;
    // The folders the staged files needed; those left empty go at the end.
    MadeFolders folders_;
    std::unique_ptr<StagingRecord> staging_;
    std::unique_ptr<RepositoryTrust> trust_;
    std::unique_ptr<Downloader> downloader_;

    std::int16_t CurrentVersion = 0;
    std::int16_t NewestVersion = 0;
    // Versions newer than the installed one, in index order.
    std::vector<std::int16_t> NewVersions;
    // Entries to download, each once, first occurrence first.
    std::vector<std::string> FileList;
    std::int32_t FileCount = 0;
    // Which entries FileList holds, to look them up.
    std::unique_ptr<ListMerge> listed_;
    // The signed drops the run weighs (entries in UTF-8): those of the newer
    // versions, and earlier ones whose file is still there; the lists'
    // entries that have their names, and the removals they make due.
    std::vector<RemovedEntry> drops_;
    std::vector<VersionEntries> droppedListed_;
    std::vector<DueRemoval> due_;
    // The pack the files come from, when one goes from CurrentVersion to NewestVersion.
    std::optional<PackIndex> pack_;
};
