// Files a newer version no longer has. The signed extras name each entry a
// version dropped, with the last content versions before it installed: an
// update past that version removes the installed file when it still holds
// exactly that content, and never one the player made or changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/trust/extras.h"
#include "update/trust/signed_metadata.h"

// The entries of one version's list, as the run reads them (UTF-8).
struct VersionEntries {
    std::int16_t version = 0;
    std::vector<std::string> entries;
};

// An installed file an update removes, when it holds one of these contents.
struct DueRemoval {
    std::string entry;  // UTF-8, as the lists' entries
    // The last content before each version in range that dropped it: a
    // game installed before an earlier drop may still hold that one.
    std::vector<FileDigest> contents;
};

// What an update from `installed` to `newest` removes: each entry (its name
// in removed already UTF-8) dropped by a version in (installed, newest] and
// listed by no version from that one up to newest, under any spelling the
// file system takes for the same file; blank and refused entries never. lists
// holds the lists of the versions in (installed, newest]; entries that are
// not removed may be left out of them. Sorted by entry, each once.
std::vector<DueRemoval> RemovalsDue(std::int16_t installed, std::int16_t newest,
                                    const std::vector<RemovedEntry>& removed,
                                    const std::vector<VersionEntries>& lists);
