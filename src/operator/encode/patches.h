// Compressed objects and deltas: what lets a keyed updater fetch a changed
// file as the difference from the copy it has, or at least compressed.
//   objects/<sha256>.zst        every file version published with a key,
//                               compressed once, named by its content
//   deltas/<from>-<to>.zst      for a changed file above a size, from each of
//                               its contents in the last versions, when
//                               smaller than the object
//   qoro_update_<N>.patch       what version N can travel as, signed through
//                               the release metadata
// All are immutable: a name is its content.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "operator/repository_folder.h"
#include "update/trust/signed_metadata.h"

struct PatchOptions {
    int versionsBack = 3;                 // deltas from the file's contents in this many earlier versions
    int level = 19;                       // zstd's level
    std::uint64_t deltaThreshold = 1024;  // smaller changed files travel compressed only
};

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
