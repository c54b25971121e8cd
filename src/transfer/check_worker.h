// Checking game files off the window's thread. A body is written to its
// staged copy as it arrives, on the window's thread; one worker thread reads
// each copy back behind its transfer and feeds the body's check, for every
// transfer at once. The window's thread only tells how far a copy goes and,
// at the end of a body, waits in short slices (handling window events) for
// the check to catch up: what is checked is what is on disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/storage.h"
#include "transfer/download_job.h"

class CheckFeed;

// The thread. Made by the caller of a set of transfers, and outliving every
// feed made with it.
class CheckWorker {
public:
    CheckWorker();
    ~CheckWorker();
    CheckWorker(const CheckWorker&) = delete;
    CheckWorker& operator=(const CheckWorker&) = delete;

private:
    friend class CheckFeed;
    void Run();
    void ReadSome(CheckFeed& feed, std::unique_lock<std::mutex>& lock, char* buffer);
    CheckFeed* NextFeed();  // with the lock held: the next feed with bytes to read, in turn

    std::mutex mutex_;
    std::condition_variable work_;    // the worker waits here for bytes to read
    std::condition_variable caught_;  // the window's thread waits here for a feed
    std::vector<CheckFeed*> feeds_;
    std::size_t turn_ = 0;
    bool stop_ = false;
    std::thread thread_;  // last: starts once the rest is made
};

// One body's copy and check, from the window's thread. The check is touched
// by the worker only while it reads this copy, and by the window's thread
// only once the worker has caught up or left it.
class CheckFeed {
public:
    // The check starts over; the copy (a file of folder) already holds
    // onDisk bytes of the body (a part kept from an earlier attempt), read
    // back first.
    CheckFeed(CheckWorker& worker, GameFolder& folder, std::string copy, ContentCheck& check,
              std::uint64_t onDisk);
    ~CheckFeed();
    CheckFeed(const CheckFeed&) = delete;
    CheckFeed& operator=(const CheckFeed&) = delete;

    // The copy now holds this many bytes of the body.
    void Reached(std::uint64_t onDisk);
    // The body starts over from its first byte, in a new copy: what was read
    // is forgotten. Waits for the worker to leave the copy (one read at most).
    void Restart();
    // Waits at most `wait` for the check to have read every byte the copy
    // holds; true while some remain.
    bool Pending(std::chrono::milliseconds wait);
    // Once caught up: false when the copy could not be read back whole (the
    // check has not seen the body). Rethrows what the check threw.
    bool Fed();

private:
    friend class CheckWorker;
    bool Ready() const { return done_ >= target_ || failed_; }
    bool Read(char* buffer, std::size_t size);  // on the worker, without the lock

    CheckWorker& worker_;
    GameFolder& folder_;
    const std::string copy_;
    ContentCheck& check_;
    std::unique_ptr<FileReader> in_;  // the worker's while busy_; opened at the first read
    std::uint64_t target_ = 0;
    std::uint64_t done_ = 0;
    bool busy_ = false;
    bool failed_ = false;
    std::exception_ptr error_;
};
