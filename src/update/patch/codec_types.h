// What every part of the codec shares: its limits, its one error, where
// its output goes, and how much of the machine a segmented delta may take.
// The decoders (zstd_codec.h, segmented_apply.h, segment_map.h) and the
// operators' encoders all speak in these terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

// The largest window a compressed object may make the decoder hold: 2^27
// bytes (128 MiB, `zstd --long=27`). Objects are made with no larger window.
inline constexpr int kObjectWindowLog = 27;
// A single frame's window has to reach back over the old file: the updater
// accepts one up to the old file's size plus this much, so a new version may
// be this much larger than the old one.
inline constexpr std::uint64_t kDeltaGrowthBytes = 256ull << 20;
// zstd's largest window, 2 GiB: neither file of a single-frame delta may be
// larger (the limit of `zstd --patch-from`).
inline constexpr std::uint64_t kDeltaMostBytes = 1ull << 31;
// The largest old file and window of a single-frame delta the updater
// decodes: the mapped old file and the window together stay well inside
// the updater's memory. Deltas of larger files are segmented.
inline constexpr std::uint64_t kSingleFrameMostBytes = 128ull << 20;
// What the segments of a segmented delta under way may hold together.
inline constexpr std::uint64_t kApplyMemoryBudget = 192ull << 20;

// Why decoding or encoding stopped. what() is an English sentence for the
// operators' tool and for logs. The updater takes a failed decoding as a
// way that failed and tries the next (patch_rebuild.h).
class CodecError : public std::runtime_error {
public:
    enum class Kind {
        // The frame is not one this program accepts (not zstd, no checksum,
        // a window beyond the limit, bytes after the frame), is cut or
        // altered, rebuilds something else than it was made for (a delta
        // applied to another old file), or decodes to more than allowed.
        Damaged,
        // A file beyond what a single-frame delta can cover (kDeltaMostBytes
        // to make one, kSingleFrameMostBytes to decode one), or a new version
        // that outgrows its old one by more than kDeltaGrowthBytes.
        TooLarge,
        Unreadable,  // an input file or stream could not be read
        Unwritable,  // the output sink refused bytes
        NoMemory,
    };
    CodecError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Receives the output in order, a piece at a time (at most a few hundred
// KiB, so a caller may keep its window alive from here). Returns false when
// the bytes could not be kept (a full disk): the coding stops with
// CodecError::Kind::Unwritable. What it throws (RunCancelled) passes through.
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

// How a segmented delta is decoded: how many segments at once, and the
// memory they may hold together (a segment larger than that runs alone).
struct ApplyLimits {
    unsigned threads = 1;
    std::uint64_t memory = kApplyMemoryBudget;
};
