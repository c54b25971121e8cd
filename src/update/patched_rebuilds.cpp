#include "update/patched_rebuilds.h"

#include <chrono>
#include <exception>
#include <utility>

#include "update/patch/patch_rebuild.h"
#include "update/run_texts.h"

namespace {

// How long the run waits for a rebuild before it handles the window's events.
constexpr auto kEventSlice = std::chrono::milliseconds(20);

}  // namespace

PatchedRebuilds::PatchedRebuilds(InstallPlan& plan, GameFolder& folder, MadeFolders& folders,
                                 StagingRecord& staging, IsListed isListed, RebuildQueue::Limits limits)
    : plan_(plan),
      folder_(folder),
      folders_(folders),
      staging_(staging),
      isListed_(std::move(isListed)),
      queue_(folder, limits) {}

void PatchedRebuilds::StartTaken() {
    for (std::size_t k = 0; k < plan_.patched.size(); ++k) {
        const PatchedFile& file = plan_.patched[k];
        // A pack's member is rebuilt from its part, by the part's rebuilds.
        if (file.jobs.empty() && file.result.empty() && !file.ways.front().packed) arrived_.push_back(k);
    }
}

void PatchedRebuilds::Arrived(std::size_t k) {
    const PatchedFile& file = plan_.patched[k];
    if (file.failed) {
        Fall(k);
    } else if (file.result.empty()) {  // not the whole file, which needs no rebuild
        arrived_.push_back(k);
    }
}

void PatchedRebuilds::Advance() {
    for (const RebuildQueue::Outcome& outcome : queue_.Take()) Settle(outcome);
    // A file rebuilt is on record once its delta is gone, and the bodies a
    // rebuild uses up are on record as verified before it starts: a run
    // killed meanwhile leaves either to the next.
    staging_.Flush();
    for (const std::size_t k : arrived_) {
        // A copy fetches nothing: its folder is made here, as transfers
        // make theirs, and never from a worker.
        const PatchedFile& file = plan_.patched[k];
        if (file.ways.front().kind == FileWay::Kind::Local) folders_.MakeFolderOf(file.entry).IgnoreError();
        queue_.Add(k, file);
    }
    arrived_.clear();
}

bool PatchedRebuilds::NextRound(UpdateView& view) {
    const std::size_t first = plan_.jobs.size();
    for (;;) {
        Advance();
        TakeNextWays();
        // A next way that an earlier run fetched needs only its rebuild.
        if (!arrived_.empty()) continue;
        if (plan_.jobs.size() > first) return true;
        if (queue_.Unfinished() == 0) return false;
        queue_.Wait(kEventSlice);
        view.ProcessEvents();
        StopIfClosed(view);
    }
}

void PatchedRebuilds::Stop() {
    queue_.Stop();
    for (const RebuildQueue::Outcome& outcome : queue_.Take()) {
        if (!outcome.error && outcome.rebuilt == Rebuilt::Done) KeepRebuilt(outcome.key, outcome.result);
    }
}

void PatchedRebuilds::Settle(const RebuildQueue::Outcome& outcome) {
    if (outcome.error) std::rethrow_exception(outcome.error);
    if (outcome.rebuilt == Rebuilt::Done) {
        KeepRebuilt(outcome.key, outcome.result);
    } else {
        Fall(outcome.key);
    }
}

// A run that fails later keeps the file for the next, which moves it in
// rather than rebuild it.
void PatchedRebuilds::KeepRebuilt(std::size_t k, const std::string& result) {
    PatchedFile& file = plan_.patched[k];
    file.result = result;
    DropWayFiles(folder_, file, true);
    staging_.RecordVerified(file.result, file.expected);
}

void PatchedRebuilds::Fall(std::size_t k) {
    PatchedFile& file = plan_.patched[k];
    DropWayFiles(folder_, file, false);
    file.result.clear();
    fallen_.push_back(k);
}

// Only between rounds: a round holds the plan's jobs apart while it runs.
void PatchedRebuilds::TakeNextWays() {
    for (const std::size_t k : fallen_) {
        PatchedFile& file = plan_.patched[k];
        file.ways.erase(file.ways.begin());
        AddWayJobs(plan_, k, staging_, isListed_);
        if (file.jobs.empty() && file.result.empty()) arrived_.push_back(k);
    }
    fallen_.clear();
}
