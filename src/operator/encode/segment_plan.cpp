#include "operator/encode/segment_plan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>

#include "update/patch/segment_map.h"

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

struct Run {
    std::uint64_t newOffset = 0;
    std::uint64_t newSize = 0;
    bool copied = false;
    std::uint64_t oldOffset = 0;  // copied runs
};

struct DigestHash {
    std::size_t operator()(const Sha256Digest& digest) const {
        std::size_t value = 0;
        std::memcpy(&value, digest.data(), sizeof value);
        return value;
    }
};

// The runs of new chunks the old file has (copied) and has not (changed).
std::vector<Run> MatchRuns(const std::vector<Chunk>& oldChunks, const std::vector<Chunk>& newChunks) {
    std::unordered_map<Sha256Digest, std::size_t, DigestHash> index;
    index.reserve(oldChunks.size());
    for (std::size_t k = 0; k < oldChunks.size(); ++k) index.emplace(oldChunks[k].digest, k);
    const auto same = [](const Chunk& a, const Chunk& b) { return a.size == b.size && a.digest == b.digest; };

    std::vector<Run> runs;
    std::size_t previous = kNone;
    for (const Chunk& chunk : newChunks) {
        std::size_t match = kNone;
        if (previous != kNone && previous + 1 < oldChunks.size() && same(oldChunks[previous + 1], chunk)) {
            match = previous + 1;
        } else if (const auto found = index.find(chunk.digest);
                   found != index.end() && same(oldChunks[found->second], chunk)) {
            match = found->second;
        }
        previous = match;
        const bool copied = match != kNone;
        const std::uint64_t oldOffset = copied ? oldChunks[match].offset : 0;
        if (!runs.empty() && runs.back().copied == copied &&
            (!copied || runs.back().oldOffset + runs.back().newSize == oldOffset)) {
            runs.back().newSize += chunk.size;
        } else {
            runs.push_back({chunk.offset, chunk.size, copied, oldOffset});
        }
    }
    return runs;
}

// A copy shorter than `shortest` between two changed runs joins them into
// one: its bytes cost next to nothing in a frame whose old range holds them.
std::vector<Run> JoinShortCopies(const std::vector<Run>& runs, std::uint64_t shortest) {
    std::vector<Run> joined;
    for (const Run& run : runs) {
        const std::size_t n = joined.size();
        if (!run.copied && n >= 2 && joined[n - 1].copied && joined[n - 1].newSize < shortest &&
            !joined[n - 2].copied) {
            joined[n - 2].newSize += joined[n - 1].newSize + run.newSize;
            joined.pop_back();
        } else {
            joined.push_back(run);
        }
    }
    return joined;
}

// [begin, end) of the old file, clamped to it; when longer than `most`, the
// `most` bytes around its middle.
PlannedSegment OldRange(PlannedSegment segment, std::int64_t begin, std::int64_t end, std::uint64_t oldSize,
                        std::uint64_t most) {
    const auto size = static_cast<std::int64_t>(oldSize);
    if (end - begin > static_cast<std::int64_t>(most)) {
        const std::int64_t middle = begin + (end - begin) / 2;
        begin = middle - static_cast<std::int64_t>(most / 2);
        end = begin + static_cast<std::int64_t>(most);
        if (begin < 0) end -= begin, begin = 0;
        if (end > size) begin -= end - size, end = size;
    }
    begin = std::clamp<std::int64_t>(begin, 0, size);
    end = std::clamp<std::int64_t>(end, begin, size);
    segment.oldOffset = static_cast<std::uint64_t>(begin);
    segment.oldSize = static_cast<std::uint64_t>(end - begin);
    return segment;
}

// Cuts [offset, offset + size) of the new file into segments of at most
// sizes.mostSegment, each starting from the old bytes at the same place of
// [oldBegin, oldEnd), widened by a margin.
void CutAlong(std::uint64_t offset, std::uint64_t size, std::int64_t oldBegin, std::int64_t oldEnd,
              std::uint64_t oldSize, const SegmentSizes& sizes, std::vector<PlannedSegment>& out) {
    if (size == 0) return;
    const std::uint64_t pieces = (size + sizes.mostSegment - 1) / sizes.mostSegment;
    const long double scale = static_cast<long double>(oldEnd - oldBegin) / static_cast<long double>(size);
    std::uint64_t at = 0;
    for (std::uint64_t k = 0; k < pieces; ++k) {
        const std::uint64_t piece = size / pieces + (k < size % pieces ? 1 : 0);
        // One piece has its old bytes in the range. Of several, each lies
        // where it lies in the range, give or take half its size.
        const auto margin = static_cast<std::int64_t>(
            std::max<std::uint64_t>(sizes.chunks.least, pieces == 1 ? 0 : piece / 2));
        const auto begin = oldBegin + static_cast<std::int64_t>(static_cast<long double>(at) * scale);
        const auto end = oldBegin + static_cast<std::int64_t>(static_cast<long double>(at + piece) * scale);
        out.push_back(OldRange({offset + at, piece, 0, 0, false}, begin - margin, end + margin, oldSize,
                               sizes.mostReference));
        at += piece;
    }
}

// The segments of one changed run between the copies that end at old offset
// `before` and start at `after` (0 and the old size where there is none).
void CutChangedRun(const Run& run, std::optional<std::uint64_t> before, std::optional<std::uint64_t> after,
                   std::uint64_t oldSize, const SegmentSizes& sizes, std::vector<PlannedSegment>& out) {
    const auto begin = static_cast<std::int64_t>(before.value_or(0));
    const auto end = static_cast<std::int64_t>(after.value_or(oldSize));
    // In place, the old bytes between the copies are those the run replaced;
    // with no copy at all, the whole old file is.
    if ((!before && !after) ||
        (end >= begin && static_cast<std::uint64_t>(end - begin) <= 2 * run.newSize + sizes.mostSegment)) {
        CutAlong(run.newOffset, run.newSize, begin, end, oldSize, sizes, out);
        return;
    }
    // The copies around were moved, or much was removed: the run's head most
    // likely goes on from where the copy before it ends, its tail leads to
    // where the copy after it starts; a run at an end of the file has one of
    // them only.
    const std::uint64_t head = !before ? 0 : !after ? run.newSize : run.newSize / 2;
    const std::uint64_t tail = run.newSize - head;
    CutAlong(run.newOffset, head, begin, begin + static_cast<std::int64_t>(head), oldSize, sizes, out);
    CutAlong(run.newOffset + head, tail, end - static_cast<std::int64_t>(tail), end, oldSize, sizes, out);
}

}  // namespace

SegmentSizes ScaledSegmentSizes(std::uint64_t segment) {
    segment = std::clamp<std::uint64_t>(segment, 4 << 10, kSegmentMostBytes);
    SegmentSizes sizes;
    sizes.chunks.average = std::bit_floor(static_cast<std::size_t>(segment / 4));
    sizes.chunks.least = sizes.chunks.average / 4;
    sizes.chunks.most = sizes.chunks.average * 4;
    sizes.mostSegment = segment;
    sizes.mostReference = std::min(4 * segment, kReferenceMostBytes);
    return sizes;
}

std::vector<PlannedSegment> PlanSegments(const std::vector<Chunk>& oldChunks, std::uint64_t oldSize,
                                         const std::vector<Chunk>& newChunks, const SegmentSizes& sizes) {
    const std::vector<Run> runs = JoinShortCopies(MatchRuns(oldChunks, newChunks),
                                                  2 * static_cast<std::uint64_t>(sizes.chunks.average));
    std::vector<PlannedSegment> segments;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const Run& run = runs[k];
        if (run.copied) {
            segments.push_back({run.newOffset, run.newSize, run.oldOffset, run.newSize, true});
            continue;
        }
        std::optional<std::uint64_t> before, after;
        if (k > 0) before = runs[k - 1].oldOffset + runs[k - 1].newSize;
        if (k + 1 < runs.size()) after = runs[k + 1].oldOffset;
        CutChangedRun(run, before, after, oldSize, sizes, segments);
    }
    return segments;
}
