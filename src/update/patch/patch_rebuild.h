// Rebuilds a file that travelled compressed or as deltas, from the staged
// bodies its way fetched: the deltas applied in order from the installed
// copy, or the object decoded, each step into a staged copy of its own and
// checked against its signed digest, each delta dropped once applied; or a
// file of the game folder copied, checked the same way. The
// work is the processor's, not the window's: it runs on a worker thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "update/patch/patch_route.h"

// A file that travels compressed or as deltas: the ways left to try (the
// first is the one under way), the staged names of what that way fetched
// and makes, and once rebuilt, the staged file to move in.
struct PatchedFile {
    std::size_t place = 0;
    std::string entry;
    FileDigest expected;
    std::vector<FileWay> ways;
    std::vector<std::size_t> jobs;       // the way's jobs in the round's job list
    std::vector<std::string> artifacts;  // Deltas, Object: what they fetch
    std::vector<std::string> steps;      // Deltas: the staged copy after each delta; the last is the result
                                         // (Object, Local: the one staged copy)
    std::string result;                  // the checked file to move in
    bool failed = false;                 // a fetch of this way failed
};

enum class Rebuilt {
    Done,    // file.result holds the signed bytes
    Failed,  // this way cannot make them (damaged, or short of memory or disk): the next one is tried
};

// Throws RunCancelled when stop is set.
Rebuilt RebuildFile(GameFolder& folder, PatchedFile& file, const std::atomic<bool>& stop);

// Removes what the file's present way fetched and made, but its result.
void DropWayFiles(GameFolder& folder, const PatchedFile& file, bool keepResult);
