// Standard streams over the game folder's files, for the readers and writers
// of text that take one (the updater's records, digests, zstd frames).
#pragma once

#include <istream>
#include <ostream>
#include <streambuf>
#include <vector>

#include "storage/storage.h"

// Reads a FileReader from where it stands. A failed read sets badbit, as it
// does for a std::ifstream; failure() tells why.
class ReaderStream : public std::istream {
public:
    explicit ReaderStream(FileReader& reader);
    const IoStatus& failure() const { return buffer_.failure; }

private:
    struct Buffer : std::streambuf {
        explicit Buffer(FileReader& from) : reader(from), bytes(64 * 1024) {}
        int_type underflow() override;
        FileReader& reader;
        std::vector<char> bytes;
        IoStatus failure;
    };
    Buffer buffer_;
};

// Writes to a FileWriter in pieces of 64 KiB. A failed write sets badbit;
// Finish() writes what is left and tells whether everything was written.
class WriterStream : public std::ostream {
public:
    explicit WriterStream(FileWriter& writer);
    IoStatus Finish();

private:
    struct Buffer : std::streambuf {
        explicit Buffer(FileWriter& to);
        int_type overflow(int_type c) override;
        int sync() override;
        FileWriter& writer;
        std::vector<char> bytes;
        IoStatus failure;
    };
    Buffer buffer_;
};
