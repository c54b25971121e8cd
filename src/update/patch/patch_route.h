// How one signed file travels: a copy of a file already in the game folder
// under another name (a moved or renamed file), the cheapest of a chain of
// deltas from the installed copy, the compressed object, or the whole file. Pure: the run
// gives what the signed patch metadata offers and gets the ways to try, in
// order, each falling back to the next when it fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "update/trust/signed_metadata.h"

// Where a member of a pack lies: in a part the run fetches whole (its
// digest covers the member), at offset.
struct PackedAt {
    std::size_t part = 0;  // among the run's parts
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct FileWay {
    enum class Kind { Local, Deltas, Object, Whole };
    Kind kind = Kind::Whole;
    std::vector<PatchDelta> deltas;  // Deltas: applied in order, from the installed copy
    FileDigest object;               // Object
    std::string source;              // Local: the file in the game folder copied, which moves no byte
    // Deltas (one) or Object read from a part, not fetched on their own.
    std::optional<PackedAt> packed;
    std::uint64_t Bytes(std::uint64_t wholeSize) const;
};

// The ways to fetch the file `target` (its signed digest), cheapest first:
// a copy of `local`, a file of the game folder said to hold those bytes (the
// copy is checked like any way); the chain of deltas from `installed` (the
// installed copy's SHA-256) that moves the fewest bytes, when it moves fewer
// than the object; the object, when it is smaller than the whole file;
// always last the whole file.
std::vector<FileWay> WaysToFetch(const PatchOffer& offer, const std::optional<Sha256Digest>& installed,
                                 const FileDigest& target, const std::optional<std::string>& local = {});

// The ways to fetch again the file `target` of the installed version, for a
// repair: its object whatever its size, then the whole file. The whole file
// is the newest version's copy, other bytes once the file has changed since:
// the object is the one way to the installed version's bytes.
// The ways of a file that a pack carries as a member (`delta` from the
// installed copy, or its object) in part `part`: that member, then the whole
// file.
std::vector<FileWay> WaysThroughPack(const FileDigest& target, bool delta, const PackedAt& at);

std::vector<FileWay> WaysToRepair(const PatchOffer& offer, const FileDigest& target);
