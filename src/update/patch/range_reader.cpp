#include "update/patch/range_reader.h"

#include "update/patch/codec_types.h"

namespace {

CodecError Unreadable(const std::string& name) {
    return CodecError(CodecError::Kind::Unreadable, "The file " + name + " could not be read.");
}

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

RangeReader::RangeReader(GameFolder& folder, const std::string& name) : name_(name) {
    Open(folder);
}

RangeReader::RangeReader(const std::filesystem::path& file) {
    const std::filesystem::path path = std::filesystem::absolute(file);
    ownFolder_ = OpenFolder(path.parent_path());
    name_ = PathText(path.filename());
    Open(*ownFolder_);
}

void RangeReader::Open(GameFolder& folder) {
    Result<std::unique_ptr<FileReader>> opened = folder.OpenForReading(name_, Links::Followed);
    if (!opened.ok()) throw Unreadable(name_);
    in_ = std::move(*opened);
}

void RangeReader::Read(std::uint64_t offset, char* to, std::size_t size) {
    if (!in_->Seek(offset).ok()) throw Unreadable(name_);
    while (size > 0) {
        const Result<std::size_t> got = in_->Read(to, size);
        if (!got.ok() || *got == 0) throw Unreadable(name_);
        to += *got;
        size -= *got;
    }
}
