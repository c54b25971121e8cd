// What both encoders (zstd_encode.cpp, segmented_encode.cpp) check of their
// input and of zstd, and the errors they throw for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "update/patch/zstd_codec.h"

std::string NameOf(const std::filesystem::path& path);

CodecError Unreadable(const std::filesystem::path& file);

// The size of a regular file, before anything is read; Unreadable when it is
// no regular file or cannot be looked at.
std::uint64_t SizeOf(const std::filesystem::path& file);

// Throws std::invalid_argument unless level is between 1 and ZSTD_maxCLevel().
void CheckLevel(int level);

// Throws for zstd's error status (nothing when it is none) met while
// compressing `file`: NoMemory, Unreadable for a file that changed size
// while read, else std::runtime_error.
void Check(std::size_t status, const std::filesystem::path& file);
