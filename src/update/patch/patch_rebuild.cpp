#include "update/patch/patch_rebuild.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "failure.h"
#include "storage/storage.h"
#include "update/formats/repository.h"
#include "update/patch/zstd_codec.h"

namespace {

void Remove(const std::string& staged) {
    std::error_code error;
    std::filesystem::remove(LocalPath(staged), error);
}

// Decodes into a new staged file; the file is removed again when the step fails.
template <typename Decode>
FileDigest DecodeInto(const std::string& staged, const std::string& entry, const std::atomic<bool>& stop,
                      const Decode& decode) {
    auto out = OpenForWriting(LocalPath(staged), WriteMode::CreateNew);
    if (!out) throw UpdateFailure("Impossible d'écrire " + Printable(entry) + ".");
    try {
        const FileDigest digest = decode([&](const char* data, std::size_t size) {
            if (stop.load(std::memory_order_relaxed)) throw RunCancelled();
            return out->Write(data, size);
        });
        if (!out->Close()) throw UpdateFailure("Impossible d'écrire " + Printable(entry) + ".");
        return digest;
    } catch (...) {
        out.reset();
        Remove(staged);
        throw;
    }
}

}  // namespace

Rebuilt RebuildFile(PatchedFile& file, const std::atomic<bool>& stop) {
    const FileWay& way = file.ways.front();
    try {
        if (way.kind == FileWay::Kind::Object) {
            std::ifstream in(LocalPath(file.artifacts.front()), std::ios::binary);
            const FileDigest made = DecodeInto(
                file.steps.front(), file.entry, stop,
                [&](const ByteSink& sink) { return DecompressObject(in, sink, file.expected.size); });
            if (made != file.expected) return Rebuilt::Failed;
        } else {
            // From the installed copy, one delta after the other; each copy
            // but the last goes once the next is made.
            std::string from = file.entry;
            for (std::size_t k = 0; k < way.deltas.size(); ++k) {
                const bool last = k + 1 == way.deltas.size();
                std::ifstream in(LocalPath(file.artifacts[k]), std::ios::binary);
                // A step between versions has no signed size of its own: a
                // single frame is bounded by its window, a segmented delta by
                // the size its map declares; the result is checked by digest.
                const std::uint64_t most =
                    last ? file.expected.size : std::numeric_limits<std::uint64_t>::max();
                const FileDigest made = DecodeInto(
                    file.steps[k], file.entry, stop,
                    [&](const ByteSink& sink) { return ApplyDelta(LocalPath(from), in, sink, most); });
                in.close();
                Remove(file.artifacts[k]);
                if (k > 0) Remove(from);
                if (made.sha256 != way.deltas[k].to || (last && made != file.expected))
                    return Rebuilt::Failed;
                from = file.steps[k];
            }
        }
    } catch (const CodecError& error) {
        if (error.kind() == CodecError::Kind::Unwritable || error.kind() == CodecError::Kind::NoMemory) {
            throw PlayerFailure(error, file.entry);
        }
        return Rebuilt::Failed;
    }
    file.result = file.steps.back();
    return Rebuilt::Done;
}

void DropWayFiles(const PatchedFile& file, bool keepResult) {
    for (const std::string& artifact : file.artifacts) Remove(artifact);
    for (const std::string& step : file.steps) {
        if (!keepResult || step != file.result) Remove(step);
    }
}
