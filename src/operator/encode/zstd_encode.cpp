// Making compressed objects and deltas: the operators' side of
// zstd_codec.h, apart from the decoding so that the updater does not carry
// zstd's compressor.
#include "operator/encode/zstd_encode.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "operator/encode/encode_checks.h"
#include "storage/storage.h"
#include "update/trust/crypto.h"

namespace {

namespace fs = std::filesystem;

struct FreeCCtx {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// One frame of `file` (size bytes) through a context set up by the caller.
FileDigest Compress(ZSTD_CCtx* context, const fs::path& file, std::uint64_t size, const ByteSink& out) {
    Check(ZSTD_CCtx_setPledgedSrcSize(context, size), file);
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) throw Unreadable(file);
    std::vector<char> input(ZSTD_CStreamInSize());
    std::vector<char> output(ZSTD_CStreamOutSize());
    Sha256 hash;
    std::uint64_t written = 0;
    for (;;) {
        in.read(input.data(), static_cast<std::streamsize>(input.size()));
        if (in.bad()) throw Unreadable(file);
        const bool last = in.eof();
        ZSTD_inBuffer from{input.data(), static_cast<std::size_t>(in.gcount()), 0};
        bool done = false;
        while (!done) {
            ZSTD_outBuffer to{output.data(), output.size(), 0};
            const std::size_t left =
                ZSTD_compressStream2(context, &to, &from, last ? ZSTD_e_end : ZSTD_e_continue);
            Check(left, file);
            if (to.pos > 0) {
                hash.Update(output.data(), to.pos);
                written += to.pos;
                if (!out(output.data(), to.pos)) {
                    throw CodecError(CodecError::Kind::Unwritable,
                                     "The compressed form of " + NameOf(file) + " could not be written.");
                }
            }
            done = last ? left == 0 : from.pos == from.size;
        }
        if (last) break;
    }
    return FileDigest{written, hash.Finish()};
}

// A context for `level` with the settings both forms share: long-distance
// matching, the content checksum and size, the window given.
std::unique_ptr<ZSTD_CCtx, FreeCCtx> Context(int level, int windowLog, const fs::path& file) {
    std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (!context) {
        throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to compress " + NameOf(file) + ".");
    }
    ZSTD_CCtx* c = context.get();
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), file);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), file);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog), file);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), file);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), file);
    return context;
}

}  // namespace

FileDigest CompressObject(const fs::path& file, const ByteSink& out, int level, unsigned threads) {
    CheckLevel(level);
    try {
        const std::uint64_t size = SizeOf(file);
        const auto context = Context(level, std::min(WindowLogFor(size), kObjectWindowLog), file);
        // A zstd built without its workers refuses the setting: one thread then.
        if (threads > 1 && size >= kObjectWorkersBytes) {
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers,
                                   static_cast<int>(std::min(threads, kObjectWorkersMost)));
        }
        return Compress(context.get(), file, size, out);
    } catch (const std::bad_alloc&) {
        throw CodecError(CodecError::Kind::NoMemory, "Not enough memory to compress " + NameOf(file) + ".");
    }
}

FileDigest MakeDelta(const fs::path& oldFile, const fs::path& newFile, const ByteSink& out, int level) {
    CheckLevel(level);
    const std::uint64_t oldSize = SizeOf(oldFile), newSize = SizeOf(newFile);
    for (const auto& [file, size] : {std::pair{oldFile, oldSize}, std::pair{newFile, newSize}}) {
        if (size > kDeltaMostBytes) {
            throw CodecError(CodecError::Kind::TooLarge, "The file " + NameOf(file) + " is larger than the " +
                                                             "2 GiB a delta can cover: publish it whole.");
        }
    }
    if (newSize > oldSize + kDeltaGrowthBytes) {
        throw CodecError(CodecError::Kind::TooLarge,
                         "The file " + NameOf(newFile) + " is more than 256 MiB larger than " +
                             NameOf(oldFile) + ", more than a delta may grow: publish it whole.");
    }
    try {
        const fs::path path = fs::absolute(oldFile);
        const Result<std::unique_ptr<MappedFile>> mapped =
            OpenFolder(path.parent_path())->Map(NameOf(path.filename()));
        if (!mapped.ok()) throw Unreadable(oldFile);
        const std::unique_ptr<MappedFile>& old = *mapped;
        if (old->Bytes().size() != oldSize) {
            throw CodecError(CodecError::Kind::Unreadable,
                             "The file " + NameOf(oldFile) + " changed size while it was read.");
        }
        // The window covers the old file and the new one, as far as zstd
        // goes: the whole new file then lies in one window, which the frame
        // declares as its content size (at most the old file's size plus
        // kDeltaGrowthBytes, what the updater accepts).
        const auto context = Context(level, WindowLogFor(oldSize + newSize), newFile);
        Check(ZSTD_CCtx_refPrefix(context.get(), old->Bytes().data(), old->Bytes().size()), newFile);
        return Compress(context.get(), newFile, newSize, out);
    } catch (const std::bad_alloc&) {
        throw CodecError(CodecError::Kind::NoMemory,
                         "Not enough memory to compress " + NameOf(newFile) + ".");
    }
}
