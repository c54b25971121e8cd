// A segmented delta: what rebuilds the new version of a file of any size from
// its old version a bounded piece at a time, so that neither side ever holds
// a window as large as the file (a single patch-from frame does, and zstd's
// windows end at 2 GiB).
//
// The new file is cut into segments, in order. A segment that did not change
// is copied from the old file and costs no byte of the delta; a changed one
// is a zstd frame whose prefix is a bounded range of the old file (zstd's
// "patch-from" over that range only). The delta file, little-endian:
//
//   a zstd skippable frame (RFC 8878, 3.1.2) holding the map:
//     u32 kSegmentMapMagic, u32 the map's length, then
//     "KSEG", u32 format (1), u64 new file's size, u64 old file's size,
//     u64 segment count, and for each segment four u64:
//       new size    the bytes it makes, never 0
//       old offset  where its old bytes start
//       old size    copied: equal to the new size; a frame: its prefix's size
//       frame size  0: copied; else the size of its frame
//   then the frame of every segment whose frame size is not 0, in order.
//
// The skippable frame comes first on purpose: an updater that only knows
// single-frame deltas stops at the first four bytes ("not a zstd frame"),
// counts the delta as damaged and fetches the compressed object instead,
// as it does for any delta that does not rebuild. No line of the signed
// metadata changes: a segmented delta is listed like any other.
//
// The map is checked as hostile input before anything else is read or
// allocated: every range inside the old file, every count and sum without
// overflow, the segments' sizes adding up to the declared size.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "update/patch/codec_types.h"

// One of the 16 magic numbers zstd leaves to skippable frames (0x184D2A5?).
inline constexpr std::uint32_t kSegmentMapMagic = 0x184D2A5B;

// What one segment may make its decoder hold, whatever the file's size:
// its new bytes and the old range it starts from (its frame is at most
// ZSTD_compressBound of the new bytes).
inline constexpr std::uint64_t kSegmentMostBytes = 32ull << 20;
inline constexpr std::uint64_t kReferenceMostBytes = 128ull << 20;
// Far beyond what a 64 GiB file needs (a copy and a frame for every 128 KiB).
inline constexpr std::uint64_t kMostSegments = 1ull << 20;

struct Segment {
    std::uint64_t newSize = 0;
    std::uint64_t oldOffset = 0;
    std::uint64_t oldSize = 0;
    std::uint64_t frameSize = 0;  // 0: copied from the old file
    bool Copied() const { return frameSize == 0; }
    bool operator==(const Segment&) const = default;
};

struct SegmentMap {
    std::uint64_t newSize = 0;
    std::uint64_t oldSize = 0;
    std::vector<Segment> segments;
    bool operator==(const SegmentMap&) const = default;
};

// The skippable frame that carries the map, magic and length included.
std::string FormatSegmentMap(const SegmentMap& map);

// The map from its skippable frame's content (after the magic and the
// length), checked against the old file it is applied to (oldSize bytes)
// and `most`, the largest output accepted. Throws CodecError: Damaged for a
// map that is malformed, does not add up or reaches outside the old file,
// and for an old file of another size than the one the delta was made from.
SegmentMap ParseSegmentMap(std::string_view content, std::uint64_t oldSize, std::uint64_t most);

// Reads the map's frame from `in`, which has just given kSegmentMapMagic:
// its length first, refused before anything is allocated when no map of
// kMostSegments could be that long. Then as ParseSegmentMap.
SegmentMap ReadSegmentMap(std::istream& in, std::uint64_t oldSize, std::uint64_t most);
