#include "update/patch/segmented_apply.h"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "update/patch/ordered_workers.h"
#include "update/patch/range_reader.h"
#include "update/patch/zstd_frame.h"
#include "update/trust/crypto.h"

namespace {

namespace fs = std::filesystem;

// What the sink receives at a time.
constexpr std::size_t kPiece = 256 << 10;

struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string SegmentName(std::size_t framed) {
    return "delta's segment " + std::to_string(framed + 1);
}

// Decodes one framed segment whole: its frame must declare exactly the
// segment's new size (checked before the output is allocated), be one frame
// to the last byte and carry its checksum.
std::vector<char> DecodeSegment(ZSTD_DCtx* context, const Segment& segment, const std::vector<char>& frame,
                                const std::vector<char>& old, std::size_t framed) {
    const std::string what = SegmentName(framed);
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
Decoders::Plan DecodePlan(const fs::path& oldFile, const std::vector<Segment>& framed, std::istream& frames,
                          const ApplyLimits& limits) {
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
    plan.worker = [&oldFile, &framed] {
        auto context = std::shared_ptr<ZSTD_DCtx>(ZSTD_createDCtx(), FreeDCtx());
        if (!context) throw std::bad_alloc();
        auto old = std::make_shared<RangeReader>(oldFile);
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

// Hashes and counts the output on its way to the sink.
class Output {
public:
    explicit Output(const ByteSink& out) : out_(out) {}
    void Write(const char* data, std::size_t size) {
        for (std::size_t at = 0; at < size; at += kPiece) {
            const std::size_t piece = std::min(kPiece, size - at);
            hash_.Update(data + at, piece);
            written_ += piece;
            if (!out_(data + at, piece)) {
                throw CodecError(CodecError::Kind::Unwritable,
                                 "The output of the delta could not be written.");
            }
        }
    }
    FileDigest Finish() { return FileDigest{written_, hash_.Finish()}; }

private:
    const ByteSink& out_;
    Sha256 hash_;
    std::uint64_t written_ = 0;
};

}  // namespace

FileDigest ApplySegments(const fs::path& oldFile, const SegmentMap& map, std::istream& frames,
                         const ByteSink& out, const ApplyLimits& limits) {
    std::vector<Segment> framed;
    for (const Segment& segment : map.segments) {
        if (!segment.Copied()) framed.push_back(segment);
    }
    RangeReader old(oldFile);
    Output output(out);
    std::vector<char> piece(kPiece);
    const std::unique_ptr<Decoders> decoders = StartDecoders(DecodePlan(oldFile, framed, frames, limits));
    std::size_t k = 0;
    for (const Segment& segment : map.segments) {
        if (segment.Copied()) {
            for (std::uint64_t at = 0; at < segment.newSize; at += kPiece) {
                const auto size =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, segment.newSize - at));
                old.Read(segment.oldOffset + at, piece.data(), size);
                output.Write(piece.data(), size);
            }
            continue;
        }
        {
            const std::vector<char> made = decoders->Take(k);
            output.Write(made.data(), made.size());
        }
        decoders->Release(k++);
    }
    if (frames.peek() != std::char_traits<char>::eof()) {
        throw CodecError(CodecError::Kind::Damaged, "The delta goes on after its last segment.");
    }
    if (frames.bad()) throw CodecError(CodecError::Kind::Unreadable, "The delta could not be read.");
    return output.Finish();
}
