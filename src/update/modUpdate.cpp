#include "update/modUpdate.h"

#include <algorithm>
#include <functional>
#include <set>
#include <system_error>
#include <unordered_set>

#include "failure.h"
#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "storage/storage.h"
#include "transfer/download.h"
#include "update/repository.h"
#include "update/staging.h"
#include "update/trust.h"

#ifndef PARALLEL_TRANSFERS
#define PARALLEL_TRANSFERS 8
#endif
#ifndef UPDATE_PUBLIC_KEY
#define UPDATE_PUBLIC_KEY ""
#endif
#ifndef UPDATE_CA_FILE
#define UPDATE_CA_FILE ""
#endif

std::int16_t CurrentVersion = 0;
std::int16_t NewestVersion = 0;
std::vector<std::int16_t> NewVersions;
std::vector<std::string> FileList;
std::int32_t FileCount = 0;
std::string RepositoryUrls = UPDATE_URL;
std::string CertificateAuthorities = UPDATE_CA_FILE;
int ParallelTransfers = PARALLEL_TRANSFERS;
std::string PublicKeys = UPDATE_PUBLIC_KEY;

namespace {

// Hashes and compares FileList entries by position, so that the membership
// test costs no second copy of every entry.
struct EntryHash {
    std::size_t operator()(std::size_t k) const { return std::hash<std::string>()(FileList[k]); }
};
struct EntryEqual {
    bool operator()(std::size_t a, std::size_t b) const { return FileList[a] == FileList[b]; }
};
std::unordered_set<std::size_t, EntryHash, EntryEqual> listedEntries;

std::int16_t InstalledVersion() {
    const std::string text = ReadIni(SettingsFile(), "VERSION", "Game");
    const auto version = ToVersion(LeadingNumber(text));
    if (!version) throw UpdateFailure("Version invalide: " + Printable(text) + ".");
    return *version;
}

void Record(const std::string& section, const std::string& key, const std::string& value) {
    if (!WriteIni(section, key, value, SettingsFile())) {
        throw UpdateFailure(std::string("Impossible d'écrire ") + kSettingsName + ".");
    }
}

void StopIfClosed() {
    if (frmUpdate->Unloaded()) throw RunCancelled();
}

// What every transfer of the run does with the window while it waits.
class WindowListener : public DownloadListener {
public:
    void ServerBusy(int secondsLeft) override {
        frmUpdate->SetText(L3, "Serveur occupé, nouvel essai dans " + std::to_string(secondsLeft) + " s...");
    }

    void Idle() override {
        frmUpdate->ProcessEvents();
        StopIfClosed();
    }

    void Pause(double seconds) override {
        frmUpdate->WaitEvents(seconds);
        StopIfClosed();
    }
};

// What the player sees while files arrive. The run owns the texts; the
// transfers only say how far each file is.
class RunTexts : public WindowListener {
public:
    // `entries` are the files of the jobs, in list order; `positions` their
    // numbers in FileList (from 1).
    RunTexts(std::vector<std::string> remotes, std::vector<std::int32_t> positions, bool oneAtATime)
        : remotes_(std::move(remotes)),
          positions_(std::move(positions)),
          finished_(remotes_.size(), false),
          fraction_(remotes_.size(), 0.0),
          oneAtATime_(oneAtATime) {}

    // Shows the first file that is not finished, as one transfer at a time would.
    void ShowHead() {
        while (head_ < remotes_.size() && finished_[head_]) {
            if (headShown_) frmUpdate->SetText(L3, "Téléchargement " + remotes_[head_] + "!");
            headShown_ = false;
            ++head_;
        }
        if (head_ >= remotes_.size() || headShown_) return;
        ShowCounter();
        headShown_ = true;
    }

    void Progress(std::size_t job, std::uint64_t done, std::int64_t total) override {
        if (total > 0)
            SetFraction(job, std::min(1.0, static_cast<double>(done) / static_cast<double>(total)));
        if (busy_) {
            busy_ = false;
            ShowCounter();
        }
        if (oneAtATime_) {
            if (job == head_ && total > 0)
                ShowPercent(TransferPercent(done, static_cast<std::uint64_t>(total)));
            return;
        }
        ShowOverall();
    }

    void Finished(std::size_t job) override {
        if (!finished_[job]) ++finishedCount_;
        finished_[job] = true;
        SetFraction(job, 1.0);
        if (oneAtATime_ && job == head_) ShowPercent(100);
        if (!oneAtATime_) ShowOverall();
        ShowHead();
    }

    void Resumable(std::size_t job, const std::string& validator) override {
        if (onResumable_) onResumable_(job, validator);
    }

    void Idle() override {
        if (onIdle_) onIdle_();
        WindowListener::Idle();
    }

    void ServerBusy(int secondsLeft) override {
        busy_ = true;
        WindowListener::ServerBusy(secondsLeft);
    }

    void OnResumable(std::function<void(std::size_t, const std::string&)> action) {
        onResumable_ = std::move(action);
    }
    void OnIdle(std::function<void()> action) { onIdle_ = std::move(action); }
    void MarkFinished(std::size_t job) {
        if (!finished_[job]) ++finishedCount_;
        finished_[job] = true;
        SetFraction(job, 1.0);
    }

private:
    void ShowCounter() {
        if (head_ >= remotes_.size()) return;
        const std::string& entry = FileList[static_cast<std::size_t>(positions_[head_] - 1)];
        frmUpdate->SetText(L2, "Téléchargement de " + entry + "...");
        frmUpdate->SetText(L3, "Fichier de téléchargement: " + std::to_string(positions_[head_]) + " sur " +
                                   std::to_string(FileCount));
    }

    // Several files at once: the share of the whole that has arrived, which
    // never moves backwards.
    void ShowOverall() {
        const int percent = remotes_.empty()
                                ? 100
                                : static_cast<int>(arrived_ * 100.0 / static_cast<double>(remotes_.size()));
        ShowPercent(std::max(percent, shown_));
    }

    // Kept as a running sum: thousands of files report many times each.
    void SetFraction(std::size_t job, double fraction) {
        arrived_ += fraction - fraction_[job];
        fraction_[job] = fraction;
    }

    void ShowPercent(int percent) {
        if (percent == shown_) return;
        shown_ = percent;
        frmUpdate->SetText(Label4, std::to_string(percent) + "%");
    }

    std::vector<std::string> remotes_;
    std::vector<std::int32_t> positions_;
    std::vector<bool> finished_;
    std::vector<double> fraction_;
    double arrived_ = 0;  // the sum of fraction_
    std::size_t finishedCount_ = 0;
    bool oneAtATime_;
    std::size_t head_ = 0;
    bool headShown_ = false;
    bool busy_ = false;
    int shown_ = -1;
    std::function<void(std::size_t, const std::string&)> onResumable_;
    std::function<void()> onIdle_;
};

// The index and the lists: the percentage while they arrive, then the
// completion text, as for any transfer.
class TextTransfer : public WindowListener {
public:
    void Progress(std::size_t, std::uint64_t done, std::int64_t total) override {
        if (total <= 0) return;
        const int percent = TransferPercent(done, static_cast<std::uint64_t>(total));
        if (percent == shown_) return;
        shown_ = percent;
        frmUpdate->SetText(Label4, std::to_string(percent) + "%");
    }
    void Finished(std::size_t) override {
        if (shown_ != 100) frmUpdate->SetText(Label4, "100%");
        shown_ = 100;
    }
    void Resumable(std::size_t, const std::string&) override {}

private:
    int shown_ = -1;
};

// Small repository files, at once when the build fetches several files at
// once; each is then shown as fetched, in order.
std::vector<std::string> FetchRepositoryTexts(Downloader& downloader,
                                              const std::vector<std::pair<std::string, std::size_t>>& files) {
    TextTransfer texts;
    std::vector<std::string> bodies = downloader.FetchTexts(files, texts);
    frmUpdate->ProcessEvents();
    StopIfClosed();
    for (const auto& [name, limit] : files) frmUpdate->SetText(L3, "Téléchargement " + name + "!");
    return bodies;
}

std::string FetchRepositoryText(Downloader& downloader, const std::string& name, std::size_t limit) {
    return FetchRepositoryTexts(downloader, {{name, limit}}).front();
}

void ReadIndex(const std::string& index) {
    const std::vector<IndexField> fields = ReadIndexFields(index);
    // A captive portal's page, a compressed body or an empty answer has no
    // version in it at all: that is not "up to date".
    if (std::none_of(fields.begin(), fields.end(),
                     [](const IndexField& f) { return HasLeadingNumber(f.text); })) {
        throw UpdateFailure(std::string("Index des versions illisible: ") + kIndexName + ".");
    }
    for (const IndexField& field : fields) {
        if (!(field.value > CurrentVersion)) continue;
        const auto version = ToVersion(field.value);
        if (!version) throw UpdateFailure("Version invalide: " + Printable(AnsiToUtf8(field.text)) + ".");
        NewVersions.push_back(*version);
        if (NewestVersion < *version) NewestVersion = *version;
    }
}

// Adds the entries of one list that are not listed yet (exact, case-sensitive
// comparison). Every entry is checked here, before the first game file is
// fetched, so a hostile list writes nothing.
void MergeList(const std::string& list) {
    ForEachListEntry(list, [](std::string_view line) {
        std::string entry = AnsiToUtf8(line);
        if (const auto problem = RefusedEntryReason(entry)) throw UpdateFailure(*problem);
        if (IsWorkingFileName(entry)) throw UpdateFailure("Chemin refusé: " + Printable(entry) + ".");
        if (FileList.size() >= kMostEntries) {
            throw UpdateFailure("Trop de fichiers: plus de " + std::to_string(kMostEntries) + ".");
        }
        FileList.push_back(std::move(entry));
        if (!listedEntries.insert(FileList.size() - 1).second) {
            FileList.pop_back();
            return;
        }
        ++FileCount;
    });
}

// Entries that the game folder cannot take as files are refused before any
// transfer: a folder where the file goes, a file where a folder must be, or
// an entry that another needs as its folder.
void CheckTargets(const std::vector<std::size_t>& jobs) {
    std::set<std::string> folders;
    std::set<std::string> checked;  // folders on the way already seen to be usable
    for (const std::size_t k : jobs) {
        const std::string& entry = FileList[k];
        for (std::size_t cut = entry.find_first_of("/\\"); cut != std::string::npos;
             cut = entry.find_first_of("/\\", cut + 1)) {
            folders.insert(entry.substr(0, cut));
        }
    }
    for (const std::size_t k : jobs) {
        const std::string& entry = FileList[k];
        const std::string refused = "Impossible d'écrire " + Printable(entry) + ".";
        std::string slashed = entry;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        if (folders.count(entry) || folders.count(slashed)) throw UpdateFailure(refused);
        std::error_code error;
        if (std::filesystem::is_directory(LocalPath(entry), error)) throw UpdateFailure(refused);
        for (std::size_t cut = entry.find_first_of("/\\"); cut != std::string::npos;
             cut = entry.find_first_of("/\\", cut + 1)) {
            std::string folder = entry.substr(0, cut);
            if (checked.count(folder)) continue;
            const auto status = std::filesystem::status(LocalPath(folder), error);
            if (status.type() != std::filesystem::file_type::not_found &&
                !std::filesystem::is_directory(status)) {
                throw UpdateFailure(refused);
            }
            checked.insert(std::move(folder));
        }
    }
}

// Makes the folders of a local name such as data/maps/town.map; `ready`
// holds the folders this run already has.
void PrepareFolders(const std::string& local, std::set<std::string>& ready) {
    const auto last = local.find_last_of("/\\");
    if (last == std::string::npos) return;
    const std::string folder = ProgramFolder() + "\\" + local.substr(0, last);
    if (ready.count(folder)) return;
    try {
        if (IsFolder(folder) || CreatePath(folder)) {
            ready.insert(folder);
            return;
        }
    } catch (const std::system_error&) {
    }
    throw UpdateFailure("Impossible d'écrire " + Printable(local) + ".");
}

DownloadSettings Settings() {
    DownloadSettings settings;
    settings.mirrors = SplitMirrors(RepositoryUrls);
    settings.parallel = ParallelTransfers;
    settings.timeoutSeconds = TRANSFER_TIMEOUT_SECONDS;
    settings.retryPauseMs = RETRY_PAUSE_MS;
    settings.caFile = CertificateAuthorities;
    settings.wakeDescriptor = frmUpdate->EventDescriptor();
    return settings;
}

// Forwards the downloads' reports under the numbers the texts know them by:
// files already in place are not downloaded but still counted.
class MappedListener : public DownloadListener {
public:
    MappedListener(DownloadListener& inner, std::vector<std::size_t> numbers)
        : inner_(inner), numbers_(std::move(numbers)) {}
    void Progress(std::size_t job, std::uint64_t done, std::int64_t total) override {
        inner_.Progress(numbers_[job], done, total);
    }
    void Finished(std::size_t job) override { inner_.Finished(numbers_[job]); }
    void Resumable(std::size_t job, const std::string& validator) override {
        inner_.Resumable(job, validator);
    }
    void ServerBusy(int secondsLeft) override { inner_.ServerBusy(secondsLeft); }
    void Idle() override { inner_.Idle(); }
    void Pause(double seconds) override { inner_.Pause(seconds); }

private:
    DownloadListener& inner_;
    std::vector<std::size_t> numbers_;
};

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

void FetchAndInstall(Downloader& downloader, StagingRecord& staging, const RepositoryTrust& trust) {
    std::vector<std::size_t> positions;  // FileList positions (from 0) of the files to fetch
    for (std::size_t k = 0; k < FileList.size(); ++k) {
        if (!IsBlankEntry(FileList[k])) positions.push_back(k);
    }
    CheckTargets(positions);

    std::set<std::string> listed(FileList.begin(), FileList.end());
    std::set<std::string> folders;  // made or found by PrepareFolders
    std::vector<DownloadJob> jobs;
    std::vector<std::string> remotes;
    std::vector<std::int32_t> numbers;
    std::vector<std::size_t> textOf;                          // for each job, its place among the texts
    std::vector<std::size_t> inPlace;                         // places of files that need no transfer
    std::vector<std::pair<std::string, std::string>> staged;  // whole leftovers: staged name, entry
    jobs.reserve(positions.size());
    for (const std::size_t k : positions) {
        const std::string& entry = FileList[k];
        remotes.push_back(RemoteFileName(entry));
        numbers.push_back(static_cast<std::int32_t>(k + 1));
        DownloadJob job;
        if (trust.Enabled()) {
            const FileDigest expected = trust.Expected(entry);
            // Already installed exactly as signed: a run cut short after
            // thousands of files does not fetch them again.
            if (HoldsContent(entry, expected)) {
                inPlace.push_back(remotes.size() - 1);
                continue;
            }
            job.expectedSize = expected.size;
            job.check = MakeDigestCheck(expected);
        }
        PrepareFolders(entry, folders);
        job.remote = remotes.back();
        job.local = entry;
        if (const auto left = staging.TakeLeftBody(entry)) {
            // A killed run may have left this file whole: signed, it needs
            // no transfer at all, only its place in the commit.
            if (trust.Enabled() && HoldsContent(left->staged, trust.Expected(entry))) {
                inPlace.push_back(remotes.size() - 1);
                staged.push_back({left->staged, entry});
                continue;
            }
            std::error_code error;
            job.staged = LocalPath(left->staged);
            job.resumeFrom = left->validator.empty() ? 0 : std::filesystem::file_size(job.staged, error);
            if (error) job.resumeFrom = 0;
            job.validator = left->validator;
        } else {
            job.staged = LocalPath(staging.NewStagedName(entry, listed));
        }
        textOf.push_back(remotes.size() - 1);
        jobs.push_back(std::move(job));
    }
    CheckFreeSpace(jobs);
    staging.RemoveLeftovers();
    // Every staged name is on record before its file is made.
    staging.Flush();

    // Staged names relative to the game folder, for the record and the journal.
    const std::filesystem::path root = NativePath(ProgramFolder());
    const auto relative = [&](const DownloadJob& job) {
        const std::u8string name = job.staged.lexically_relative(root).generic_u8string();
        return std::string(name.begin(), name.end());
    };

    RunTexts texts(remotes, numbers, ParallelTransfers <= 1);
    texts.OnResumable([&](std::size_t job, const std::string& validator) {
        staging.RecordValidator(jobs[job].local, relative(jobs[job]), validator);
    });
    // Validators reach the record in batches, at the pace of window events:
    // a run killed meanwhile loses at most the last few, and those bodies are
    // fetched again from their start.
    texts.OnIdle([&] { staging.Flush(); });
    for (const std::size_t place : inPlace) texts.MarkFinished(place);
    frmUpdate->SetText(L2, "");
    // Blank entries count in the numbering but have nothing to fetch.
    if (!remotes.empty()) texts.ShowHead();
    MappedListener listener(texts, textOf);
    try {
        downloader.DownloadFiles(jobs, listener);
    } catch (const RunCancelled&) {
        staging.KeepPartials();
        throw;
    }
    // Every file is here, whatever the transfers last reported.
    if (frmUpdate->Text(Label4) != "100%") frmUpdate->SetText(Label4, "100%");

    std::vector<CommitMove> moves;
    moves.reserve(jobs.size() + staged.size());
    const auto addMove = [&](const std::string& name, const std::string& entry) {
        std::string backup = name;
        backup.replace(backup.rfind(".~upd-"), 6, ".~old-");
        moves.push_back({name, entry, backup});
    };
    for (const auto& [name, entry] : staged) addMove(name, entry);
    for (const DownloadJob& job : jobs) addMove(relative(job), job.local);
    CommitUpdate(moves, NewestVersion);
    for (const CommitMove& move : moves) staging.Forget(move.staged);
    staging.Close();
}

void ApplyUpdate(Downloader& downloader, StagingRecord& staging, RepositoryTrust& trust) {
    frmUpdate->SetText(L2, "Vérification des versions des fichiers...");
    // The lists (and their signed file metadata) come in batches fetched
    // at once, and are merged strictly in index order.
    const std::size_t batch = static_cast<std::size_t>(std::max(1, ParallelTransfers));
    for (std::size_t first = 0; first < NewVersions.size(); first += batch) {
        const std::size_t end = std::min(NewVersions.size(), first + batch);
        std::vector<std::pair<std::string, std::size_t>> names;
        for (std::size_t i = first; i < end; ++i) {
            names.emplace_back(ListName(NewVersions[i]), kLargestList);
            if (trust.Enabled())
                names.emplace_back(VersionMetadataName(NewVersions[i]), kLargestVersionMetadata);
        }
        // The files come next, as many at once as allowed: their connections
        // open while the lists arrive (a long list takes several round trips).
        if (end == NewVersions.size() && names.size() < batch) {
            downloader.Prepare(static_cast<int>(batch - names.size()));
        }
        const std::vector<std::string> texts = FetchRepositoryTexts(downloader, names);
        const std::size_t step = trust.Enabled() ? 2 : 1;
        for (std::size_t i = first; i < end; ++i) {
            const std::size_t at = (i - first) * step;
            if (trust.Enabled()) trust.CheckList(NewVersions[i], names[at].first, texts[at], texts[at + 1]);
            MergeList(texts[at]);
        }
    }
    FetchAndInstall(downloader, staging, trust);
    frmUpdate->SetText(L2, "Mise à jours à la version " + std::to_string(NewestVersion) + "!");
    frmUpdate->SetText(L3, "Téléchargement terminé!");
    Record("UPDATER", "Fin", "1");
}

}  // namespace

void RunUpdate() {
    FileCount = 0;
    FileList.clear();
    listedEntries.clear();
    NewVersions.clear();

    // One updater at a time in a game folder: a second one would fetch into
    // the same files and record a version the first one never finished.
    LockOutcome lockOutcome = LockOutcome::Unavailable;
    const std::unique_ptr<FolderLock> lock = LockFolder(LocalPath(kLockName), lockOutcome);
    if (lockOutcome == LockOutcome::Busy) {
        frmUpdate->Show();
        throw UpdateFailure("Une autre mise à jour est déjà en cours dans ce dossier.");
    }
    FinishPendingCommit();
    StagingRecord staging;

    if (!FileExists(kSettingsName)) Record("UPDATER", "Fin", " 0");
    RepositoryTrust trust(PublicKeys);
    Downloader downloader(Settings());
    if (FileExists(kSettingsName)) CurrentVersion = InstalledVersion();
    frmUpdate->Show();
    frmUpdate->SetText(L2, "Recherche des nouvelles...");
    const std::string index = FetchRepositoryText(downloader, kIndexName, kLargestIndex);
    trust.CheckIndex(index, [&](const std::vector<std::pair<std::string, std::size_t>>& files) {
        return FetchRepositoryTexts(downloader, files);
    });
    NewestVersion = CurrentVersion;
    ReadIndex(index);

    if (CurrentVersion < NewestVersion) {
        ApplyUpdate(downloader, staging, trust);
        trust.RecordSerial();
    } else {
        trust.RecordSerial();
        staging.RemoveLeftovers();
        staging.Close();
        frmUpdate->SetText(L2, "Tu as la dernière version!");
        frmUpdate->SetText(L3, "");
        frmUpdate->SetText(Label4, "100%");
        Record("UPDATER", "Fin", "1");
    }
    UpdateDone = true;
}
