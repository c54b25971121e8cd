#include "transfer/check_worker.h"

#include <algorithm>

namespace {

// What the worker reads of a copy at a time: small enough that the window's
// thread, when it must wait for the worker to leave a copy, waits little
// (about 0.2 ms), large enough that reading costs few calls.
constexpr std::size_t kReadBytes = 256 * 1024;

}  // namespace

CheckWorker::CheckWorker() : thread_([this] { Run(); }) {}

CheckWorker::~CheckWorker() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    thread_.join();
}

void CheckWorker::Run() {
    std::vector<char> buffer(kReadBytes);
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (CheckFeed* feed = NextFeed()) {
            ReadSome(*feed, lock, buffer.data());
        } else {
            work_.wait(lock);
        }
    }
}

// Reads one piece of the feed's copy into its check, with the lock released
// meanwhile: the feed is busy_ for that time, and nobody else touches it.
void CheckWorker::ReadSome(CheckFeed& feed, std::unique_lock<std::mutex>& lock, char* buffer) {
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(kReadBytes, feed.target_ - feed.done_));
    feed.busy_ = true;
    lock.unlock();
    const bool read = feed.Read(buffer, size);
    lock.lock();
    feed.busy_ = false;
    if (read) {
        feed.done_ += size;
    } else {
        feed.failed_ = true;
    }
    caught_.notify_all();
}

// A feed the window's thread is reading itself (its last piece) is left to it.
CheckFeed* CheckWorker::NextFeed() {
    for (std::size_t k = 0; k < feeds_.size(); ++k) {
        const std::size_t at = (turn_ + k) % feeds_.size();
        if (feeds_[at]->busy_ || feeds_[at]->Ready()) continue;
        turn_ = at + 1;
        return feeds_[at];
    }
    return nullptr;
}

CheckFeed::CheckFeed(CheckWorker& worker, GameFolder& folder, std::string copy, ContentCheck& check,
                     std::uint64_t onDisk)
    : worker_(worker), folder_(folder), copy_(std::move(copy)), check_(check), target_(onDisk) {
    check_.Restart();
    std::lock_guard lock(worker_.mutex_);
    worker_.feeds_.push_back(this);
    if (target_ > 0) worker_.work_.notify_one();
}

CheckFeed::~CheckFeed() {
    std::unique_lock lock(worker_.mutex_);
    worker_.caught_.wait(lock, [this] { return !busy_; });
    std::erase(worker_.feeds_, this);
}

// The worker is woken once a read's worth is waiting; less waits for more,
// or for the end of the body.
void CheckFeed::Reached(std::uint64_t onDisk) {
    std::lock_guard lock(worker_.mutex_);
    target_ = onDisk;
    if (target_ - done_ >= kReadBytes) worker_.work_.notify_one();
}

void CheckFeed::Restart() {
    std::unique_lock lock(worker_.mutex_);
    worker_.caught_.wait(lock, [this] { return !busy_; });
    // Closed, so that the copy can be removed and made anew.
    in_.reset();
    target_ = 0;
    done_ = 0;
    failed_ = false;
    error_ = nullptr;
    check_.Restart();
}

bool CheckFeed::Pending(std::chrono::milliseconds wait) {
    std::unique_lock lock(worker_.mutex_);
    if (Ready()) return false;
    // A last piece shorter than one read is read here: handing it over would
    // cost more (thousands of small files would each wait for the worker).
    if (!busy_ && target_ - done_ <= kReadBytes) {
        std::vector<char> buffer(static_cast<std::size_t>(target_ - done_));
        worker_.ReadSome(*this, lock, buffer.data());
        return false;
    }
    worker_.work_.notify_one();
    return !worker_.caught_.wait_for(lock, wait, [this] { return Ready(); });
}

bool CheckFeed::Fed() {
    std::lock_guard lock(worker_.mutex_);
    if (error_) std::rethrow_exception(error_);
    return !failed_;
}

// The copy only grows while the body arrives, and every byte below its end
// is the body's: the copy is read exactly as far as it goes.
bool CheckFeed::Read(char* buffer, std::size_t size) {
    try {
        if (!in_) {
            Result<std::unique_ptr<FileReader>> opened = folder_.OpenForReading(copy_, Links::Followed);
            if (!opened.ok()) return false;
            in_ = std::move(*opened);
            if (done_ > 0 && !in_->Seek(done_).ok()) {
                in_.reset();
                return false;
            }
        }
        for (std::size_t got = 0; got < size;) {
            const Result<std::size_t> read = in_->Read(buffer + got, size - got);
            if (!read.ok() || *read == 0) {
                in_.reset();
                return false;
            }
            got += *read;
        }
        check_.Update(buffer, size);
        return true;
    } catch (...) {
        error_ = std::current_exception();
        return false;
    }
}
