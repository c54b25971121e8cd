// The size and SHA-256 of a repository file, as the signed metadata records
// them, without holding the file in memory.
#pragma once

#include <filesystem>

#include "update/trust/signed_metadata.h"

// Reads the file in pieces. Throws std::runtime_error when it cannot be read.
FileDigest DigestOfFile(const std::filesystem::path& path);
