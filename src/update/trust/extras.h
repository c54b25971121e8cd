// What a release offers beyond the files every updater reads, in a file of
// its own so that updaters built before it never see it:
//   qoro_update_extras.meta   signed by the release keys (qoro_update_extras.sig)
//     kestralon-extras 1                       (2: see below)
//     release <sha256> <size>                  the release metadata it goes with
//     removed <version> <sha256> <size> <entry>
//     pack <from> <to> <sha256> <size>
// `release` binds it to one release metadata, whose serial, expiry and
// freshness it shares: extras left over from another release are refused.
// `removed`: version N no longer has entry; the digest is a content versions
// before N installed. A drop whose entry had several contents in the
// versions that listed it takes one line for each: the format line is then
// `kestralon-extras 2`, which updaters that allow one line a drop refuse
// (they go on without the extras); with one content a drop, it stays 1 for
// them. `pack`: the index of a pack that
// takes a game at version <from> to <to> (packs/<from>-<to>.index). ASCII
// lines ending in "\n", fields separated by one space, an entry the rest of
// its line (blanks included), as in a version's file metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/signed_metadata.h"

inline constexpr const char* kExtrasName = "qoro_update_extras.meta";
inline constexpr const char* kExtrasSignatureName = "qoro_update_extras.sig";
// The extras grow with every file a version drops; their size is signed
// nowhere before they are read. A drop takes a line of about 120 bytes: the
// drops of whole histories of open-source games (OpenRA, 55 releases over 13
// years; Luanti, 82) come to 0.4 and 0.6 MiB. The limit holds 35,000 drops,
// and keeps what a mirror padding them can make a player wait no longer than
// for the release metadata. update-repo refuses to sign extras past it.
inline constexpr std::size_t kLargestExtras = 4 * 1024 * 1024;

struct RemovedEntry {
    std::int16_t version = 0;
    FileDigest last;
    std::string entry;
    bool operator==(const RemovedEntry&) const = default;
};

struct PackOffer {
    std::int16_t from = 0;
    std::int16_t to = 0;
    FileDigest index;
    bool operator==(const PackOffer&) const = default;
};

struct ReleaseExtras {
    FileDigest release;
    std::vector<RemovedEntry> removed;  // each (version, entry, content) once
    std::vector<PackOffer> packs;       // each (from, to) once
    bool operator==(const ReleaseExtras&) const = default;
};

// Nothing when the text is not exactly the format: the release line missing,
// repeated or not second, an unknown line, a removal of a blank entry or one
// holding a line end, a removal or pack given twice (a drop's several
// contents are not the same removal in format 2; in format 1 they are).
std::optional<ReleaseExtras> ParseReleaseExtras(std::string_view text);
// Format 1 unless a drop has several contents. Throws std::invalid_argument
// for what the format cannot carry (see above).
std::string FormatReleaseExtras(const ReleaseExtras& extras);

// "packs/<from>-<to>.index", relative to the repository.
std::string PackIndexName(std::int16_t from, std::int16_t to);
