// Files a newer version no longer has. The signed extras name each entry a
// version dropped, with every content versions before it installed: a run
// past that version removes the installed file when it still holds exactly
// one of them, and never one the player made or changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/trust/extras.h"
#include "update/trust/pack_index.h"
#include "update/trust/signed_metadata.h"

// The entries of one version's list, as the run reads them (UTF-8).
struct VersionEntries {
    std::int16_t version = 0;
    std::vector<std::string> entries;
};

// An installed file an update removes, when it holds one of these contents.
struct DueRemoval {
    std::string entry;  // UTF-8, as the lists' entries
    // Every content its drops name: a game that skipped versions, or was
    // installed before an earlier drop, may hold any of them.
    std::vector<FileDigest> contents;
};

// What a run removes of the drops it weighs: each entry (its name in
// removed already UTF-8) dropped by a version up to newest and listed by no
// version from its newest such drop up to newest, under any spelling the file
// system takes for the same file; blank and refused entries never. A drop at
// or before the installed version counts too: an earlier run may have left
// its file (without the extras, or not knowing the content it held). lists
// holds the lists of the versions after the earliest drop in removed, up to
// newest; entries that are not removed may be left out of them. Sorted by
// entry, each once, with every content its drops name.
std::vector<DueRemoval> RemovalsDue(std::int16_t newest, const std::vector<RemovedEntry>& removed,
                                    const std::vector<VersionEntries>& lists);

// Whether a pack from `installed` carries an entry (names UTF-8 here) that a
// version after it dropped, with a content that drop names. A pack made by
// an older update-repo may carry a dropped file that no version since lists,
// and cannot say which: the lists must tell. The content a pack gives an
// entry is that of the newest version that lists it, which every later drop
// names; one that no drop names is the entry listed again after them all.
bool PackCarriesDropped(std::int16_t installed, const std::vector<RemovedEntry>& removed,
                        const std::vector<PackEntry>& entries);
