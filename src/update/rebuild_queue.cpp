#include "update/rebuild_queue.h"

#include <algorithm>
#include <utility>

#include "failure.h"
#include "update/patch/codec_types.h"

namespace {

// A decoder's context and its input and output buffers, beside its window.
constexpr std::uint64_t kDecoderBytes = 1ull << 20;
constexpr unsigned kMostWorkers = 8;

}  // namespace

std::uint64_t RebuildMemory(const FileWay& way, const FileDigest& expected, std::uint64_t installedSize,
                            std::uint64_t budget) {
    std::uint64_t holds = 0;
    switch (way.kind) {
        case FileWay::Kind::Whole:
            return 0;  // nothing to rebuild
        case FileWay::Kind::Local:
            break;  // a copy through a buffer
        case FileWay::Kind::Object:
            holds = std::min(expected.size, std::uint64_t{1} << kObjectWindowLog);
            break;
        case FileWay::Kind::Deltas:
            if (way.deltas.size() != 1) return budget;
            // The old ranges of a segmented delta's segments may overlap:
            // together they may read the old file about twice.
            holds = 2 * installedSize + expected.size + way.deltas.front().delta.size;
            break;
    }
    return std::min(budget, holds + kDecoderBytes);
}

RebuildQueue::Limits DefaultRebuildLimits() {
    return {std::clamp(std::thread::hardware_concurrency(), 1u, kMostWorkers), kApplyMemoryBudget};
}

RebuildQueue::RebuildQueue(GameFolder& folder, Limits limits)
    : folder_(folder), limits_{std::max(limits.workers, 1u), std::max<std::uint64_t>(limits.memory, 1)} {
    free_ = limits_.memory;
}

RebuildQueue::~RebuildQueue() {
    Stop();
}

void RebuildQueue::Add(std::size_t key, PatchedFile file) {
    const Result<FileInfo> installed = folder_.Inspect(file.entry, Links::Followed);
    const std::uint64_t installedSize = installed.ok() ? installed->size : 0;
    const std::uint64_t memory =
        RebuildMemory(file.ways.front(), file.expected, installedSize, limits_.memory);
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        waiting_.push_back({key, std::move(file), memory});
        ++unfinished_;
        if (workers_.size() < limits_.workers) workers_.emplace_back([this] { Work(); });
    }
    changed_.notify_all();
}

std::vector<RebuildQueue::Outcome> RebuildQueue::Take() {
    std::vector<Outcome> taken;
    std::lock_guard lock(mutex_);
    taken.swap(ended_);
    unfinished_ -= taken.size();
    return taken;
}

void RebuildQueue::Wait(std::chrono::milliseconds most) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, most, [&] { return !ended_.empty() || stop_; });
}

std::size_t RebuildQueue::Unfinished() const {
    std::lock_guard lock(mutex_);
    return unfinished_;
}

void RebuildQueue::Stop() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        unfinished_ -= waiting_.size();
        waiting_.clear();
        workers.swap(workers_);
    }
    changed_.notify_all();
    for (std::thread& worker : workers) worker.join();
}

// Rebuilds start in the order they were handed over: a big one waits for
// the memory of those under way, and the small ones after it wait too, so
// that it is never passed over for ever.
void RebuildQueue::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock,
                          [&] { return stop_ || (!waiting_.empty() && waiting_.front().memory <= free_); });
            if (stop_) return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
            free_ -= job.memory;
        }
        std::optional<Outcome> outcome = Rebuild(job);
        {
            std::lock_guard lock(mutex_);
            free_ += job.memory;
            if (outcome) {
                ended_.push_back(std::move(*outcome));
            } else {
                --unfinished_;
            }
        }
        changed_.notify_all();
    }
}

// Nothing when the queue stopped it: what it wrote is gone, and the run
// that stopped it wants no outcome.
std::optional<RebuildQueue::Outcome> RebuildQueue::Rebuild(Job& job) {
    Outcome outcome;
    outcome.key = job.key;
    try {
        outcome.rebuilt = RebuildFile(folder_, job.file, stop_);
        outcome.result = job.file.result;
    } catch (const RunCancelled&) {
        return std::nullopt;
    } catch (...) {
        outcome.error = std::current_exception();
    }
    return outcome;
}
