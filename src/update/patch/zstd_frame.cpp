#include "update/patch/zstd_frame.h"

#include <zstd.h>
#include <zstd_errors.h>

#include "update/patch/codec_types.h"

std::string Bytes(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::uint64_t LittleEndian(const unsigned char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t k = count; k-- > 0;) value = (value << 8) | bytes[k];
    return value;
}

FrameHeader ReadFrameHeader(std::string_view first, const std::string& what) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(first.data());
    const auto cut = [&] { return CodecError(CodecError::Kind::Damaged, "The " + what + " is cut short."); };
    if (first.size() < 4)
        throw first.empty() ? CodecError(CodecError::Kind::Damaged, "The " + what + " is empty.") : cut();
    if (LittleEndian(bytes, 4) != kFrameMagic) {
        throw CodecError(CodecError::Kind::Damaged, "The " + what + " is not a zstd frame.");
    }
    if (first.size() < 5) throw cut();
    const unsigned descriptor = bytes[4];
    const bool singleSegment = descriptor & 0x20;
    const unsigned sizeFlag = descriptor >> 6;
    static constexpr std::size_t kDictionaryIdBytes[] = {0, 1, 2, 4};
    const std::size_t contentSizeBytes = sizeFlag == 0 ? (singleSegment ? 1 : 0) : std::size_t{1} << sizeFlag;
    const std::size_t length =
        5 + (singleSegment ? 0 : 1) + kDictionaryIdBytes[descriptor & 3] + contentSizeBytes;
    if (first.size() < length) throw cut();

    FrameHeader header;
    header.checksum = descriptor & 0x04;
    if (contentSizeBytes > 0) {
        std::uint64_t size = LittleEndian(bytes + length - contentSizeBytes, contentSizeBytes);
        if (contentSizeBytes == 2) size += 256;
        header.contentSize = size;
    }
    if (singleSegment) {
        header.window = *header.contentSize;
    } else {
        const unsigned exponent = bytes[5] >> 3, mantissa = bytes[5] & 7;
        const std::uint64_t base = std::uint64_t{1} << (10 + exponent);
        header.window = base + base / 8 * mantissa;
    }
    return header;
}

void ThrowDecodeError(std::size_t code, const std::string& what, bool delta) {
    switch (ZSTD_getErrorCode(code)) {
        case ZSTD_error_memory_allocation:
            throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to decode the " + what + ".");
        case ZSTD_error_checksum_wrong:
            throw CodecError(
                CodecError::Kind::Damaged,
                "The " + what + " does not rebuild what it was made from (its checksum differs)" +
                    (delta ? ": it was made from another old file, or it is damaged." : ": it is damaged."));
        case ZSTD_error_frameParameter_windowTooLarge:
            throw CodecError(CodecError::Kind::Damaged,
                             "The " + what + " declares a larger window than this program accepts.");
        default:
            throw CodecError(CodecError::Kind::Damaged,
                             "The " + what + " is damaged (zstd: " + ZSTD_getErrorName(code) + ").");
    }
}
