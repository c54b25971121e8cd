// What the window shows while a run works: the text of each stage and the
// progress of the transfers. The run's stages only say what happened; which
// field shows what, and when, is decided here (the words themselves are in
// player_texts.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/download.h"
#include "update/view.h"

// The texts of the stages.
void ShowSearching(UpdateView& view);
void ShowCheckingVersions(UpdateView& view);
// A small repository file (the index, a list, metadata) has arrived.
void ShowFetched(UpdateView& view, const std::string& name);
// The lists are read; no file of the update has arrived yet. The percentage
// shown is now that of the files, not of the lists.
void ShowNoFileYet(UpdateView& view);
// Every file of the update has arrived, whatever the transfers last reported.
void ShowAllArrived(UpdateView& view);
void ShowUpdated(UpdateView& view, std::int16_t version);
void ShowUpToDate(UpdateView& view);
// A repair: the installed files checked so far, then what it replaced.
void ShowCheckingFiles(UpdateView& view, std::size_t done, std::size_t total);
void ShowRepaired(UpdateView& view, std::size_t replaced);
// A run that stopped early leaves the window open with the reason, so the
// player sees why the game was not updated.
void ShowFailure(UpdateView& view, const std::string& reason);

// Throws RunCancelled once the player has closed the window.
void StopIfClosed(const UpdateView& view);

// What every transfer of the run does with the window while it waits.
class WindowListener : public DownloadListener {
public:
    explicit WindowListener(UpdateView& view) : view_(view) {}
    void ServerBusy(int secondsLeft) override;
    void Idle() override;
    void Pause(double seconds) override;

protected:
    UpdateView& view_;
};

// The index and the lists: the percentage while they arrive, then the
// completion text, as for any transfer.
class TextTransferTexts : public WindowListener {
public:
    using WindowListener::WindowListener;
    void Progress(std::size_t, std::uint64_t done, std::int64_t total) override;
    void Finished(std::size_t) override;
    void Resumable(std::size_t, const std::string&, std::int64_t) override {}

private:
    int shown_ = -1;
};

// What the player sees while game files arrive: the first file in list order
// that is not finished, its number, and the percentage (one file's at a
// time, or the share of all files that has arrived when several come at
// once, which never moves backwards). Files are known by their place among
// the files shown, in list order.
class FileTexts : public WindowListener {
public:
    // numbers: the files shown, in list order, by their numbers in fileList
    // (from 1); fileCount: the number shown after "sur".
    FileTexts(UpdateView& view, const std::vector<std::int32_t>& numbers,
              const std::vector<std::string>& fileList, std::int32_t fileCount, bool oneAtATime);

    // Clears the step's text and shows the first file to fetch.
    void Start();
    // The run stopped: the share of all files that has arrived, not the
    // percentage of the file or list shown last.
    void ShowShareDone();
    // Shows the first file that is not finished, as one transfer at a time would.
    void ShowHead();
    // The file needs no transfer: it counts as arrived.
    void MarkFinished(std::size_t place);

    void Progress(std::size_t place, std::uint64_t done, std::int64_t total) override;
    void Finished(std::size_t place) override;
    void Resumable(std::size_t, const std::string&, std::int64_t) override {}
    void ServerBusy(int secondsLeft) override;

private:
    void ShowCounter();
    int SharePercent() const;
    void ShowOverall();
    void SetFraction(std::size_t place, double fraction);
    void ShowPercent(int percent);

    const std::string& EntryAt(std::size_t place) const;

    const std::vector<std::int32_t>& numbers_;
    const std::vector<std::string>& fileList_;
    std::int32_t fileCount_;
    std::vector<bool> finished_;
    std::vector<double> fraction_;
    double arrived_ = 0;  // the sum of fraction_
    bool oneAtATime_;
    std::size_t head_ = 0;
    bool headShown_ = false;
    bool busy_ = false;
    int shown_ = -1;
};
