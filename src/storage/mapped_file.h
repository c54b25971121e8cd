// A whole file mapped read-only into memory. A delta is decoded (and made)
// with the old file as the frame's prefix, which zstd reads in place and at
// random: all of it must be at hand at once. A mapping gives that without a
// copy: the system pages the file in from disk as it is read and may drop
// those pages again, so a game file of a few hundred MiB costs address space,
// not that much of the program's own memory.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

class MappedFile {
public:
    virtual ~MappedFile() = default;
    // The file's bytes, valid while the object lives; empty for an empty file.
    virtual std::string_view Bytes() const = 0;
};

// Maps a regular file (an absolute path) read-only. Nothing when it cannot be
// opened or mapped: missing, a folder, no right to read, no address space.
// On Windows the file stays open, shared for reading only, while it is
// mapped: nobody can write to it meanwhile, and a file another program holds
// open for writing is not mapped. A POSIX system has no such lock: the caller
// maps files nobody changes meanwhile (a file cut short while mapped would
// end the program).
std::unique_ptr<MappedFile> MapFile(const std::filesystem::path& file);
