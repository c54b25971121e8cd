#include "update/patch/range_reader.h"

#include <string>

#include "update/patch/zstd_codec.h"

namespace {

CodecError Unreadable(const std::filesystem::path& file) {
    const std::u8string name = file.u8string();
    return CodecError(CodecError::Kind::Unreadable,
                      "The file " + std::string(name.begin(), name.end()) + " could not be read.");
}

}  // namespace

RangeReader::RangeReader(const std::filesystem::path& file) : file_(file), in_(file, std::ios::binary) {
    if (!in_.is_open()) throw Unreadable(file_);
}

void RangeReader::Read(std::uint64_t offset, char* to, std::size_t size) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(to, static_cast<std::streamsize>(size));
    if (!in_ || static_cast<std::size_t>(in_.gcount()) != size) throw Unreadable(file_);
}
