// Content-defined chunking, as FastCDC does it (Xia et al., USENIX ATC 2016):
// a chunk ends where a rolling "gear" hash of the last bytes has its top bits
// at zero, so a boundary depends only on the bytes around it. Data inserted
// or removed moves the boundaries of the chunks it touches, and the chunks
// after it are the same as before: the chunks two versions of a file share
// show what did not change, wherever it moved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "update/trust/crypto.h"

struct ChunkSizes {
    std::size_t least = 64 << 10;     // no boundary before this
    std::size_t average = 256 << 10;  // a power of two: the chunks' usual size
    std::size_t most = 1 << 20;       // a boundary here at the latest
};

struct Chunk {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    Sha256Digest digest{};
};

// The length of the chunk that starts at data[0]; `size`: the bytes at hand
// (all that is left of the file, or at least sizes.most).
std::size_t ChunkLength(const unsigned char* data, std::size_t size, const ChunkSizes& sizes);

// Every chunk of `file` in order, each with the SHA-256 of its bytes: reads
// the file once, through a buffer of a few MiB. Throws CodecError
// (Unreadable).
std::vector<Chunk> ChunkFile(const std::filesystem::path& file, const ChunkSizes& sizes);
