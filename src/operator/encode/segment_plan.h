// How a segmented delta (update/patch/segment_map.h) cuts the new file:
// from the content-defined chunks of both files, the runs of new chunks
// that the old file has (copied, no byte in the delta) and the runs it does
// not (changed: encoded over a bounded range of the old file). Pure: what
// the files hold comes in as their chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "operator/encode/chunking.h"

// The sizes a segmented delta is made with. The product uses the defaults;
// tests make small ones to cut files of a few MB into many segments.
struct SegmentSizes {
    ChunkSizes chunks;
    // The new bytes of one changed segment: a longer changed run is cut.
    std::uint64_t mostSegment = 8 << 20;
    // The old range one changed segment starts from. Its decoder holds both
    // (at most kSegmentMostBytes and kReferenceMostBytes).
    std::uint64_t mostReference = 24 << 20;
};

// Sizes scaled down to segments of `segment` bytes (at least 4 KiB): chunks
// of a quarter of that on average, old ranges of four segments.
SegmentSizes ScaledSegmentSizes(std::uint64_t segment);

struct PlannedSegment {
    std::uint64_t newOffset = 0;
    std::uint64_t newSize = 0;
    std::uint64_t oldOffset = 0;
    std::uint64_t oldSize = 0;
    bool copied = false;
    bool operator==(const PlannedSegment&) const = default;
};

// The segments that make the new file (cut into newChunks), in order, from
// the old file (oldSize bytes, cut into oldChunks).
//
// A new chunk the old file has is copied from it, from the old chunk that
// follows the one copied just before when that one matches, so that a run
// stays one copy. A short copy between two changed runs joins them, for a
// map a few entries a change. A changed run is cut into segments of at most
// sizes.mostSegment. When the old bytes between the copies around it are
// about as many as its own (it replaced them), each segment starts from the
// part of them at the same place; else (the copies moved, or much was
// removed) the run's first half from the old bytes after the copy before it,
// its second half from those before the copy after it. Old ranges are
// widened by a margin against drift and cut to sizes.mostReference.
std::vector<PlannedSegment> PlanSegments(const std::vector<Chunk>& oldChunks, std::uint64_t oldSize,
                                         const std::vector<Chunk>& newChunks, const SegmentSizes& sizes);
