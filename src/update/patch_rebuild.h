// Rebuilds a file that travelled compressed or as deltas, from the staged
// bodies its way fetched: the deltas applied in order from the installed
// copy, or the object decoded, each step into a staged copy of its own and
// checked against its signed digest, each delta dropped once applied. The
// work is the processor's, not the window's: it runs on a worker thread.
#pragma once

#include <atomic>

#include "update/install_plan.h"

enum class Rebuilt {
    Done,    // file.result holds the signed bytes
    Failed,  // this way cannot make them: the next one is tried
};

// Throws UpdateFailure for what no other way would do better (a full disk),
// RunCancelled when stop is set.
Rebuilt RebuildFile(PatchedFile& file, const std::atomic<bool>& stop);

// Removes what the file's present way fetched and made, but its result.
void DropWayFiles(const PatchedFile& file, bool keepResult);
