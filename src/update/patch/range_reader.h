// Ranges of a file read at any offset, through a handle of its own: each
// thread reads where it needs without moving another one's position. A
// segmented delta reads its old file so (and update-repo both files), never
// mapping it: a file of 64 GiB costs no memory but the bytes being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

class RangeReader {
public:
    // Throws CodecError (Unreadable) when the file cannot be opened.
    explicit RangeReader(const std::filesystem::path& file);
    // Exactly `size` bytes from `offset`; throws CodecError (Unreadable) when
    // they cannot all be read (a file cut short meanwhile among them).
    void Read(std::uint64_t offset, char* to, std::size_t size);

private:
    std::filesystem::path file_;
    std::ifstream in_;
};
