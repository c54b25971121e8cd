// Making a segmented delta (update/patch/segment_map.h): the operators' side
// of what the updater decodes in update/patch/segmented_apply.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "operator/encode/segment_plan.h"
#include "operator/encode/zstd_encode.h"

struct SegmentedDeltaOptions {
    int level = kDefaultCompressionLevel;
    SegmentSizes sizes;
    // Segments encoded at once, at most; fewer when their zstd contexts and
    // buffers would not fit in `memory`.
    unsigned threads = 1;
    std::uint64_t memory = 768ull << 20;
    // A delta that would be larger is given up.
    std::uint64_t giveUpAbove = UINT64_MAX;
};

// Makes the segmented delta that rebuilds newFile from oldFile into out:
// chunks both files (ChunkFile), plans the segments (PlanSegments), encodes
// each changed segment as a patch-from frame over its old range on several
// threads, and writes the map, then the frames. The frames wait in
// `scratch` (a file made and removed here) until the map is known. Memory:
// `memory` and the two files' chunk lists (about 50 bytes for every 256 KiB),
// whatever the files' sizes. Returns the delta's size and SHA-256, or
// nothing when it would be larger than giveUpAbove. Throws CodecError;
// std::invalid_argument for a level or sizes out of bounds.
std::optional<FileDigest> MakeSegmentedDelta(const std::filesystem::path& oldFile,
                                             const std::filesystem::path& newFile,
                                             const std::filesystem::path& scratch, const ByteSink& out,
                                             const SegmentedDeltaOptions& options);
