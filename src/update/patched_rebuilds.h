// The rebuilds of a plan's patched files, beside its transfers: a file is
// handed to the workers (rebuild_queue.h) as soon as every body of its way
// has arrived and is on record, while the other files go on arriving; a
// way that fails, in a transfer or in its rebuild, gives way to the file's
// next one, whose jobs join the next round of transfers. All of it runs on
// the run's thread: the plan, the staging record and the window are never
// touched from a worker.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "update/install_plan.h"
#include "update/rebuild_queue.h"
#include "update/records/staging.h"
#include "update/view.h"

class PatchedRebuilds {
public:
    PatchedRebuilds(InstallPlan& plan, GameFolder& folder, MadeFolders& folders, StagingRecord& staging,
                    IsListed isListed, RebuildQueue::Limits limits);

    // The files whose way an earlier run fetched and verified whole: they
    // need no transfer, only their rebuild.
    void StartTaken();
    // Every job of patched file k's way in this round has ended, finished
    // or failed.
    void Arrived(std::size_t k);
    // Now and then during a round: takes the rebuilds that ended (a file
    // rebuilt goes on record as verified; one whose rebuild failed waits for
    // the next round), writes the staging record, then hands over the ways
    // that arrived. Rethrows what a rebuild threw.
    void Advance();
    // Between rounds: the next way of each file whose way failed, its jobs
    // added to the plan; waits, handling the window's events, until a way
    // fails or every rebuild has ended. True when the plan has new jobs:
    // the rebuilds still under way end during the next round.
    bool NextRound(UpdateView& view);
    // The run stops: the rebuilds under way are cancelled, and those that
    // ended go on record, for the next run to move in rather than rebuild.
    void Stop();

private:
    void Settle(const RebuildQueue::Outcome& outcome);
    void KeepRebuilt(std::size_t k, const std::string& result);
    void Fall(std::size_t k);
    void TakeNextWays();

    InstallPlan& plan_;
    GameFolder& folder_;
    MadeFolders& folders_;
    StagingRecord& staging_;
    IsListed isListed_;
    RebuildQueue queue_;
    std::vector<std::size_t> arrived_;  // ways whole, not handed over yet
    std::vector<std::size_t> fallen_;   // ways failed, for the next round
};
