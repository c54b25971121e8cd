#include "storage/file_streams.h"

namespace {

// Thrown out of a stream buffer: the stream catches it and sets badbit.
struct ReadFailed {};

}  // namespace

ReaderStream::ReaderStream(FileReader& reader) : std::istream(nullptr), buffer_(reader) {
    rdbuf(&buffer_);
}

ReaderStream::Buffer::int_type ReaderStream::Buffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const Result<std::size_t> got = reader.Read(bytes.data(), bytes.size());
    if (!got.ok()) {
        failure = got.error();
        throw ReadFailed();
    }
    if (*got == 0) return traits_type::eof();
    setg(bytes.data(), bytes.data(), bytes.data() + *got);
    return traits_type::to_int_type(*gptr());
}

WriterStream::WriterStream(FileWriter& writer) : std::ostream(nullptr), buffer_(writer) {
    rdbuf(&buffer_);
}

IoStatus WriterStream::Finish() {
    flush();
    return buffer_.failure;
}

WriterStream::Buffer::Buffer(FileWriter& to) : writer(to), bytes(64 * 1024) {
    setp(bytes.data(), bytes.data() + bytes.size());
}

WriterStream::Buffer::int_type WriterStream::Buffer::overflow(int_type c) {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

// After a failure nothing more is written, and every later write fails too.
int WriterStream::Buffer::sync() {
    if (failure.ok() && pptr() > pbase())
        failure = writer.Write(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(bytes.data(), bytes.data() + bytes.size());
    return failure.ok() ? 0 : -1;
}
