// Packs: many small changed files in few requests. For the newest version T
// and each of the last versions F before it, one pack takes a game at F to
// T (update/trust/pack_index.h):
//   packs/<F>-<T>.index      the merged list of the versions after F with
//                            each entry's signed size and SHA-256 and its
//                            way, zstd-compressed; its digest goes into the
//                            release extras
//   packs/<F>-<T>.<k>.part   members one after the other: for each changed
//                            file, the delta from its content at F when one
//                            was published (one patch-from frame), else its
//                            compressed object
// Members are the deltas and objects the version patch metadata already
// names, copied: a pack costs no compression of its own. A file whose member
// would pass a size, or that has neither, is `loose`: it travels the way the
// version metadata says. Parts are cut so that they come over several
// connections at once. Files are rewritten only when their bytes
// change; packs of earlier releases are removed.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "update/trust/extras.h"

struct PackOptions {
    int versionsBack = 3;                   // packs from this many versions before the newest
    std::uint64_t partBytes = 256 << 10;    // the largest part (but for a larger member alone)
    std::uint64_t smallestPart = 16 << 10;  // parts are not cut smaller
    std::uint64_t partsAtOnce = 8;          // the connections a player opens at once
    std::uint64_t largestMember = 1 << 20;  // a larger member leaves its file loose
    int level = 19;                         // zstd's level for the index
};

// Writes the packs of the repository as players will see it with `index`
// as its index (its version metadata and patch metadata written) and with
// the drops `removed` records, and returns what the release extras offer of
// them. A pack never carries an entry that a version in its range dropped
// and no later version up to its end lists again. Throws std::runtime_error
// when a file cannot be read or written.
std::vector<PackOffer> WritePacks(const RepositoryFolder& repository, const std::string& index,
                                  const std::vector<RemovedEntry>& removed, const PackOptions& options,
                                  std::ostream& progress);

// The names of every file the offered packs hold (index and parts), relative
// to the root; a pack whose index cannot be read names its index only.
std::vector<std::string> PackFileNames(const RepositoryFolder& repository,
                                       const std::vector<PackOffer>& packs);

// Every problem of the offered packs: an index or a part missing, or not the
// bytes its digest says (the index against the extras, each part against
// the index), or an index that does not decode to the format. Members are
// not decoded: a player falls back from one that fails to the next way.
std::vector<Problem> CheckPacks(const RepositoryFolder& repository, const std::vector<PackOffer>& packs);

// Every problem of the offered packs: an index or a part missing, or not the
// bytes its digest says (the index against the extras, each part against
// the index), or an index that does not decode to the format. Members are
// not decoded: a player falls back from one that fails to the next way.
std::vector<Problem> CheckPacks(const RepositoryFolder& repository, const std::vector<PackOffer>& packs);
