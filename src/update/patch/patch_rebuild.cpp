#include "update/patch/patch_rebuild.h"

#include <limits>
#include <memory>
#include <optional>
#include <sstream>

#include "failure.h"
#include "storage/file_streams.h"
#include "update/formats/repository.h"
#include "update/patch/zstd_codec.h"
#include "update/trust/crypto.h"

namespace {

// Decodes into a new staged file; the file is removed again when the step
// fails. A file that cannot be written is CodecError::Kind::Unwritable.
template <typename Decode>
FileDigest DecodeInto(GameFolder& folder, const std::string& staged, const std::string& entry,
                      const std::atomic<bool>& stop, const Decode& decode) {
    const CodecError unwritable(CodecError::Kind::Unwritable, "Cannot write the rebuilt " + entry + ".");
    Result<std::unique_ptr<FileWriter>> opened = folder.OpenForWriting(staged, WriteMode::CreateNew);
    if (!opened.ok()) throw unwritable;
    std::unique_ptr<FileWriter> out = std::move(*opened);
    try {
        const FileDigest digest = decode([&](const char* data, std::size_t size) {
            if (stop.load(std::memory_order_relaxed)) throw RunCancelled();
            return out->Write(data, size).ok();
        });
        if (!out->Close().ok()) throw unwritable;
        return digest;
    } catch (...) {
        out.reset();
        folder.Remove(staged).IgnoreError();
        throw;
    }
}

// What a way fetched, read as a stream: a whole staged body, or a member's
// bytes in a part (small: read at once). A body that cannot be opened or
// read reads as an empty one, which no decoder takes.
class FetchedBody {
public:
    FetchedBody(GameFolder& folder, const std::string& staged, const std::optional<PackedAt>& packed) {
        Result<std::unique_ptr<FileReader>> opened = folder.OpenForReading(staged, Links::Followed);
        if (opened.ok()) reader_ = std::move(*opened);
        if (reader_ && packed) {
            member_.str(ReadMember(*reader_, *packed));
        } else if (reader_) {
            stream_.emplace(*reader_);
        }
    }
    std::istream& Stream() { return stream_ ? static_cast<std::istream&>(*stream_) : member_; }

private:
    static std::string ReadMember(FileReader& reader, const PackedAt& at) {
        std::string bytes(static_cast<std::size_t>(at.length), '\0');
        std::size_t got = 0;
        if (!reader.Seek(at.offset).ok()) return {};
        while (got < bytes.size()) {
            const Result<std::size_t> read = reader.Read(bytes.data() + got, bytes.size() - got);
            if (!read.ok() || *read == 0) return {};
            got += *read;
        }
        return bytes;
    }

    std::unique_ptr<FileReader> reader_;
    std::optional<ReaderStream> stream_;
    std::istringstream member_;
};

// The file's bytes as they are read, never through a link at its name
// (what a link leads to may lie outside the game folder), and never more
// than `most` of them.
FileDigest CopyBytes(GameFolder& folder, const std::string& source, std::uint64_t most,
                     const ByteSink& sink) {
    const CodecError unreadable(CodecError::Kind::Damaged, "Cannot read " + source + ".");
    Result<std::unique_ptr<FileReader>> opened = folder.OpenForReading(source, Links::NotFollowed);
    if (!opened.ok()) throw unreadable;
    const Result<FileInfo> info = (*opened)->Info();
    if (!info.ok() || info->kind != FileKind::Regular) throw unreadable;
    std::vector<char> buffer(1 << 16);
    Sha256 sum;
    std::uint64_t size = 0;
    while (true) {
        const Result<std::size_t> read = (*opened)->Read(buffer.data(), buffer.size());
        if (!read.ok()) throw unreadable;
        if (*read == 0) break;
        sum.Update(buffer.data(), *read);
        size += *read;
        if (size > most) throw unreadable;
        if (!sink(buffer.data(), *read))
            throw CodecError(CodecError::Kind::Unwritable, "Cannot write a copy.");
    }
    return {size, sum.Finish()};
}

}  // namespace

Rebuilt RebuildFile(GameFolder& folder, PatchedFile& file, const std::atomic<bool>& stop) {
    const FileWay& way = file.ways.front();
    try {
        if (way.kind == FileWay::Kind::Local) {
            // The other name's file may have changed since it was signed:
            // the copy is checked like any way's result.
            const FileDigest made =
                DecodeInto(folder, file.steps.front(), file.entry, stop, [&](const ByteSink& sink) {
                    return CopyBytes(folder, way.source, file.expected.size, sink);
                });
            if (made != file.expected) return Rebuilt::Failed;
        } else if (way.kind == FileWay::Kind::Object) {
            FetchedBody in(folder, file.artifacts.front(), way.packed);
            const FileDigest made =
                DecodeInto(folder, file.steps.front(), file.entry, stop, [&](const ByteSink& sink) {
                    return DecompressObject(in.Stream(), sink, file.expected.size);
                });
            if (made != file.expected) return Rebuilt::Failed;
        } else {
            // From the installed copy, one delta after the other; each copy
            // but the last goes once the next is made.
            std::string from = file.entry;
            for (std::size_t k = 0; k < way.deltas.size(); ++k) {
                const bool last = k + 1 == way.deltas.size();
                // A step between versions has no signed size of its own: a
                // single frame is bounded by its window, a segmented delta by
                // the size its map declares; the result is checked by digest.
                const std::uint64_t most =
                    last ? file.expected.size : std::numeric_limits<std::uint64_t>::max();
                FileDigest made;
                {
                    FetchedBody in(folder, file.artifacts[k], way.packed);
                    made = DecodeInto(folder, file.steps[k], file.entry, stop, [&](const ByteSink& sink) {
                        return ApplyDelta(folder, from, in.Stream(), sink, most);
                    });
                }
                if (!way.packed) folder.Remove(file.artifacts[k]).IgnoreError();
                if (k > 0) folder.Remove(from).IgnoreError();
                if (made.sha256 != way.deltas[k].to || (last && made != file.expected))
                    return Rebuilt::Failed;
                from = file.steps[k];
            }
        }
    } catch (const CodecError&) {
        // Damaged, or short of memory or disk for this way (a window too
        // large for the address space left, a disk that filled up while the
        // file was rebuilt): the next way needs less of both, down to the
        // whole file, which is only downloaded. Its own failure, if it
        // fails too, is the run's.
        return Rebuilt::Failed;
    }
    file.result = file.steps.back();
    return Rebuilt::Done;
}

void DropWayFiles(GameFolder& folder, const PatchedFile& file, bool keepResult) {
    // A part serves other files: it goes with the run's staged files.
    if (!file.ways.front().packed) {
        for (const std::string& artifact : file.artifacts) folder.Remove(artifact).IgnoreError();
    }
    for (const std::string& step : file.steps) {
        if (!keepResult || step != file.result) folder.Remove(step).IgnoreError();
    }
}
