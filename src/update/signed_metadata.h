// The signed description of a repository, beside its index and lists:
//   qoro_update_infos.meta  the top metadata: serial, expiry, the index's
//                           digest, and each version's list and file metadata
//   qoro_update_infos.sig   signatures of the top metadata's exact bytes
//   qoro_update_<N>.meta    every path of list N with its size and SHA-256
// All ASCII lines ending in "\n" ("\r\n" is read too), a format line first.
// Digests are SHA-256 in 64 lowercase hex digits; signatures are ECDSA P-256
// over SHA-256, written as 128 lowercase hex digits of r || s.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/crypto.h"

inline constexpr const char* kMetadataName = "qoro_update_infos.meta";
inline constexpr const char* kSignatureName = "qoro_update_infos.sig";

// "qoro_update_" + N + ".meta", N in plain decimal ("-" when negative).
std::string VersionMetadataName(std::int16_t version);

struct FileDigest {
    std::uint64_t size = 0;
    Sha256Digest sha256{};
    bool operator==(const FileDigest&) const = default;
};

FileDigest DigestOf(std::string_view bytes);

// Lowercase hex, two digits a byte.
std::string Hex(const Sha256Digest& digest);
// 64 lowercase hex digits, nothing else.
std::optional<Sha256Digest> ParseDigest(std::string_view text);

// "2027-01-06T10:00:00Z" <-> seconds since 1970-01-01T00:00:00Z.
std::string FormatUtcTime(std::int64_t seconds);
// Exactly that shape, a real date and time; nothing otherwise.
std::optional<std::int64_t> ParseUtcTime(std::string_view text);

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

// Public keys as UPDATE_PUBLIC_KEY and `update-repo keygen` write them: 128
// hex digits of X || Y each, separated by commas and/or blanks. Empty text is
// no key. Nothing when a key is malformed; a key given twice counts once.
std::optional<std::vector<PublicKey>> ParsePublicKeys(std::string_view text);
// 128 lowercase hex digits.
std::string KeyText(const PublicKey& key);
// The first 8 bytes of SHA-256(X || Y), 16 lowercase hex digits.
std::string KeyId(const PublicKey& key);

// "<key id> <r || s in hex>", without the line end.
std::string FormatSignatureLine(const PublicKey& key, const Signature& signature);
// A whole qoro_update_infos.sig: the format line, then one line per signature.
std::string FormatSignatures(const std::vector<std::pair<PublicKey, Signature>>& signatures);
// The key ids of the lines of a well-formed signature file, in file order;
// nothing when it is malformed.
std::optional<std::vector<std::string>> SignatureKeyIds(std::string_view signatures);

// True when signatures is a well-formed signature file and one of its lines
// carries a valid signature of metadata (its exact bytes) by one of keys.
bool IsSignedBy(std::string_view metadata, std::string_view signatures, const std::vector<PublicKey>& keys);
