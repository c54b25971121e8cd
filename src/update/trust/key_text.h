// Public keys as text: how UPDATE_PUBLIC_KEY and `update-repo keygen` write
// them, and the short id that names a key in the signature file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/crypto.h"

// 128 hex digits of X || Y each, separated by commas and/or blanks. Empty
// text is no key. Nothing when a key is malformed; a key given twice counts
// once.
std::optional<std::vector<PublicKey>> ParsePublicKeys(std::string_view text);

// 128 lowercase hex digits.
std::string KeyText(const PublicKey& key);

// The first 8 bytes of SHA-256(X || Y), 16 lowercase hex digits.
std::string KeyId(const PublicKey& key);
