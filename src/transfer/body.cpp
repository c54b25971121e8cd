#include "transfer/body.h"

#include <algorithm>
#include <cctype>

#include "player_texts.h"
#include "storage/storage.h"

namespace {

// A big body goes to disk while it arrives, not all at once when the commit
// makes it durable: a writeback is started every this many bytes.
constexpr std::uint64_t kWritebackStep = 32 * 1024 * 1024;
// A closed copy's last piece is written back too, unless it is too small to matter.
constexpr std::uint64_t kLastWritebackStep = kWritebackStep / 32;

bool IsIdentity(const std::string& encoding) {
    std::string lower = encoding;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.empty() || lower == "identity";
}

}  // namespace

bool Body::Begin(const ResponseHead& head) {
    begun_ = true;
    validator_ = head.validator;
    if (!IsIdentity(head.contentEncoding)) {
        return Refuse(texts::CompressedContentRefused(remote_));
    }
    if (head.status == 206) {
        // Anything but the rest of the very file the part came from would
        // splice two different pieces together: the part is thrown away.
        if (!ContinuesPart(head)) {
            retryFromStart_ = from_ > 0;
            return Refuse(texts::UnexpectedPartialAnswer(remote_));
        }
        if (!AcceptsTotal(head.rangeTotal)) return false;
        total_ = head.rangeTotal;
        accepted_ = Open();
        return accepted_;
    }
    if (head.status != 200) {
        return Refuse(texts::ServerAnswered(head.status, remote_));
    }
    if (!AcceptsTotal(head.length)) return false;
    // A whole body: the server ignored the range or the file changed.
    if (from_ > 0 && !StartOver()) return Refuse(WriteFailure());
    from_ = 0;
    total_ = head.length;
    accepted_ = Open();
    return accepted_;
}

// The range starts exactly where the part ends, and the answer's validator
// and total are those of the answer the part came from.
bool Body::ContinuesPart(const ResponseHead& head) const {
    return from_ > 0 && head.rangeStart == static_cast<std::int64_t>(from_) && !partValidator_.empty() &&
           head.validator == partValidator_ && partTotal_ >= 0 && head.rangeTotal == partTotal_;
}

MemoryBody::MemoryBody(const TextRequest& request, std::string& out)
    : Body(request.name, 0), limit_(request.limit), tooLong_(request.tooLong), out_(out) {
    out_.clear();
}

bool MemoryBody::Write(const char* data, std::size_t size) {
    if (out_.size() + size > limit_) return RefuseTooLong();
    out_.append(data, size);
    written_ += size;
    return true;
}

bool MemoryBody::StartOver() {
    out_.clear();
    return true;
}

// A declared length past the limit is refused before a byte is taken.
bool MemoryBody::AcceptsTotal(std::int64_t total) {
    return total < 0 || static_cast<std::uint64_t>(total) <= limit_ || RefuseTooLong();
}

bool MemoryBody::RefuseTooLong() {
    if (!tooLong_.empty()) return Refuse(tooLong_);
    return Refuse(texts::FileTooLarge(remote_, limit_ / 1024));
}

StagedBody::StagedBody(const DownloadJob& job, std::uint64_t from, GameFolder& folder, MadeFolders& folders,
                       CheckWorker* worker)
    : Body(job.remote, from),
      local_(job.Local()),
      staged_(job.staged),
      folder_(folder),
      folders_(folders),
      signedSize_(job.expectedSize) {
    // A part that is not a plain file of our own (a link planted at its name)
    // is never read nor continued, nor one that is not exactly as long as the
    // earlier attempt left it: the body is fetched again in its place.
    if (from_ > 0 && !IsPlainFile()) from_ = 0;
    if (from_ > 0 && ExistingLength() != from_) from_ = 0;
    // A part kept goes through the check first.
    if (job.check) feed_ = std::make_unique<CheckFeed>(*worker, folder_, staged_, *job.check, from_);
}

bool StagedBody::Write(const char* data, std::size_t size) {
    // An endless body stops the moment it passes its signed size.
    if (signedSize_ && size > *signedSize_ - std::min(*signedSize_, OnDisk())) return RefuseAltered(local_);
    if (!out_) return Refuse(WriteFailure());
    if (IoStatus written = out_->Write(data, size); !written.ok()) return RefuseWrite(std::move(written));
    written_ += size;
    if (feed_) feed_->Reached(OnDisk());
    if (written_ - kicked_ >= kWritebackStep) {
        out_->StartWriteback();
        kicked_ = written_;
    }
    return true;
}

bool StagedBody::Close() {
    if (!out_) return true;
    if (written_ - kicked_ >= kLastWritebackStep) out_->StartWriteback();
    IoStatus closed = out_->Close();
    out_.reset();
    if (closed.ok()) return true;
    failure_ = std::move(closed);
    return false;
}

// A new copy is created under a name that nothing holds, so that a link
// planted there is refused, not followed; a part is continued only when it is
// a plain file.
bool StagedBody::Open() {
    if (out_) return true;
    if (IoStatus made = folders_.MakeFolderOf(staged_); !made.ok()) return RefuseWrite(std::move(made));
    if (from_ == 0) folder_.Remove(staged_).IgnoreError();
    Result<std::unique_ptr<FileWriter>> opened =
        folder_.OpenForWriting(staged_, from_ > 0 ? WriteMode::Append : WriteMode::CreateNew);
    if (!opened.ok()) return RefuseWrite(opened.error());
    out_ = std::move(*opened);
    return true;
}

// The whole body comes instead of the rest: the copy is made anew from its
// first byte when opened.
bool StagedBody::StartOver() {
    if (out_) out_->Close().IgnoreError();
    out_.reset();
    if (feed_) feed_->Restart();
    return true;
}

// The declared length must be the signed size: anything else is refused
// before a byte is written.
bool StagedBody::AcceptsTotal(std::int64_t total) {
    if (!signedSize_ || total < 0 || static_cast<std::uint64_t>(total) == *signedSize_) return true;
    return RefuseAltered(local_);
}

// A full disk is named as such, with what the whole file needs when its
// size is known: the player then knows how much room to make.
std::string StagedBody::WriteFailure() const {
    if (!IsDiskFull(failure_)) return texts::CannotWrite(local_);
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::uint64_t size =
        signedSize_ ? *signedSize_ : static_cast<std::uint64_t>(std::max<std::int64_t>(total_, 0));
    return texts::NoSpaceFor(local_, (size + kMiB - 1) / kMiB);
}

bool StagedBody::RefuseWrite(IoStatus failure) {
    failure_ = std::move(failure);
    return Refuse(WriteFailure());
}

bool StagedBody::IsPlainFile() const {
    const Result<FileInfo> part = folder_.Inspect(staged_, Links::NotFollowed);
    return part.ok() && part->kind == FileKind::Regular;
}

std::uint64_t StagedBody::ExistingLength() const {
    const Result<FileInfo> part = folder_.Inspect(staged_, Links::Followed);
    return part.ok() && part->kind == FileKind::Regular ? part->size : 0;
}
