// The signatures of a top metadata file's exact bytes, in the .sig of the
// same stem (qoro_update_release.sig for qoro_update_release.meta, …), one
// line per key, "<key id> <r || s in hex>",
// after a format line. ECDSA P-256 over SHA-256, r || s written as 128
// lowercase hex digits. ASCII lines ending in "\n" ("\r\n" is read too).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/trust/crypto.h"

inline constexpr const char* kSignatureName = "qoro_update_infos.sig";
inline constexpr const char* kReleaseSignatureName = "qoro_update_release.sig";
inline constexpr const char* kFreshSignatureName = "qoro_update_fresh.sig";

// The signature file beside a top metadata file: the same stem, ".sig".
std::string SignatureNameOf(std::string_view metadataName);

// "<key id> <r || s in hex>", without the line end.
std::string FormatSignatureLine(const PublicKey& key, const Signature& signature);

// A whole signature file: the format line, then one line per signature.
std::string FormatSignatures(const std::vector<std::pair<PublicKey, Signature>>& signatures);

// The key ids of the lines of a well-formed signature file, in file order;
// nothing when it is malformed.
std::optional<std::vector<std::string>> SignatureKeyIds(std::string_view signatures);

// How many of keys (each counted once, however many lines it has) carry a
// valid signature of metadata (its exact bytes) in signatures; 0 when the
// signature file is malformed.
std::size_t CountSignedBy(std::string_view metadata, std::string_view signatures,
                          const std::vector<PublicKey>& keys);
// At least one.
bool IsSignedBy(std::string_view metadata, std::string_view signatures, const std::vector<PublicKey>& keys);
