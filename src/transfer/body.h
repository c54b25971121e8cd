// Where one attempt's body goes: a small file into memory, a game file into
// its staged copy. Each judges the answer's head before the first byte, so
// that an answer that must not be stored is refused, not stored.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "player_texts.h"
#include "storage/storage.h"
#include "transfer/check_worker.h"
#include "transfer/download_job.h"
#include "transfer/http.h"

class Body : public BodySink {
public:
    Body(std::string remote, std::uint64_t from) : remote_(std::move(remote)), from_(from) {}

    // The part already on disk came from an answer with this validator and
    // this total: only a range of that same file may continue it.
    void ContinuePart(std::string validator, std::int64_t total) {
        partValidator_ = std::move(validator);
        partTotal_ = total;
    }

    bool Begin(const ResponseHead& head) override;

    // The answer's head was accepted: its bytes go into this body.
    bool Accepted() const { return accepted_; }
    // The first byte (or the end of an empty body) has come.
    bool Begun() const { return begun_; }
    const std::string& Reason() const { return reason_; }
    bool RetryFromStart() const { return retryFromStart_; }
    // Refused as not what was signed: its length was wrong.
    bool Altered() const { return altered_; }
    std::uint64_t OnDisk() const { return from_ + written_; }
    std::uint64_t Written() const { return written_; }
    std::int64_t Total() const { return total_; }
    const std::string& Validator() const { return validator_; }

    virtual bool Close() = 0;
    virtual std::string WriteFailure() const = 0;
    // A checked body's check reads it back behind the transfer: true while
    // it has not read all of it, after waiting at most `wait` for it.
    virtual bool CheckPending(std::chrono::milliseconds wait) {
        (void)wait;
        return false;
    }
    // Once the check has caught up: false when the copy could not be read back.
    virtual bool ReadBack() { return true; }

protected:
    virtual bool StartOver() = 0;
    // Judges the whole body's length the answer declares (-1 when unknown)
    // before a byte is taken.
    virtual bool AcceptsTotal(std::int64_t) { return true; }
    // Makes ready for the body's bytes; called once the answer is accepted.
    virtual bool Open() { return true; }
    bool Refuse(std::string reason) {
        reason_ = std::move(reason);
        return false;
    }
    bool RefuseAltered(std::string_view local) {
        altered_ = true;
        return Refuse(texts::Altered(local));
    }
    bool ContinuesPart(const ResponseHead& head) const;
    std::string remote_;
    std::uint64_t from_;
    std::uint64_t written_ = 0;
    std::int64_t total_ = -1;
    std::string reason_;
    std::string validator_;
    std::string partValidator_;
    std::int64_t partTotal_ = -1;
    bool retryFromStart_ = false;
    bool accepted_ = false;
    bool begun_ = false;
    bool altered_ = false;
};

// A small file kept in memory, refused beyond its limit.
class MemoryBody : public Body {
public:
    MemoryBody(const TextRequest& request, std::string& out);
    bool Write(const char* data, std::size_t size) override;
    bool Close() override { return true; }
    std::string WriteFailure() const override { return texts::NoMemory(); }

private:
    bool StartOver() override;
    bool AcceptsTotal(std::int64_t total) override;
    bool RefuseTooLong();
    std::size_t limit_;
    const std::string& tooLong_;
    std::string& out_;
};

// A game file's body, appended to its staged copy, which the worker reads
// back into the body's check. The copy is opened only once the answer is
// accepted: the request goes out first, and an answer that is refused leaves
// the copy untouched. With a signed size, a body that declares another length
// is refused before its first byte, and one that runs past it the moment it
// does.
class StagedBody : public Body {
public:
    // The copy goes into `folder`, its own folder made through `folders`
    // when the copy is opened; `worker` reads it for the job's check, when
    // it has one.
    StagedBody(const DownloadJob& job, std::uint64_t from, GameFolder& folder, MadeFolders& folders,
               CheckWorker* worker);
    bool Write(const char* data, std::size_t size) override;
    bool Close() override;
    std::string WriteFailure() const override;
    bool CheckPending(std::chrono::milliseconds wait) override { return feed_ && feed_->Pending(wait); }
    bool ReadBack() override { return !feed_ || feed_->Fed(); }

private:
    bool Open() override;
    bool StartOver() override;
    bool AcceptsTotal(std::int64_t total) override;
    bool RefuseWrite(IoStatus failure);
    bool IsPlainFile() const;
    std::uint64_t ExistingLength() const;

    std::string local_;
    std::string staged_;
    GameFolder& folder_;
    MadeFolders& folders_;
    std::optional<std::uint64_t> signedSize_;
    std::unique_ptr<FileWriter> out_;
    IoStatus failure_;                 // why the copy could not be written
    std::uint64_t kicked_ = 0;         // bytes written when the last writeback was started
    std::unique_ptr<CheckFeed> feed_;  // last, so that it leaves the copy first
};
