// Rebuilding a file from a segmented delta (segment_map.h), for ApplyDelta.
//
// The calling thread writes the output in order: copied segments straight
// from the old file, a few hundred KiB at a time; framed ones as worker
// threads finish them. The workers take the framed segments in order, each
// reading its frame from the delta and its old range from the old file into
// memory of its own, and decode it whole into a buffer as large as its new
// bytes. A segment is taken only when what it holds (frame, old range, new
// bytes) fits in what the segments under way leave of the memory limit, and
// it gives that back as soon as it no longer needs it: memory stays within
// the limit (plus a zstd context a thread), however large the file. The old
// file is read, never mapped: a copy of 64 GiB costs the updater no memory.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "storage/storage.h"
#include "update/patch/codec_types.h"
#include "update/patch/segment_map.h"
#include "update/trust/signed_metadata.h"

// `oldFile`: a file of folder, read by every decoder through a reader of
// its own. `frames`: the delta just after its map. `oldSize`: the old file's size,
// which the map was checked against. Returns the size and SHA-256 of what
// out received. Throws CodecError; what out throws passes through, once
// every worker has stopped.
FileDigest ApplySegments(GameFolder& folder, const std::string& oldFile, const SegmentMap& map,
                         std::istream& frames, const ByteSink& out, const ApplyLimits& limits);
