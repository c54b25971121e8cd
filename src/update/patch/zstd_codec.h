// The two compressed forms a game file can travel in, both single zstd
// frames that carry zstd's content checksum:
//   a compressed object  the whole file;
//   a delta              what rebuilds the new version of a file from its old
//                        version: the old file is the frame's prefix (zstd's
//                        "patch-from"), the frame made with long-distance
//                        matching over a window that covers the old file.
// The updater decodes them while it writes the file; the operators' tool
// makes them (operator/encode/zstd_encode.h). Every output is hashed as it
// is written: the caller checks the result against the signed digest without
// reading the file again.
//
// Memory. Decoding holds zstd's window: at most 2^kObjectWindowLog bytes for
// an object; for a delta, the new file's size (at most the old file's size
// plus kDeltaGrowthBytes), besides the old file, which is mapped
// (GameFolder::Map), not copied. A frame that declares a larger window
// is refused before anything is allocated. Making a delta holds about the
// same, plus zstd's match tables for the level.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "failure.h"
#include "storage/storage.h"
#include "update/trust/signed_metadata.h"

// The largest window a compressed object may make the decoder hold: 2^27
// bytes (128 MiB, `zstd --long=27`). Objects are made with no larger window.
inline constexpr int kObjectWindowLog = 27;
// A delta's window has to reach back over the old file: the updater accepts
// one up to the old file's size plus this much, so a new version may be
// this much larger than the old one (a larger one is published whole).
inline constexpr std::uint64_t kDeltaGrowthBytes = 256ull << 20;
// zstd's largest window, 2 GiB: neither file of a delta may be larger (the
// limit of `zstd --patch-from`).
inline constexpr std::uint64_t kDeltaMostBytes = 1ull << 31;

// Why decoding or encoding stopped. what() is an English sentence for the
// operators' tool and for logs; the updater shows PlayerFailure() instead.
class CodecError : public std::runtime_error {
public:
    enum class Kind {
        // The frame is not one this program accepts (not zstd, no checksum,
        // a window beyond the limit, bytes after the frame), is cut or
        // altered, rebuilds something else than it was made for (a delta
        // applied to another old file), or decodes to more than allowed.
        Damaged,
        // A file beyond what a delta can cover (kDeltaMostBytes), or a new
        // version that outgrows its old one by more than kDeltaGrowthBytes.
        TooLarge,
        Unreadable,  // an input file or stream could not be read
        Unwritable,  // the output sink refused bytes
        NoMemory,
    };
    CodecError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// The updater's failure for an error met while decoding the file of list
// entry `entry`, in the window's words: "Fichier altéré: <entry>." for a
// frame that is damaged or does not fit (the same reason as a download that
// is not what was signed), "Impossible de lire <entry>.",
// "Impossible d'écrire <entry>.", "Mémoire insuffisante.".
UpdateFailure PlayerFailure(const CodecError& error, std::string_view entry);

// Receives the output in order, a piece at a time (at most a few hundred
// KiB, so a caller may keep its window alive from here). Returns false when
// the bytes could not be kept (a full disk): the coding stops with
// CodecError::Kind::Unwritable. What it throws (RunCancelled) passes through.
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

// The smallest window log whose window holds `bytes`, within zstd's bounds
// (at least 10, at most 31).
int WindowLogFor(std::uint64_t bytes);

// Decodes the compressed object read from `compressed` to its end into out.
// `most`: the largest output accepted (the signed size); a frame that
// declares or decodes to more is Damaged. Returns the size and SHA-256 of
// what out received. Throws CodecError.
FileDigest DecompressObject(std::istream& compressed, const ByteSink& out, std::uint64_t most);

// Rebuilds a new version from the file oldFile of folder (mapped while
// decoding) and the delta read from `delta` to its end, into out; `most` as
// above. A delta applied to another old file than the one it was made from
// fails its checksum: Damaged. An old file beyond kDeltaMostBytes is
// TooLarge, one that cannot be read Unreadable. Throws CodecError.
FileDigest ApplyDelta(GameFolder& folder, const std::string& oldFile, std::istream& delta,
                      const ByteSink& out, std::uint64_t most);
