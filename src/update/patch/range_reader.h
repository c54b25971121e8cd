// Ranges of a file read at any offset, through a handle of its own: each
// thread reads where it needs without moving another one's position. A
// segmented delta reads its old file so (and update-repo both files), never
// mapping it: a file of 64 GiB costs no memory but the bytes being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "storage/storage.h"

class RangeReader {
public:
    // The file `name` of folder, which must outlive the reader. Throws
    // CodecError (Unreadable) when the file cannot be opened.
    RangeReader(GameFolder& folder, const std::string& name);
    // A file on the disk, through the folder that holds it.
    explicit RangeReader(const std::filesystem::path& file);
    // Exactly `size` bytes from `offset`; throws CodecError (Unreadable) when
    // they cannot all be read (a file cut short meanwhile among them).
    void Read(std::uint64_t offset, char* to, std::size_t size);

private:
    void Open(GameFolder& folder);

    std::unique_ptr<GameFolder> ownFolder_;
    std::string name_;
    std::unique_ptr<FileReader> in_;
};
