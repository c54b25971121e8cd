// The signed description of a repository, beside its index and lists:
//   qoro_update_infos.meta  the top metadata: serial, expiry, the index's
//                           digest, and each version's list and file metadata
//   qoro_update_<N>.meta    every path of list N with its size and SHA-256
// (qoro_update_infos.sig, the signatures of the top metadata's exact bytes:
// signature_file.h.) ASCII lines ending in "\n" ("\r\n" is read too), a format
// line first. Digests are SHA-256 in 64 lowercase hex digits.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/crypto.h"

inline constexpr const char* kMetadataName = "qoro_update_infos.meta";

// "qoro_update_" + N + ".meta", N in plain decimal ("-" when negative).
std::string VersionMetadataName(std::int16_t version);

struct FileDigest {
    std::uint64_t size = 0;
    Sha256Digest sha256{};
    bool operator==(const FileDigest&) const = default;
};

FileDigest DigestOf(std::string_view bytes);
// The size and SHA-256 of everything left in a stream, read in pieces;
// nothing when the stream fails to read.
std::optional<FileDigest> DigestOfStream(std::istream& in);

// Lowercase hex, two digits a byte.
std::string Hex(const Sha256Digest& digest);
// 64 lowercase hex digits, nothing else.
std::optional<Sha256Digest> ParseDigest(std::string_view text);

struct SignedVersion {
    std::int16_t version = 0;
    FileDigest list;   // qoro_update_<N>.deploy
    FileDigest files;  // qoro_update_<N>.meta
};

struct RepositoryMetadata {
    std::uint64_t serial = 0;
    std::int64_t expires = 0;             // Unix seconds, UTC
    FileDigest index;                     // qoro_update_infos.deploy
    std::vector<SignedVersion> versions;  // each indexed version once, in index order
};

// Nothing when the text is not exactly the format: an unknown, missing or
// repeated line, bad hex, a number that is not plain decimal or out of range,
// a version listed twice.
std::optional<RepositoryMetadata> ParseRepositoryMetadata(std::string_view text);
std::string FormatRepositoryMetadata(const RepositoryMetadata& metadata);
// Expired from its expiry's second on: the updater and `update-repo verify`
// judge the same instant the same way.
bool HasExpired(const RepositoryMetadata& metadata, std::int64_t now);
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
