#include "update/patch/zstd_codec.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "player_texts.h"
#include "update/formats/repository.h"
#include "update/trust/crypto.h"

namespace {

struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string Bytes(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// What the frame header (RFC 8878, 3.1.1.1) declares, read before zstd
// allocates anything for the frame.
struct FrameHeader {
    std::uint64_t window = 0;
    std::optional<std::uint64_t> contentSize;
    bool checksum = false;
};

constexpr std::uint32_t kFrameMagic = 0xFD2FB528;
constexpr std::size_t kLongestFrameHeader = 18;

std::uint64_t LittleEndian(const unsigned char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t k = count; k-- > 0;) value = (value << 8) | bytes[k];
    return value;
}

// `first`: the first bytes of the input (all of it when it is shorter than
// a longest header).
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

[[noreturn]] void ThrowDecodeError(std::size_t code, const std::string& what, bool delta) {
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

// Decodes the one frame that `in` holds into out: `prefix` is a delta's old
// file (empty for an object), `windowLimit` the largest window accepted.
FileDigest Decode(std::istream& in, const ByteSink& out, std::uint64_t most, std::string_view prefix,
                  std::uint64_t windowLimit, bool delta) {
    const std::string what = delta ? "delta" : "compressed object";
    const std::unique_ptr<ZSTD_DCtx, FreeDCtx> context(ZSTD_createDCtx());
    if (!context)
        throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to decode the " + what + ".");
    // zstd's own guard behind the header's check below: no window past the
    // limit's power of two, whatever a frame declares.
    std::size_t status =
        ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, WindowLogFor(windowLimit));
    if (!ZSTD_isError(status) && !prefix.empty()) {
        // Referenced, not copied: the mapping outlives the frame.
        status = ZSTD_DCtx_refPrefix(context.get(), prefix.data(), prefix.size());
    }
    if (ZSTD_isError(status)) ThrowDecodeError(status, what, delta);

    std::vector<char> input(std::max(ZSTD_DStreamInSize(), kLongestFrameHeader));
    std::vector<char> output(ZSTD_DStreamOutSize());
    Sha256 hash;
    std::uint64_t written = 0;
    bool first = true, ended = false;
    for (;;) {
        in.read(input.data(), static_cast<std::streamsize>(input.size()));
        if (in.bad()) throw CodecError(CodecError::Kind::Unreadable, "The " + what + " could not be read.");
        const auto got = static_cast<std::size_t>(in.gcount());
        if (first) {
            first = false;
            const FrameHeader header = ReadFrameHeader(std::string_view(input.data(), got), what);
            if (!header.checksum) {
                throw CodecError(CodecError::Kind::Damaged, "The " + what + " carries no content checksum.");
            }
            if (header.window > windowLimit) {
                throw CodecError(CodecError::Kind::Damaged, "The " + what + " declares a window of " +
                                                                Bytes(header.window) + ", more than the " +
                                                                Bytes(windowLimit) + " accepted.");
            }
            if (header.contentSize && *header.contentSize > most) {
                throw CodecError(CodecError::Kind::Damaged,
                                 "The " + what + " declares " + Bytes(*header.contentSize) +
                                     " of content, more than the " + Bytes(most) + " expected.");
            }
        }
        if (got == 0) break;
        ZSTD_inBuffer from{input.data(), got, 0};
        bool full = false;
        do {
            if (ended)
                throw CodecError(CodecError::Kind::Damaged, "The " + what + " goes on after its frame.");
            ZSTD_outBuffer to{output.data(), output.size(), 0};
            const std::size_t left = ZSTD_decompressStream(context.get(), &to, &from);
            if (ZSTD_isError(left)) ThrowDecodeError(left, what, delta);
            if (to.pos > most - written) {
                throw CodecError(CodecError::Kind::Damaged,
                                 "The " + what + " decodes to more than the " + Bytes(most) + " expected.");
            }
            if (to.pos > 0) {
                hash.Update(output.data(), to.pos);
                written += to.pos;
                if (!out(output.data(), to.pos)) {
                    throw CodecError(CodecError::Kind::Unwritable,
                                     "The output of the " + what + " could not be written.");
                }
            }
            ended = left == 0;
            // A full output may leave more in zstd's buffers, even with no input left.
            full = to.pos == to.size;
        } while (from.pos < from.size || (full && !ended));
    }
    if (!ended) throw CodecError(CodecError::Kind::Damaged, "The " + what + " is cut short.");
    return FileDigest{written, hash.Finish()};
}

}  // namespace

UpdateFailure PlayerFailure(const CodecError& error, std::string_view entry) {
    switch (error.kind()) {
        case CodecError::Kind::Unreadable:
            return UpdateFailure(texts::CannotRead(Printable(entry)));
        case CodecError::Kind::Unwritable:
            return UpdateFailure(texts::CannotWrite(Printable(entry)));
        case CodecError::Kind::NoMemory:
            return UpdateFailure(texts::NoMemory());
        case CodecError::Kind::Damaged:
        case CodecError::Kind::TooLarge:
            break;
    }
    return UpdateFailure(texts::Altered(Printable(entry)));
}

int WindowLogFor(std::uint64_t bytes) {
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (std::uint64_t{1} << log) < bytes) ++log;
    return log;
}

FileDigest DecompressObject(std::istream& compressed, const ByteSink& out, std::uint64_t most) {
    try {
        return Decode(compressed, out, most, {}, std::uint64_t{1} << kObjectWindowLog, false);
    } catch (const std::bad_alloc&) {
        throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to decode the compressed object.");
    }
}

FileDigest ApplyDelta(GameFolder& folder, const std::string& oldFile, std::istream& delta,
                      const ByteSink& out, std::uint64_t most) {
    const auto tooLarge = [&] {
        return CodecError(CodecError::Kind::TooLarge,
                          "The old file " + oldFile + " is larger than the 2 GiB a delta can start from.");
    };
    const CodecError unreadable(CodecError::Kind::Unreadable,
                                "The old file " + oldFile + " could not be read.");
    // The size is looked at before the mapping, which would need all of it.
    const Result<FileInfo> info = folder.Inspect(oldFile, Links::Followed);
    if (!info.ok() || info->kind != FileKind::Regular) throw unreadable;
    if (info->size > kDeltaMostBytes) throw tooLarge();
    const Result<std::unique_ptr<MappedFile>> old = folder.Map(oldFile);
    if (!old.ok()) throw unreadable;
    if ((*old)->Bytes().size() > kDeltaMostBytes) throw tooLarge();
    const std::uint64_t windowLimit = std::min((*old)->Bytes().size() + kDeltaGrowthBytes, kDeltaMostBytes);
    try {
        return Decode(delta, out, most, (*old)->Bytes(), windowLimit, true);
    } catch (const std::bad_alloc&) {
        throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to decode the delta.");
    }
}
