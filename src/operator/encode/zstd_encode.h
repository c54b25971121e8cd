// Making the compressed objects and deltas that update/patch/zstd_codec.h
// decodes: the operators' tool only, never the updater.
#pragma once

#include <filesystem>

#include "update/patch/zstd_codec.h"

// The level the operators' tool compresses at unless told otherwise.
inline constexpr int kDefaultCompressionLevel = 19;

// `level`: zstd's compression level, 1 to 22 (ZSTD_maxCLevel()); others
// throw std::invalid_argument. Each returns the size and SHA-256 of the frame
// written to out, so the caller keeps the smaller of a delta and an object.

// Compresses file into a compressed object, with long-distance matching
// over a window of at most 2^kObjectWindowLog. A file of kObjectWorkersBytes
// or more is compressed by `threads` of zstd's workers (at most
// kObjectWorkersMost), where the zstd linked has them. Each holds its own
// match tables and jobs of 64 MiB: at level 19, 230 MiB for one thread,
// 560 MiB with 2 workers, 790 MiB with 4. Throws CodecError.
inline constexpr std::uint64_t kObjectWorkersBytes = 64ull << 20;
inline constexpr unsigned kObjectWorkersMost = 4;
FileDigest CompressObject(const std::filesystem::path& file, const ByteSink& out, int level,
                          unsigned threads = 1);

// Makes the delta that rebuilds newFile from oldFile, as
// `zstd --patch-from=oldFile --long` does: the old file (mapped) is the
// prefix and the window covers both files. Either file beyond
// kDeltaMostBytes, or a new file larger than the old one by more than
// kDeltaGrowthBytes, is refused before anything is read: TooLarge. Throws
// CodecError.
FileDigest MakeDelta(const std::filesystem::path& oldFile, const std::filesystem::path& newFile,
                     const ByteSink& out, int level);
