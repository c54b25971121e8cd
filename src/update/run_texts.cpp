#include "update/run_texts.h"

#include <algorithm>

#include "failure.h"
#include "player_texts.h"
#include "update/formats/repository.h"

void ShowSearching(UpdateView& view) {
    view.SetText(L2, texts::Searching());
}

void ShowCheckingVersions(UpdateView& view) {
    view.SetText(L2, texts::CheckingVersions());
}

void ShowFetched(UpdateView& view, const std::string& name) {
    view.SetText(L3, texts::Fetched(name));
}

void ShowNoFileYet(UpdateView& view) {
    if (view.Text(Label4) != texts::Percent(0)) view.SetText(Label4, texts::Percent(0));
}

void ShowAllArrived(UpdateView& view) {
    if (view.Text(Label4) != texts::Percent(100)) view.SetText(Label4, texts::Percent(100));
}

void ShowUpdated(UpdateView& view, std::int16_t version) {
    view.SetText(L2, texts::UpdatedTo(version));
    view.SetText(L3, texts::DownloadFinished());
}

void ShowUpToDate(UpdateView& view) {
    view.SetText(L2, texts::UpToDate());
    view.SetText(L3, "");
    view.SetText(Label4, texts::Percent(100));
}

void ShowCheckingFiles(UpdateView& view, std::size_t done, std::size_t total) {
    view.SetText(L2, texts::CheckingFiles(done, total));
    view.SetText(L3, "");
    view.SetText(Label4, texts::Percent(static_cast<int>(total ? done * 100 / total : 100)));
}

void ShowRepaired(UpdateView& view, std::size_t replaced) {
    view.SetText(L2, replaced ? texts::RepairFinished() : texts::AllFilesIntact());
    view.SetText(L3, replaced ? texts::FilesReplaced(replaced) : "");
    view.SetText(Label4, texts::Percent(100));
}

void ShowFailure(UpdateView& view, const std::string& reason) {
    if (view.Unloaded()) return;
    view.Show();
    view.SetText(L2, texts::UpdateFailed());
    view.SetText(L3, reason);
}

void StopIfClosed(const UpdateView& view) {
    if (view.Unloaded()) throw RunCancelled();
}

void WindowListener::ServerBusy(int secondsLeft) {
    view_.SetText(L3, texts::ServerBusy(secondsLeft));
}

void WindowListener::Idle() {
    view_.ProcessEvents();
    StopIfClosed(view_);
}

void WindowListener::Pause(double seconds) {
    view_.WaitEvents(seconds);
    StopIfClosed(view_);
}

void TextTransferTexts::Progress(std::size_t, std::uint64_t done, std::int64_t total) {
    if (total <= 0) return;
    const int percent = TransferPercent(done, static_cast<std::uint64_t>(total));
    if (percent == shown_) return;
    shown_ = percent;
    view_.SetText(Label4, texts::Percent(percent));
}

void TextTransferTexts::Finished(std::size_t) {
    if (shown_ != 100) view_.SetText(Label4, texts::Percent(100));
    shown_ = 100;
}

FileTexts::FileTexts(UpdateView& view, const std::vector<std::int32_t>& numbers,
                     const std::vector<std::string>& fileList, std::int32_t fileCount, bool oneAtATime)
    : WindowListener(view),
      numbers_(numbers),
      fileList_(fileList),
      fileCount_(fileCount),
      finished_(numbers_.size(), false),
      fraction_(numbers_.size(), 0.0),
      oneAtATime_(oneAtATime) {}

void FileTexts::Start() {
    view_.SetText(L2, "");
    // Blank entries count in the numbering but have nothing to fetch.
    if (!numbers_.empty()) ShowHead();
}

void FileTexts::ShowHead() {
    while (head_ < numbers_.size() && finished_[head_]) {
        if (headShown_) ShowFetched(view_, RemoteFileName(EntryAt(head_)));
        headShown_ = false;
        ++head_;
    }
    if (head_ >= numbers_.size() || headShown_) return;
    ShowCounter();
    headShown_ = true;
}

void FileTexts::MarkFinished(std::size_t place) {
    finished_[place] = true;
    SetFraction(place, 1.0);
}

void FileTexts::Progress(std::size_t place, std::uint64_t done, std::int64_t total) {
    if (total > 0) SetFraction(place, std::min(1.0, static_cast<double>(done) / static_cast<double>(total)));
    if (busy_) {
        busy_ = false;
        ShowCounter();
    }
    if (oneAtATime_) {
        if (place == head_ && total > 0)
            ShowPercent(TransferPercent(done, static_cast<std::uint64_t>(total)));
        return;
    }
    ShowOverall();
}

void FileTexts::Finished(std::size_t place) {
    MarkFinished(place);
    if (oneAtATime_ && place == head_) ShowPercent(100);
    if (!oneAtATime_) ShowOverall();
    ShowHead();
}

void FileTexts::ServerBusy(int secondsLeft) {
    busy_ = true;
    WindowListener::ServerBusy(secondsLeft);
}

void FileTexts::ShowCounter() {
    if (head_ >= numbers_.size()) return;
    view_.SetText(L2, texts::Downloading(EntryAt(head_)));
    view_.SetText(L3, texts::FileCounter(numbers_[head_], fileCount_));
}

void FileTexts::ShowShareDone() {
    ShowPercent(SharePercent());
}

int FileTexts::SharePercent() const {
    return numbers_.empty() ? 100 : static_cast<int>(arrived_ * 100.0 / static_cast<double>(numbers_.size()));
}

const std::string& FileTexts::EntryAt(std::size_t place) const {
    return fileList_[static_cast<std::size_t>(numbers_[place] - 1)];
}

void FileTexts::ShowOverall() {
    ShowPercent(std::max(SharePercent(), shown_));
}

// Kept as a running sum: thousands of files report many times each.
void FileTexts::SetFraction(std::size_t place, double fraction) {
    arrived_ += fraction - fraction_[place];
    fraction_[place] = fraction;
}

void FileTexts::ShowPercent(int percent) {
    if (percent == shown_) return;
    shown_ = percent;
    view_.SetText(Label4, texts::Percent(percent));
}
