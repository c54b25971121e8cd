// What the targets of the zstd decoding share (update/patch/zstd_codec.h):
// an input is 4 bytes of `most` (little-endian; all ones for no limit) and
// what the decoder reads. CheckDecoding runs one decoding and checks its
// limits: nothing past `most` reaches the sink, the digest returned is that
// of what the sink received, no single allocation goes past the window
// accepted (plus zstd's block buffers), and nothing but CodecError escapes.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <limits>
#include <sstream>

#include "fuzz_support.h"
#include "update/patch/zstd_codec.h"
#include "update/trust/crypto.h"

namespace fuzz {

// More than a window's worth: zstd's two block buffers and their margins,
// its context, the decoder's input and output buffers.
inline constexpr std::uint64_t kBeyondWindow = 1024 * 1024;
// A sink that keeps going past this stops the decoding (Unwritable), so that
// a frame without a limit cannot make one run last long.
inline constexpr std::uint64_t kMostKept = 64ull << 20;

inline std::atomic<std::size_t> largestAllocation{0};

inline void WatchAllocation(const volatile void*, std::size_t size) {
    std::size_t largest = largestAllocation.load(std::memory_order_relaxed);
    while (size > largest && !largestAllocation.compare_exchange_weak(largest, size)) {
    }
}
// The sanitizers take a pair of hooks or none.
inline void WatchFree(const volatile void*) {}

struct CodecInput {
    std::uint64_t most = 0;
    std::string_view rest;
};

inline CodecInput ReadCodecInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return {0, {}};
    std::uint32_t most = 0;
    for (int k = 3; k >= 0; --k) most = most << 8 | data[k];
    return {most == 0xFFFFFFFF ? std::numeric_limits<std::uint64_t>::max() : most, Text(data + 4, size - 4)};
}

// decode(frame, sink) decodes the frame into sink and returns what the
// decoder reports. Only what it allocates is watched.
template <class Decode>
void CheckDecoding(std::string_view bytes, std::uint64_t most, std::uint64_t windowLimit, Decode decode) {
    static const bool watching = __sanitizer_install_malloc_and_free_hooks(&WatchAllocation, &WatchFree) != 0;
    FUZZ_CHECK(watching);
    std::istringstream frame{std::string(bytes)};
    Sha256 hash;
    std::uint64_t received = 0;
    const ByteSink sink = [&](const char* bytes, std::size_t count) {
        FUZZ_CHECK(count > 0 && count <= most - received);
        received += count;
        hash.Update(bytes, count);
        return received <= kMostKept;
    };
    largestAllocation = 0;
    try {
        const FileDigest digest = decode(frame, sink);
        FUZZ_CHECK(digest.size == received && digest.size <= most && digest.sha256 == hash.Finish());
    } catch (const CodecError& error) {
        FUZZ_CHECK(error.kind() != CodecError::Kind::Unwritable || received > kMostKept);
        FUZZ_CHECK(error.kind() != CodecError::Kind::TooLarge &&
                   error.kind() != CodecError::Kind::Unreadable);
    }
    FUZZ_CHECK(largestAllocation <= windowLimit + kBeyondWindow);
}

}  // namespace fuzz
