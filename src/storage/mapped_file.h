// A whole file mapped read-only into memory (GameFolder::Map). A delta is
// decoded (and made) with the old file as the frame's prefix, which zstd
// reads in place and at random: all of it must be at hand at once. A mapping
// gives that without a copy: the system pages the file in from disk as it is
// read and may drop those pages again, so a game file of a few hundred MiB
// costs address space, not that much of the program's own memory.
#pragma once

#include <string_view>

class MappedFile {
public:
    virtual ~MappedFile() = default;
    // The file's bytes, valid while the object lives; empty for an empty file.
    virtual std::string_view Bytes() const = 0;
};
