#include "update/patch/segmented_apply.h"

#include <zstd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "update/patch/ordered_workers.h"
#include "update/patch/range_reader.h"
#include "update/patch/zstd_frame.h"
#include "update/trust/crypto.h"

namespace {

// What the sink receives at a time.
constexpr std::size_t kPiece = 256 << 10;

struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string FrameName(std::size_t framed) {
    return "delta's frame " + std::to_string(framed + 1);
}

// Decodes one framed segment whole: its frame must declare exactly the
// segment's new size (checked before the output is allocated), be one frame
// to the last byte and carry its checksum.
std::vector<char> DecodeSegment(ZSTD_DCtx* context, const Segment& segment, const std::vector<char>& frame,
                                const std::vector<char>& old, std::size_t framed) {
    const std::string what = FrameName(framed);
    const FrameHeader header =
        ReadFrameHeader(std::string_view(frame.data(), std::min(frame.size(), kLongestFrameHeader)), what);
    if (!header.checksum)
        throw CodecError(CodecError::Kind::Damaged, "The " + what + " carries no checksum.");
    if (header.contentSize != segment.newSize) {
        throw CodecError(CodecError::Kind::Damaged, "The " + what + " does not declare the " +
                                                        Bytes(segment.newSize) + " of its segment.");
    }
    const std::size_t length = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
    if (ZSTD_isError(length) || length != frame.size()) {
        throw CodecError(CodecError::Kind::Damaged, "The " + what + " is not one whole frame.");
    }
    std::vector<char> made(static_cast<std::size_t>(segment.newSize));
    // zstd takes a prefix as raw content, whatever its first bytes.
    std::size_t status = ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters);
    if (!ZSTD_isError(status) && !old.empty()) status = ZSTD_DCtx_refPrefix(context, old.data(), old.size());
    if (!ZSTD_isError(status))
        status = ZSTD_decompressDCtx(context, made.data(), made.size(), frame.data(), frame.size());
    if (ZSTD_isError(status)) ThrowDecodeError(status, what, true);
    if (status != made.size()) {
        throw CodecError(CodecError::Kind::Damaged,
                         "The " + what + " decodes to another size than declared.");
    }
    return made;
}

using Decoders = OrderedWorkers<std::vector<char>, std::vector<char>>;

// Framed segments, decoded by worker threads: each reads its frame from the
// delta in order, then its old range and decodes on its own.
Decoders::Plan DecodePlan(GameFolder& folder, const std::string& oldFile, const std::vector<Segment>& framed,
                          std::istream& frames, const ApplyLimits& limits) {
    Decoders::Plan plan;
    plan.count = framed.size();
    plan.threads = limits.threads;
    plan.memory = limits.memory;
    plan.cost = [&framed](std::size_t k) {
        return framed[k].newSize + framed[k].oldSize + framed[k].frameSize;
    };
    plan.start = [&framed, &frames](std::size_t k) {
        std::vector<char> frame(static_cast<std::size_t>(framed[k].frameSize));
        frames.read(frame.data(), static_cast<std::streamsize>(frame.size()));
        if (frames.bad()) throw CodecError(CodecError::Kind::Unreadable, "The delta could not be read.");
        if (static_cast<std::size_t>(frames.gcount()) != frame.size())
            throw CodecError(CodecError::Kind::Damaged, "The delta is cut short.");
        return frame;
    };
    plan.worker = [&folder, &oldFile, &framed] {
        auto context = std::shared_ptr<ZSTD_DCtx>(ZSTD_createDCtx(), FreeDCtx());
        if (!context) throw std::bad_alloc();
        auto old = std::make_shared<RangeReader>(folder, oldFile);
        return [&framed, context, old](std::size_t k, std::vector<char> frame) {
            const Segment& segment = framed[k];
            std::vector<char> reference(static_cast<std::size_t>(segment.oldSize));
            old->Read(segment.oldOffset, reference.data(), reference.size());
            return DecodeSegment(context.get(), segment, frame, reference, k);
        };
    };
    plan.kept = [](const std::vector<char>& made) { return made.size(); };
    return plan;
}

std::unique_ptr<Decoders> StartDecoders(Decoders::Plan plan) {
    try {
        return std::make_unique<Decoders>(std::move(plan));
    } catch (const std::system_error&) {
        throw CodecError(CodecError::Kind::NoMemory, "No thread could be started to decode the delta.");
    }
}

// A piece of the output: the first `size` bytes of a buffer read from the
// old file (a copied segment), or a framed segment's bytes, decoded.
struct Piece {
    std::vector<char> bytes;
    std::size_t size = 0;
    std::optional<std::size_t> framed;
};

// The output's pieces in order, read or taken from the decoders and hashed
// on a thread of their own while the caller's thread writes them: reading,
// hashing and writing overlap, as in a copy by the system. A few pieces wait
// at most (besides the decoded segments, which the decoders count).
class Producer {
public:
    Producer(GameFolder& folder, const std::string& oldFile, const SegmentMap& map, std::istream& frames,
             Decoders& decoders)
        : old_(folder, oldFile), map_(map), frames_(frames), decoders_(decoders) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            throw CodecError(CodecError::Kind::NoMemory, "No thread could be started to decode the delta.");
        }
    }
    // The thread may wait for a segment whose decoder waits for memory that
    // pieces never to be written hold: the decoders stop first.
    ~Producer() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
        decoders_.Stop();
        thread_.join();
    }
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    // The next piece; false once the output is complete. Throws what reading
    // or decoding met.
    bool Next(Piece& piece) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !queue_.empty() || ended_ || error_; });
        if (!queue_.empty()) {
            piece = std::move(queue_.front());
            queue_.pop_front();
            changed_.notify_all();
            return true;
        }
        if (error_) std::rethrow_exception(error_);
        return false;
    }
    // Gives back the buffer of a copied piece once written: buffers go round
    // instead of being allocated (and their pages faulted in) for every piece.
    void Recycle(std::vector<char> buffer) {
        std::lock_guard lock(mutex_);
        spare_.push_back(std::move(buffer));
    }
    // The SHA-256 of every piece, once Next has returned false.
    Sha256Digest Digest() { return hash_.Finish(); }

private:
    static constexpr std::size_t kQueued = 4;
    static constexpr std::size_t kRead = 4 << 20;

    void Run() {
        try {
            std::size_t k = 0;
            for (const Segment& segment : map_.segments) {
                for (std::uint64_t at = 0; segment.Copied() && at < segment.newSize; at += kRead) {
                    Piece piece{
                        Spare(),
                        static_cast<std::size_t>(std::min<std::uint64_t>(kRead, segment.newSize - at)),
                        std::nullopt};
                    old_.Read(segment.oldOffset + at, piece.bytes.data(), piece.size);
                    if (!Push(std::move(piece))) return;
                }
                if (!segment.Copied()) {
                    std::vector<char> made = decoders_.Take(k);
                    const std::size_t size = made.size();
                    if (!Push(Piece{std::move(made), size, k++})) return;
                }
            }
            if (frames_.peek() != std::char_traits<char>::eof())
                throw CodecError(CodecError::Kind::Damaged, "The delta goes on after its last segment.");
            if (frames_.bad()) throw CodecError(CodecError::Kind::Unreadable, "The delta could not be read.");
            std::lock_guard lock(mutex_);
            ended_ = true;
        } catch (...) {
            std::lock_guard lock(mutex_);
            error_ = std::current_exception();
        }
        changed_.notify_all();
    }
    std::vector<char> Spare() {
        {
            std::lock_guard lock(mutex_);
            if (!spare_.empty()) {
                std::vector<char> buffer = std::move(spare_.back());
                spare_.pop_back();
                return buffer;
            }
        }
        return std::vector<char>(kRead);
    }
    // Hashes the piece and queues it once there is room; false when stopped.
    bool Push(Piece piece) {
        hash_.Update(piece.bytes.data(), piece.size);
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || queue_.size() < kQueued; });
        if (stopped_) return false;
        queue_.push_back(std::move(piece));
        changed_.notify_all();
        return true;
    }

    RangeReader old_;
    const SegmentMap& map_;
    std::istream& frames_;
    Decoders& decoders_;
    Sha256 hash_;
    std::mutex mutex_;  // what follows
    std::condition_variable changed_;
    std::deque<Piece> queue_;
    std::vector<std::vector<char>> spare_;
    bool ended_ = false, stopped_ = false;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace

FileDigest ApplySegments(GameFolder& folder, const std::string& oldFile, const SegmentMap& map,
                         std::istream& frames, const ByteSink& out, const ApplyLimits& limits) {
    std::vector<Segment> framed;
    for (const Segment& segment : map.segments) {
        if (!segment.Copied()) framed.push_back(segment);
    }
    const std::unique_ptr<Decoders> decoders =
        StartDecoders(DecodePlan(folder, oldFile, framed, frames, limits));
    Producer producer(folder, oldFile, map, frames, *decoders);
    std::uint64_t written = 0;
    for (Piece piece; producer.Next(piece);) {
        for (std::size_t at = 0; at < piece.size; at += kPiece) {
            const std::size_t size = std::min(kPiece, piece.size - at);
            if (!out(piece.bytes.data() + at, size)) {
                throw CodecError(CodecError::Kind::Unwritable,
                                 "The output of the delta could not be written.");
            }
            written += size;
        }
        if (piece.framed) {
            piece.bytes = {};
            decoders->Release(*piece.framed);
        } else {
            producer.Recycle(std::move(piece.bytes));
        }
    }
    return FileDigest{written, producer.Digest()};
}
