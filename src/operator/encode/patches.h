// Compressed objects and deltas: what lets a keyed updater fetch a changed
// file as the difference from the copy it has, or at least compressed.
//   objects/<sha256>.zst        every file version published with a key,
//                               compressed once, named by its content
//   deltas/<from>-<to>.zst      for a changed file above a size, from each of
//                               its contents in the last versions, when
//                               clearly smaller than the object
//                               (DeltaWorthKeeping); one patch-from frame
//                               when both contents are small, else segmented
//                               (update/patch/segment_map.h)
//   qoro_update_<N>.patch       what version N can travel as, signed through
//                               the release metadata
// All are immutable: a name is its content.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "operator/encode/segment_plan.h"
#include "operator/repository_folder.h"
#include "update/trust/signed_metadata.h"

// A delta whose old and new contents both stay within this size is one
// patch-from frame: the smallest delta zstd makes, and one that updaters
// without segmented deltas apply too. Its decoder holds a window of the new
// file and maps the old one: 128 MiB at most, half the updater's memory.
inline constexpr std::uint64_t kSingleFrameDeltaBytes = 64ull << 20;

struct PatchOptions {
    int versionsBack = 3;                 // deltas from the file's contents in this many earlier versions
    int level = 19;                       // zstd's level
    std::uint64_t deltaThreshold = 1024;  // smaller changed files travel compressed only
    bool packs = true;                    // packs from the last versions (operator/encode/packs.h)
    std::uint64_t singleFrameMost = kSingleFrameDeltaBytes;
    SegmentSizes segments;
    // Threads for deltas and for large objects (every core), and the memory
    // a delta's threads may hold together.
    unsigned threads = std::max(std::thread::hardware_concurrency(), 1u);
    std::uint64_t memory = 768ull << 20;
};

// A delta is kept when it saves at least an eighth of the object: one that
// saves less is not worth a player's rebuild (and its risk of falling back
// to the object after all), nor a publication's disk.
bool DeltaWorthKeeping(std::uint64_t deltaSize, std::uint64_t objectSize);

// Writes the objects of every file of `files` (the version's metadata, just
// made from files/) that has none yet, the deltas to its changed files, and
// qoro_update_<N>.patch. Old contents come from their objects, each decoded
// no further than its signed size and checked against its digest; a
// content published before objects existed has none and gets no delta. An
// object or delta already there is reused only when it decodes to what its
// name says; otherwise it is made anew. Returns the patch file's bytes.
// Throws std::runtime_error (CodecError included), naming an old content's
// object that is not that content.
std::string WriteVersionPatches(const RepositoryFolder& repository, const VersionFiles& files,
                                const PatchOptions& options, std::ostream& progress);

// Before publishing `version`: the objects of the earlier contents of these
// entries (UTF-8) that deltas would start from, decoded as above. One
// sentence per object that is not the content it is named after, naming it.
std::vector<std::string> CheckOldObjects(const RepositoryFolder& repository, std::int16_t version,
                                         const std::vector<std::string>& entries,
                                         const PatchOptions& options);
