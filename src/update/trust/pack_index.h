// What a pack holds (packs/<F>-<T>.index, a zstd frame), signed through its
// digest in the release extras: the merged file list of the versions after F
// up to T, in the order the updater merges the lists (each entry once, first
// occurrence first, blank entries kept for the counter), each entry with the
// size and SHA-256 it must have (the newest version's that lists it) and how
// it travels. ASCII lines ending in "\n", fields separated by one TAB, the
// entry last (the rest of the line, Windows-1252 bytes as in the lists):
//   kestralon-pack 1
//   from <F>
//   to <T>
//   part <sha256> <size>                         parts 0, 1, ... in order
//   delta <sha256> <size> <part> <offset> <length> <entry>
//   object <sha256> <size> <part> <offset> <length> <entry>
//   loose <sha256> <size> <entry>
//   blank <entry>
// A `delta` member is one patch-from frame over the whole file the entry had
// at F; an `object` member is the file compressed. Each is the bytes at
// <offset> of packs/<F>-<T>.<part>.part, whose digest covers them. A `loose`
// entry travels as the version metadata says (too large for a pack).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/signed_metadata.h"

// The decoded index is held to this; the compressed one to its signed size.
inline constexpr std::uint64_t kLargestPackIndex = 64ull << 20;

struct PackEntry {
    enum class Way { Delta, Object, Loose, Blank };
    Way way = Way::Blank;
    std::string entry;
    FileDigest expected;  // all but Blank
    // Delta, Object: where the member lies.
    std::uint32_t part = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const PackEntry&) const = default;
};

struct PackIndex {
    std::int16_t from = 0;
    std::int16_t to = 0;
    std::vector<FileDigest> parts;
    std::vector<PackEntry> entries;
};

// Nothing when the text is not exactly the format: an unknown or repeated
// line, an entry listed twice or holding a CR, a blank entry with a digest or a non-blank
// one without, a member outside its part or of no bytes, a part that does
// not exist, F not below T.
std::optional<PackIndex> ParsePackIndex(std::string_view text);
// Throws std::invalid_argument for what ParsePackIndex would refuse.
std::string FormatPackIndex(const PackIndex& index);

// "packs/<F>-<T>.<k>.part", beside the index (extras.h names it).
std::string PackPartName(std::int16_t from, std::int16_t to, std::size_t part);
