#include "update/patch/zstd_codec.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include <thread>

#include "update/formats/repository.h"
#include "update/patch/segment_map.h"
#include "update/patch/segmented_apply.h"
#include "update/patch/zstd_frame.h"
#include "update/trust/crypto.h"

namespace {

struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// What a frame declares, checked before zstd allocates anything for it.
void CheckHeader(std::string_view first, const std::string& what, std::uint64_t windowLimit,
                 std::uint64_t most) {
    const FrameHeader header = ReadFrameHeader(first, what);
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

// Decodes the one frame that `in` holds into out: `prefix` is a delta's old
// file (empty for an object), `windowLimit` the largest window accepted;
// `head`: the first bytes of the frame, when the caller has read them already.
FileDigest Decode(std::istream& in, const ByteSink& out, std::uint64_t most, std::string_view prefix,
                  std::uint64_t windowLimit, bool delta, std::string_view head = {}) {
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
        const std::size_t given = first ? head.copy(input.data(), input.size()) : 0;
        in.read(input.data() + given, static_cast<std::streamsize>(input.size() - given));
        if (in.bad()) throw CodecError(CodecError::Kind::Unreadable, "The " + what + " could not be read.");
        const auto got = given + static_cast<std::size_t>(in.gcount());
        if (first) CheckHeader(std::string_view(input.data(), got), what, windowLimit, most);
        first = false;
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

ApplyLimits DefaultApplyLimits() {
    return ApplyLimits{std::max(std::thread::hardware_concurrency(), 1u), kApplyMemoryBudget};
}

FileDigest ApplyDelta(GameFolder& folder, const std::string& oldFile, std::istream& delta,
                      const ByteSink& out, std::uint64_t most, const ApplyLimits& limits) {
    const auto unreadable = [&] {
        return CodecError(CodecError::Kind::Unreadable, "The old file " + oldFile + " could not be read.");
    };
    // The size is looked at before any mapping, which would need all of it.
    const Result<FileInfo> info = folder.Inspect(oldFile, Links::Followed);
    if (!info.ok() || info->kind != FileKind::Regular) throw unreadable();
    const std::uint64_t oldSize = info->size;
    char magic[4];
    delta.read(magic, sizeof magic);
    if (delta.bad()) throw CodecError(CodecError::Kind::Unreadable, "The delta could not be read.");
    const std::string_view head(magic, static_cast<std::size_t>(delta.gcount()));
    try {
        if (head.size() == 4 &&
            LittleEndian(reinterpret_cast<const unsigned char*>(head.data()), 4) == kSegmentMapMagic) {
            const SegmentMap map = ReadSegmentMap(delta, oldSize, most);
            return ApplySegments(folder, oldFile, map, delta, out, limits);
        }
        const auto tooLarge = [&] {
            return CodecError(CodecError::Kind::TooLarge, "The old file " + oldFile + " is larger than the " +
                                                              Bytes(kSingleFrameMostBytes) +
                                                              " a single-frame delta may start from.");
        };
        if (oldSize > kSingleFrameMostBytes) throw tooLarge();
        const Result<std::unique_ptr<MappedFile>> old = folder.Map(oldFile);
        if (!old.ok() && old.error().code() == std::errc::not_enough_memory) {
            throw CodecError(CodecError::Kind::NoMemory, "Not enough address space to map " + oldFile + ".");
        }
        if (!old.ok()) throw unreadable();
        const std::string_view bytes = (*old)->Bytes();
        if (bytes.size() > kSingleFrameMostBytes) throw tooLarge();
        const std::uint64_t windowLimit = std::min(bytes.size() + kDeltaGrowthBytes, kSingleFrameMostBytes);
        return Decode(delta, out, std::min(most, kDeltaMostBytes), bytes, windowLimit, true, head);
    } catch (const std::bad_alloc&) {
        throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to decode the delta.");
    }
}

FileDigest ApplyDelta(const std::filesystem::path& oldFile, std::istream& delta, const ByteSink& out,
                      std::uint64_t most, const ApplyLimits& limits) {
    const std::filesystem::path path = std::filesystem::absolute(oldFile);
    const std::unique_ptr<GameFolder> folder = OpenFolder(path.parent_path());
    return ApplyDelta(*folder, PathText(path.filename()), delta, out, most, limits);
}
