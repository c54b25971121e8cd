// Files mapped with a file mapping object on Windows.
#include <windows.h>

#include <cstdint>

#include "storage/mapped_file.h"

namespace {

class ViewOfFile : public MappedFile {
public:
    ViewOfFile(HANDLE file, HANDLE mapping, const void* view, std::size_t size)
        : file_(file), mapping_(mapping), view_(view), size_(size) {}
    ~ViewOfFile() override {
        if (view_) UnmapViewOfFile(view_);
        if (mapping_) CloseHandle(mapping_);
        CloseHandle(file_);
    }
    ViewOfFile(const ViewOfFile&) = delete;
    ViewOfFile& operator=(const ViewOfFile&) = delete;

    std::string_view Bytes() const override {
        return size_ == 0 ? std::string_view() : std::string_view(static_cast<const char*>(view_), size_);
    }

private:
    HANDLE file_;  // kept open: its sharing keeps writers out while the view lives
    HANDLE mapping_;
    const void* view_;
    std::size_t size_;
};

}  // namespace

std::unique_ptr<MappedFile> MapFile(const std::filesystem::path& file) {
    // Shared for reading only (and renaming, which leaves the content as it
    // is): no other handle may write while this one is open.
    HANDLE handle = CreateFileW(std::filesystem::path(file).make_preferred().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return nullptr;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    // An empty file has no mapping object: it maps to no bytes.
    if (size == 0) return std::make_unique<ViewOfFile>(handle, nullptr, nullptr, 0);
    HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
        if (mapping) CloseHandle(mapping);
        CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<ViewOfFile>(handle, mapping, view, static_cast<std::size_t>(size));
}
