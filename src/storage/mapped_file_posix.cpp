// Files mapped with mmap() on POSIX systems.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/mapped_file.h"

namespace {

class MmapFile : public MappedFile {
public:
    MmapFile(void* address, std::size_t size) : address_(address), size_(size) {}
    ~MmapFile() override {
        if (size_ > 0) ::munmap(address_, size_);
    }
    MmapFile(const MmapFile&) = delete;
    MmapFile& operator=(const MmapFile&) = delete;

    std::string_view Bytes() const override {
        return size_ == 0 ? std::string_view() : std::string_view(static_cast<const char*>(address_), size_);
    }

private:
    void* address_;
    std::size_t size_;
};

}  // namespace

std::unique_ptr<MappedFile> MapFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    // mmap() refuses a length of 0: an empty file maps to no bytes.
    void* address = nullptr;
    if (size > 0) {
        address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (address == MAP_FAILED) {
            ::close(fd);
            return nullptr;
        }
    }
    // The mapping keeps the file; the descriptor is no longer needed.
    ::close(fd);
    return std::make_unique<MmapFile>(address, size);
}
