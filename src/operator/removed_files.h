// The files a version no longer has, recorded in the signed extras
// (update/trust/extras.h) so that keyed updaters remove the copies players
// have not changed: written by publish, carried forward by every signing,
// checked by verify.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "update/trust/extras.h"

// Records that `version` drops each of gone (UTF-8 paths that versions
// before it list, and its build no longer has), with the last content that
// a version before it installed: the digest of it in the metadata of the
// newest version that lists it, or, when that version has none yet, the
// bytes under files/. A path dropped already since it was last listed gets
// no second record. Returns how many it adds.
std::size_t RecordRemovedFiles(const RepositoryFolder& repository, std::int16_t version,
                               const std::vector<std::string>& gone, ReleaseExtras& extras);

// Each record of extras must name an entry that a version before its own
// lists, with the digest that the newest of those versions' metadata gives
// it: otherwise players' updaters keep a file they should remove, or never
// find the file the record describes.
std::vector<Problem> CheckRemovedFiles(const RepositoryFolder& repository, const ReleaseExtras& extras);
