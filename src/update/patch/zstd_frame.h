// What both decoders (a single frame, a segmented delta's frames) check of a
// zstd frame before zstd allocates anything for it, and how zstd's errors
// become CodecError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a frame header (RFC 8878, 3.1.1.1) declares.
struct FrameHeader {
    std::uint64_t window = 0;
    std::optional<std::uint64_t> contentSize;
    bool checksum = false;
};

inline constexpr std::uint32_t kFrameMagic = 0xFD2FB528;
inline constexpr std::size_t kLongestFrameHeader = 18;

// The value of `count` little-endian bytes.
std::uint64_t LittleEndian(const unsigned char* bytes, std::size_t count);

// `first`: the first bytes of the input (all of it when it is shorter than
// a longest header); `what` names the input in messages ("delta"). Throws
// CodecError (Damaged) when they are no zstd frame header or are cut short.
FrameHeader ReadFrameHeader(std::string_view first, const std::string& what);

// Throws the CodecError for zstd's error `code` met while decoding `what`;
// `delta`: a wrong checksum then says the delta was made from another file.
[[noreturn]] void ThrowDecodeError(std::size_t code, const std::string& what, bool delta);

// "1 byte", "12 bytes".
std::string Bytes(std::uint64_t count);
