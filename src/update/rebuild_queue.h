// Patched files rebuilt on worker threads while the run's thread goes on
// with its transfers and its window. The run hands over a file whose way
// has arrived whole and verified; the workers rebuild it (patch_rebuild.h)
// and leave the outcome for the run to take on its own thread: nothing here
// touches the plan, the staging record or the window.
//
// Memory. A rebuild starts once what it may hold (RebuildMemory) fits in
// what those under way leave of the queue's limit, in the order they were
// handed over; one that needs the whole limit, or more, runs alone. A big
// segmented delta already spreads over every core within kApplyMemoryBudget:
// with that limit, the rebuilds together never hold more than one such
// delta did when files were rebuilt one at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "storage/storage.h"
#include "update/patch/patch_rebuild.h"

// What rebuilding a file its way `way` may hold in memory, from the sizes
// known before it starts (the installed copy's, the signed ones): a
// compressed object's window, no larger than the file; a single delta's
// window beside the old file it maps, or its segments under way, each with
// its frame, old range and new bytes (the ranges may overlap); a chain of
// deltas (whose versions in between have no signed size) the whole budget.
// Capped at `budget`.
std::uint64_t RebuildMemory(const FileWay& way, const FileDigest& expected, std::uint64_t installedSize,
                            std::uint64_t budget);

class RebuildQueue {
public:
    struct Limits {
        unsigned workers = 1;
        std::uint64_t memory = 1;
    };
    // A rebuild that ended, for the run to take.
    struct Outcome {
        std::size_t key = 0;  // as handed over
        Rebuilt rebuilt = Rebuilt::Failed;
        std::string result;  // Done: the staged file that holds the signed bytes
        // What the rebuild threw but a refusal of its way (which is Failed).
        std::exception_ptr error;
    };

    RebuildQueue(GameFolder& folder, Limits limits);
    // Stops: see Stop().
    ~RebuildQueue();
    RebuildQueue(const RebuildQueue&) = delete;
    RebuildQueue& operator=(const RebuildQueue&) = delete;

    // Rebuilds `file` (a copy: the run's own stays the run's) once its memory
    // is free. Its way must be complete and on record.
    void Add(std::size_t key, PatchedFile file);
    // The rebuilds that ended since the last call, at once, in no set order.
    std::vector<Outcome> Take();
    // Returns once a rebuild has ended that Take() has not returned, or
    // after `most`, whichever comes first.
    void Wait(std::chrono::milliseconds most);
    // Rebuilds handed over whose outcome Take() has not returned yet.
    std::size_t Unfinished() const;
    // Cancels the rebuilds under way (each removes what it was writing), drops
    // those waiting, and waits for the workers. Those that ended before are
    // still returned by Take().
    void Stop();

private:
    struct Job {
        std::size_t key = 0;
        PatchedFile file;
        std::uint64_t memory = 0;
    };
    void Work();
    std::optional<Outcome> Rebuild(Job& job);

    GameFolder& folder_;
    const Limits limits_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // what follows
    std::condition_variable changed_;
    std::deque<Job> waiting_;
    std::vector<Outcome> ended_;
    std::uint64_t free_;
    std::size_t unfinished_ = 0;
    std::vector<std::thread> workers_;
};

// The queue's limits on this machine: a worker a core (at most 8), within
// kApplyMemoryBudget.
RebuildQueue::Limits DefaultRebuildLimits();
