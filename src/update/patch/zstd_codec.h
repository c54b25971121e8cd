// The two compressed forms a game file can travel in, both made of zstd
// frames that carry zstd's content checksum:
//   a compressed object  the whole file, one frame;
//   a delta              what rebuilds the new version of a file from its old
//                        version, in one of two layouts:
//     a single frame     the old file is the frame's prefix (zstd's
//                        "patch-from"), made with long-distance matching over
//                        a window that covers the old file: for files of a
//                        few dozen MiB;
//     segmented          a map, then a frame for each changed segment of the
//                        new file over a bounded range of the old one; the
//                        unchanged segments are copied (segment_map.h): for
//                        files of any size.
// The updater decodes them while it writes the file; the operators' tool
// makes them (operator/encode/zstd_encode.h). Every output is hashed as it
// is written: the caller checks the result against the signed digest without
// reading the file again.
//
// Memory. Decoding an object holds zstd's window, at most 2^kObjectWindowLog
// bytes. A single-frame delta holds a window as large as the new file and
// maps the old one (GameFolder::Map): the updater takes one only when
// both files stay within kSingleFrameMostBytes, and refuses before anything
// is allocated a frame that declares a larger window. A segmented delta
// holds at most ApplyLimits::memory for the segments under way, whatever
// the file's size. Making a delta holds about the same, plus zstd's match
// tables for the level.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "storage/storage.h"
#include "update/patch/codec_types.h"
#include "update/trust/signed_metadata.h"

// The smallest window log whose window holds `bytes`, within zstd's bounds
// (at least 10, at most 31).
int WindowLogFor(std::uint64_t bytes);

// Decodes the compressed object read from `compressed` to its end into out.
// `most`: the largest output accepted (the signed size); a frame that
// declares or decodes to more is Damaged. Returns the size and SHA-256 of
// what out received. Throws CodecError.
FileDigest DecompressObject(std::istream& compressed, const ByteSink& out, std::uint64_t most);

// Every core the machine has (std::thread::hardware_concurrency), within
// kApplyMemoryBudget.
ApplyLimits DefaultApplyLimits();

// Rebuilds a new version from the file oldFile of folder and the delta read
// from `delta` to its end, into out; `most` as above. Either layout: a
// single frame (the old file mapped while decoding) or a segmented delta
// (the old file read through the folder, its segments decoded within
// `limits`, each decoder with a reader of its own). A delta applied to
// another old file than the one it was made from fails a checksum or the
// old file's size: Damaged, unless it differs only in what is copied: then
// the result's digest is not the signed one. A single frame from an old file
// beyond kSingleFrameMostBytes is TooLarge; an old file that cannot be read
// is Unreadable. Throws CodecError.
FileDigest ApplyDelta(GameFolder& folder, const std::string& oldFile, std::istream& delta,
                      const ByteSink& out, std::uint64_t most,
                      const ApplyLimits& limits = DefaultApplyLimits());
// The same for a file on the disk, through the folder that holds it (the
// operators' tool, benchmarks and tests).
FileDigest ApplyDelta(const std::filesystem::path& oldFile, std::istream& delta, const ByteSink& out,
                      std::uint64_t most, const ApplyLimits& limits = DefaultApplyLimits());
