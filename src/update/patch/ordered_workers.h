// Jobs run on several threads within a memory limit, their results taken in
// order: how the segments of a segmented delta are decoded (and, in the
// operators' tool, encoded).
//
// Jobs start in order, each once the bytes it holds while it runs fit in
// what the jobs under way leave of the limit (a job larger than the whole
// limit runs alone). A finished job gives back all but what its result
// keeps, and that goes when the caller releases it. Because jobs start in
// order, the job the caller waits for has always started, or could: the
// work never waits on itself. The first error of any job is thrown to the
// caller, at its next Take; Stop, or destroying the object, stops the
// threads (running jobs end first) and waits for them.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

template <typename Job, typename Result>
class OrderedWorkers {
public:
    struct Plan {
        std::size_t count = 0;
        unsigned threads = 1;
        std::uint64_t memory = 1;
        // What job k holds from its start until it ends.
        std::function<std::uint64_t(std::size_t)> cost;
        // Run for each job in order, one at a time, on the thread that runs
        // it (reading its input from a stream, say).
        std::function<Job(std::size_t)> start;
        // Each thread's own worker (it may keep a context of its own).
        std::function<std::function<Result(std::size_t, Job)>()> worker;
        // What a result holds until the caller releases it.
        std::function<std::uint64_t(const Result&)> kept;
    };

    // Starts min(threads, count) threads. Throws std::system_error when no
    // thread can be made.
    explicit OrderedWorkers(Plan plan) : plan_(std::move(plan)), left_(Limit()) {
        const std::size_t threads = std::min<std::size_t>(std::max(plan_.threads, 1u), plan_.count);
        try {
            for (std::size_t k = 0; k < threads; ++k) threads_.emplace_back([this] { Run(); });
        } catch (...) {
            Stop();
            throw;
        }
    }
    ~OrderedWorkers() { Stop(); }
    OrderedWorkers(const OrderedWorkers&) = delete;
    OrderedWorkers& operator=(const OrderedWorkers&) = delete;

    // Job k's result, once it is done; the first error of any job instead,
    // or Stopped once Stop has been called.
    Result Take(std::size_t k) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return error_ || stopped_ || done_.contains(k); });
        if (error_) std::rethrow_exception(error_);
        if (!done_.contains(k)) throw Stopped();
        auto found = done_.find(k);
        Result result = std::move(found->second.result);
        kept_[k] = found->second.kept;
        done_.erase(found);
        return result;
    }
    // The caller no longer holds job k's result.
    void Release(std::size_t k) {
        {
            std::lock_guard lock(mutex_);
            const auto found = kept_.find(k);
            if (found == kept_.end()) return;
            left_ += found->second;
            kept_.erase(found);
        }
        changed_.notify_all();
    }

    struct Stopped {};

    // Stops the threads once their running jobs end, and waits for them; a
    // Take waiting meanwhile, on another thread, throws Stopped.
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    struct Done {
        Result result;
        std::uint64_t kept = 0;
    };

    std::uint64_t Limit() const { return std::max<std::uint64_t>(plan_.memory, 1); }
    std::uint64_t Cost(std::size_t k) const { return std::min(plan_.cost(k), Limit()); }

    // The next job, once its memory is free, started; false when none is left.
    bool Claim(std::size_t& k, Job& job) {
        std::lock_guard starting(startMutex_);
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock,
                          [&] { return stopped_ || error_ || next_ == plan_.count || left_ >= Cost(next_); });
            if (stopped_ || error_ || next_ == plan_.count) return false;
            k = next_++;
            left_ -= Cost(k);
        }
        job = plan_.start(k);
        return true;
    }

    void Run() {
        try {
            const auto work = plan_.worker();
            std::size_t k = 0;
            Job job{};
            while (Claim(k, job)) {
                Result result = work(k, std::move(job));
                const std::uint64_t kept = std::min(plan_.kept(result), Cost(k));
                {
                    std::lock_guard lock(mutex_);
                    left_ += Cost(k) - kept;
                    done_.emplace(k, Done{std::move(result), kept});
                }
                changed_.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard lock(mutex_);
                if (!error_) error_ = std::current_exception();
            }
            changed_.notify_all();
        }
    }

    const Plan plan_;
    std::mutex startMutex_;  // jobs start one at a time, in order
    std::mutex mutex_;       // what follows
    std::condition_variable changed_;
    std::uint64_t left_;
    std::size_t next_ = 0;
    std::map<std::size_t, Done> done_;
    std::map<std::size_t, std::uint64_t> kept_;
    std::exception_ptr error_;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};
