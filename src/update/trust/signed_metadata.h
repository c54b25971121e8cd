// The signed description of a repository, beside its index and lists:
//   qoro_update_release.meta  what the release keys sign: the channel, a
//                             release serial and expiry, the index's digest,
//                             and each version's list and file metadata
//   qoro_update_fresh.meta    what the freshness keys sign: a serial and a
//                             short expiry over the release metadata's digest
//   qoro_update_<N>.meta      every path of list N with its size and SHA-256
//   qoro_update_infos.meta    the first shape of the top metadata (serial,
//                             expiry, index and versions, no channel), signed
//                             by the release keys, kept for updaters built
//                             before the two roles
// (Each .meta at the top has its signatures beside it in a .sig of the same
// stem: signature_file.h.) ASCII lines ending in "\n" ("\r\n" is read too), a
// format line first. Digests are SHA-256 in 64 lowercase hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/trust/crypto.h"

inline constexpr const char* kMetadataName = "qoro_update_infos.meta";
inline constexpr const char* kReleaseMetadataName = "qoro_update_release.meta";
inline constexpr const char* kFreshMetadataName = "qoro_update_fresh.meta";
// The release metadata's size is signed in the fresh metadata, but only by
// the freshness keys, which may live on the server: it is held to a fixed
// limit too, far above the few hundred bytes a version takes in it, so that
// a stolen freshness key cannot make players read gigabytes. update-repo
// refuses to sign one past it.
inline constexpr std::size_t kLargestReleaseMetadata = 4 * 1024 * 1024;

// "qoro_update_" + N + ".meta", N in plain decimal ("-" when negative).
std::string VersionMetadataName(std::int16_t version);
// "qoro_update_" + N + ".patch".
std::string VersionPatchesName(std::int16_t version);

struct FileDigest {
    std::uint64_t size = 0;
    Sha256Digest sha256{};
    bool operator==(const FileDigest&) const = default;
};

FileDigest DigestOf(std::string_view bytes);
// The size and SHA-256 of everything left in a stream, read in pieces;
// nothing when the stream fails to read.
std::optional<FileDigest> DigestOfStream(std::istream& in);

// "<sha256 hex> <size>", as every signed file writes a digest.
std::string DigestText(const FileDigest& digest);
std::optional<FileDigest> ParseFileDigest(std::string_view hex, std::string_view size);

// Lowercase hex, two digits a byte.
std::string Hex(const Sha256Digest& digest);
// 64 lowercase hex digits, nothing else.
std::optional<Sha256Digest> ParseDigest(std::string_view text);

struct SignedVersion {
    std::int16_t version = 0;
    FileDigest list;   // qoro_update_<N>.deploy
    FileDigest files;  // qoro_update_<N>.meta
    // qoro_update_<N>.patch, in the release shape only, when the version
    // was published with compressed objects and deltas.
    std::optional<FileDigest> patches;
    bool operator==(const SignedVersion&) const = default;
};

// The release metadata, or the first shape (qoro_update_infos.meta), which
// has no channel: channel is empty exactly for that shape.
struct RepositoryMetadata {
    std::string channel;
    std::uint64_t serial = 0;
    std::int64_t expires = 0;             // Unix seconds, UTC
    FileDigest index;                     // qoro_update_infos.deploy
    std::vector<SignedVersion> versions;  // each indexed version once, in index order
};

// Nothing when the text is not exactly the format: an unknown, missing or
// repeated line, bad hex, a number that is not plain decimal or out of range,
// a version listed twice, a channel that is not a channel name. Either shape
// is read; the caller checks which it expected (channel empty or not).
std::optional<RepositoryMetadata> ParseRepositoryMetadata(std::string_view text);
std::string FormatRepositoryMetadata(const RepositoryMetadata& metadata);

// 1 to 64 of [A-Za-z0-9._-].
// (The first shape never carries a version's patches: they are left out.)
bool IsChannelName(std::string_view name);

struct FreshMetadata {
    std::uint64_t serial = 0;
    std::int64_t expires = 0;  // Unix seconds, UTC
    FileDigest release;        // qoro_update_release.meta
};

std::optional<FreshMetadata> ParseFreshMetadata(std::string_view text);
std::string FormatFreshMetadata(const FreshMetadata& metadata);

// Expired from its expiry's second on: the updater and `update-repo verify`
// judge the same instant the same way.
inline bool HasExpired(std::int64_t expires, std::int64_t now) {
    return expires <= now;
}
// The line of a version, or nullptr.
const SignedVersion* FindVersion(const RepositoryMetadata& metadata, std::int16_t version);

// The files of one version. Paths are the list's entries byte for byte
// (Windows-1252, "/" separators); blank entries (empty or only spaces) are
// not listed, and each entry once, in list order.
struct VersionFiles {
    std::int16_t version = 0;
    std::vector<std::pair<std::string, FileDigest>> files;
};

std::optional<VersionFiles> ParseVersionFiles(std::string_view text);
// Throws std::invalid_argument for an entry the format cannot carry: blank,
// holding a line end, or listed twice.
std::string FormatVersionFiles(const VersionFiles& files);
// The digest recorded for entry, or nullptr.
const FileDigest* FindFile(const VersionFiles& files, std::string_view entry);

// How a version's files may travel besides whole (qoro_update_<N>.patch):
//   kestralon-patches 1
//   version N
//   object <content sha256> <object sha256> <object size>
//   delta <from sha256> <to sha256> <delta sha256> <delta size>
// A compressed object (objects/<content sha256>.zst) decodes to the file
// whose SHA-256 it is named after; a delta (deltas/<from>-<to>.zst) rebuilds
// the file <to> from the file <from>. Each content or pair once.
struct PatchObject {
    Sha256Digest content{};
    FileDigest object;
    bool operator==(const PatchObject&) const = default;
};
struct PatchDelta {
    Sha256Digest from{};
    Sha256Digest to{};
    FileDigest delta;
    bool operator==(const PatchDelta&) const = default;
};
struct VersionPatches {
    std::int16_t version = 0;
    std::vector<PatchObject> objects;
    std::vector<PatchDelta> deltas;
};

// What the fetched versions offer: objects by content, deltas by source.
struct PatchOffer {
    std::map<Sha256Digest, FileDigest> objects;
    std::multimap<Sha256Digest, PatchDelta> deltas;
    std::set<Sha256Digest> deltaTargets;

    void Add(const VersionPatches& patches);
    // Whether a delta leads to this content: only then is the installed
    // copy worth reading.
    bool HasDeltasTo(const Sha256Digest& content) const { return deltaTargets.contains(content); }
};

std::optional<VersionPatches> ParseVersionPatches(std::string_view text);
std::string FormatVersionPatches(const VersionPatches& patches);
// The remote names, relative to the repository: objects/<hex>.zst and
// deltas/<from hex>-<to hex>.zst.
std::string ObjectName(const Sha256Digest& content);
std::string DeltaName(const Sha256Digest& from, const Sha256Digest& to);
