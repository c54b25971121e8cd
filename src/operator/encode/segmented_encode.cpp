// zstd's experimental API for one figure: how much a compression context of
// a level takes, so that the threads' contexts fit in the memory given.
#define ZSTD_STATIC_LINKING_ONLY
#include "operator/encode/segmented_encode.h"

#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "operator/encode/encode_checks.h"
#include "update/patch/ordered_workers.h"
#include "update/patch/range_reader.h"
#include "update/patch/segment_map.h"
#include "update/trust/crypto.h"

namespace {

namespace fs = std::filesystem;

struct FreeCCtx {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

struct Nothing {};
using Encoders = OrderedWorkers<Nothing, std::string>;

void CheckSizes(const SegmentSizes& sizes) {
    const ChunkSizes& chunks = sizes.chunks;
    if (chunks.least == 0 || chunks.least > chunks.average || chunks.average > chunks.most ||
        sizes.mostSegment == 0 || sizes.mostSegment > kSegmentMostBytes ||
        sizes.mostReference > kReferenceMostBytes) {
        throw std::invalid_argument("Segment sizes out of bounds.");
    }
}

// What one thread's context takes at `level` for the largest segment. zstd
// estimates all but the long-distance matcher (its estimate divides by zero
// with that matcher on), whose table of 8-byte entries is 2^(windowLog - 7)
// long by default.
std::uint64_t ContextBytes(int level, const SegmentSizes& sizes) {
    const int windowLog = WindowLogFor(sizes.mostSegment + sizes.mostReference);
    ZSTD_CCtx_params* params = ZSTD_createCCtxParams();
    if (!params) throw std::bad_alloc();
    ZSTD_CCtxParams_init(params, level);
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_windowLog, windowLog);
    const std::size_t bytes = ZSTD_estimateCCtxSize_usingCCtxParams(params);
    ZSTD_freeCCtxParams(params);
    const std::uint64_t matcher = (std::uint64_t{9} << std::max(windowLog - 7, 6)) + (1 << 20);
    return (ZSTD_isError(bytes) ? 0 : bytes) + matcher;
}

std::uint64_t JobBytes(std::uint64_t newSize, std::uint64_t oldSize) {
    return newSize + oldSize + ZSTD_compressBound(static_cast<std::size_t>(newSize));
}

// One changed segment: a frame with the old range as its prefix, the window
// over both, the checksum and the segment's size declared.
std::string EncodeSegment(ZSTD_CCtx* context, int level, const std::vector<char>& old,
                          const std::vector<char>& made, const fs::path& file) {
    Check(ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters), file);
    Check(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level), file);
    Check(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, WindowLogFor(old.size() + made.size())), file);
    Check(ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1), file);
    Check(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1), file);
    Check(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1), file);
    if (!old.empty()) Check(ZSTD_CCtx_refPrefix(context, old.data(), old.size()), file);
    std::string frame(ZSTD_compressBound(made.size()), '\0');
    const std::size_t size = ZSTD_compress2(context, frame.data(), frame.size(), made.data(), made.size());
    Check(size, file);
    frame.resize(size);
    return frame;
}

Encoders::Plan EncodePlan(const fs::path& oldFile, const fs::path& newFile,
                          const std::vector<PlannedSegment>& framed, const SegmentedDeltaOptions& options) {
    const std::uint64_t contextBytes = ContextBytes(options.level, options.sizes);
    const std::uint64_t most = JobBytes(options.sizes.mostSegment, options.sizes.mostReference);
    const auto fit = std::max<std::uint64_t>(options.memory / (contextBytes + most), 1);
    Encoders::Plan plan;
    plan.count = framed.size();
    plan.threads = static_cast<unsigned>(std::min<std::uint64_t>(std::max(options.threads, 1u), fit));
    plan.memory = options.memory - std::min(options.memory, plan.threads * contextBytes);
    plan.cost = [&framed](std::size_t k) { return JobBytes(framed[k].newSize, framed[k].oldSize); };
    plan.start = [](std::size_t) { return Nothing{}; };
    plan.worker = [&oldFile, &newFile, &framed, level = options.level] {
        auto context = std::shared_ptr<ZSTD_CCtx>(ZSTD_createCCtx(), FreeCCtx());
        if (!context) throw std::bad_alloc();
        auto old = std::make_shared<RangeReader>(oldFile);
        auto made = std::make_shared<RangeReader>(newFile);
        return [&newFile, &framed, level, context, old, made](std::size_t k, Nothing) {
            const PlannedSegment& segment = framed[k];
            std::vector<char> reference(static_cast<std::size_t>(segment.oldSize));
            old->Read(segment.oldOffset, reference.data(), reference.size());
            std::vector<char> bytes(static_cast<std::size_t>(segment.newSize));
            made->Read(segment.newOffset, bytes.data(), bytes.size());
            return EncodeSegment(context.get(), level, reference, bytes, newFile);
        };
    };
    plan.kept = [](const std::string& frame) { return frame.size(); };
    return plan;
}

// The file the frames wait in until the map is written; removed when dropped.
class Spill {
public:
    explicit Spill(const fs::path& path) : path_(path), out_(path, std::ios::binary | std::ios::trunc) {
        if (!out_.is_open())
            throw CodecError(CodecError::Kind::Unwritable, "Cannot write " + NameOf(path) + ".");
    }
    ~Spill() {
        out_.close();
        std::error_code error;
        fs::remove(path_, error);
    }
    Spill(const Spill&) = delete;
    Spill& operator=(const Spill&) = delete;
    void Write(const std::string& bytes) {
        if (!out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
            throw CodecError(CodecError::Kind::Unwritable, "Cannot write " + NameOf(path_) + ".");
    }
    // Closes the file and sends it to out after `head`; returns what out got.
    FileDigest SendAfter(const std::string& head, const ByteSink& out);

private:
    fs::path path_;
    std::ofstream out_;
};

FileDigest Spill::SendAfter(const std::string& head, const ByteSink& out) {
    if (!out_.flush()) throw CodecError(CodecError::Kind::Unwritable, "Cannot write " + NameOf(path_) + ".");
    out_.close();
    Sha256 hash;
    std::uint64_t sent = 0;
    const auto send = [&](const char* data, std::size_t size) {
        hash.Update(data, size);
        sent += size;
        if (!out(data, size))
            throw CodecError(CodecError::Kind::Unwritable, "The delta could not be written.");
    };
    send(head.data(), head.size());
    std::ifstream in(path_, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        send(buffer.data(), static_cast<std::size_t>(in.gcount()));
    if (in.bad()) throw CodecError(CodecError::Kind::Unreadable, "Cannot read " + NameOf(path_) + ".");
    return FileDigest{sent, hash.Finish()};
}

// The map of the planned segments (their frames' sizes still 0), and the
// changed ones with where each sits in the map.
SegmentMap MapOf(const std::vector<PlannedSegment>& planned, std::uint64_t newSize, std::uint64_t oldSize,
                 std::vector<PlannedSegment>& framed, std::vector<std::size_t>& places) {
    if (planned.size() > kMostSegments) {
        throw CodecError(CodecError::Kind::TooLarge,
                         "The changes are too scattered for a delta to list them.");
    }
    SegmentMap map{newSize, oldSize, {}};
    for (const PlannedSegment& segment : planned) {
        if (!segment.copied) {
            framed.push_back(segment);
            places.push_back(map.segments.size());
        }
        map.segments.push_back({segment.newSize, segment.oldOffset, segment.oldSize, 0});
    }
    return map;
}

// The chunks cover the size found before they were read: the file did not change meanwhile.
void CheckChunked(const fs::path& file, std::uint64_t size, const std::vector<Chunk>& chunks) {
    if ((chunks.empty() ? 0 : chunks.back().offset + chunks.back().size) != size) {
        throw CodecError(CodecError::Kind::Unreadable,
                         "The file " + NameOf(file) + " changed while it was read.");
    }
}

}  // namespace

std::optional<FileDigest> MakeSegmentedDelta(const fs::path& oldFile, const fs::path& newFile,
                                             const fs::path& scratch, const ByteSink& out,
                                             const SegmentedDeltaOptions& options) {
    CheckLevel(options.level);
    CheckSizes(options.sizes);
    const std::uint64_t oldSize = SizeOf(oldFile), newSize = SizeOf(newFile);
    const std::vector<Chunk> oldChunks = ChunkFile(oldFile, options.sizes.chunks);
    const std::vector<Chunk> newChunks = ChunkFile(newFile, options.sizes.chunks);
    CheckChunked(oldFile, oldSize, oldChunks);
    CheckChunked(newFile, newSize, newChunks);
    std::vector<PlannedSegment> framed;
    std::vector<std::size_t> places;
    SegmentMap map =
        MapOf(PlanSegments(oldChunks, oldSize, newChunks, options.sizes), newSize, oldSize, framed, places);
    try {
        Spill spill(scratch);
        std::uint64_t total = FormatSegmentMap(map).size();
        Encoders encoders(EncodePlan(oldFile, newFile, framed, options));
        for (std::size_t k = 0; k < framed.size(); ++k) {
            const std::string frame = encoders.Take(k);
            total += frame.size();
            if (total > options.giveUpAbove) return std::nullopt;
            spill.Write(frame);
            map.segments[places[k]].frameSize = frame.size();
            encoders.Release(k);
        }
        return spill.SendAfter(FormatSegmentMap(map), out);
    } catch (const std::bad_alloc&) {
        throw CodecError(CodecError::Kind::NoMemory,
                         "Not enough memory to compress " + NameOf(newFile) + ".");
    } catch (const std::system_error&) {
        throw CodecError(CodecError::Kind::NoMemory,
                         "No thread could be started to compress " + NameOf(newFile) + ".");
    }
}
