// qoro_update_infos.sig: signatures of the exact bytes of
// qoro_update_infos.meta, one line per key, "<key id> <r || s in hex>",
// after a format line. ECDSA P-256 over SHA-256, r || s written as 128
// lowercase hex digits. ASCII lines ending in "\n" ("\r\n" is read too).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/crypto.h"

inline constexpr const char* kSignatureName = "qoro_update_infos.sig";

// "<key id> <r || s in hex>", without the line end.
std::string FormatSignatureLine(const PublicKey& key, const Signature& signature);

// A whole signature file: the format line, then one line per signature.
std::string FormatSignatures(const std::vector<std::pair<PublicKey, Signature>>& signatures);

// The key ids of the lines of a well-formed signature file, in file order;
// nothing when it is malformed.
std::optional<std::vector<std::string>> SignatureKeyIds(std::string_view signatures);

// True when signatures is a well-formed signature file and one of its lines
// carries a valid signature of metadata (its exact bytes) by one of keys.
bool IsSignedBy(std::string_view metadata, std::string_view signatures, const std::vector<PublicKey>& keys);
