// The files a version no longer has, recorded in the signed extras
// (update/trust/extras.h) so that keyed updaters remove the copies players
// have not changed: written by publish, carried forward by every signing,
// checked by verify.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "update/trust/extras.h"

// Records that `version` drops each of gone (UTF-8 paths that versions
// before it list, and its build no longer has), once with each content that
// a version since its previous drop installed: the digest of it in the
// metadata of each version that lists it, or, for the newest when it has
// none yet, the bytes under files/. A player who skipped versions may hold
// any of them. A path dropped already since it was last listed gets no
// second record. Returns how many records it adds.
std::size_t RecordRemovedFiles(const RepositoryFolder& repository, std::int16_t version,
                               const std::vector<std::string>& gone, ReleaseExtras& extras);

// Adds to each drop that extras record the contents it lacks of those
// RecordRemovedFiles gives it (records made before it gave every content
// name only the last). Returns how many records it adds.
std::size_t CompleteRemovedFiles(const RepositoryFolder& repository, ReleaseExtras& extras);

// The paths (UTF-8) that the present extras drop after the last version
// that lists them. A build that holds one again publishes it anew, whatever
// its bytes: players' updaters removed it, and only a new listing brings it
// back. The extras are read without their signatures: at worst a file is
// published again unchanged.
std::set<std::string> DroppedPaths(const RepositoryFolder& repository);

// Each record of extras must name an entry that a version before its own
// lists, with a content that one of those versions' metadata gives it, and
// each drop must have the content the newest of them gives it: otherwise
// players' updaters keep a file they should remove, or remove one no
// version installed.
std::vector<Problem> CheckRemovedFiles(const RepositoryFolder& repository, const ReleaseExtras& extras);
