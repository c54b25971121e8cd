// Local files on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "storage/cp1252.h"
#include "storage/storage.h"

namespace {

std::string ResolveProgramFolder() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) throw std::system_error(errno, std::generic_category(), "/proc/self/exe");
        if (static_cast<std::size_t>(n) < buffer.size()) {
            std::string exe(buffer.data(), static_cast<std::size_t>(n));
            const auto slash = exe.rfind('/');
            return slash == 0 ? std::string("/") : exe.substr(0, slash);
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::string ProgramFolder() {
    static const std::string folder = ResolveProgramFolder();
    return folder;
}

bool FileExists(const std::string& name) {
    struct stat st {};
    return stat(LocalPath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void MakeFolder(const std::string& path) {
    if (mkdir(NativePath(path).c_str(), 0777) != 0 && errno != EEXIST) {
        throw std::system_error(errno, std::generic_category(), path);
    }
    if (!IsFolder(path)) throw std::system_error(EEXIST, std::generic_category(), path);
}

void ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (rename(from.c_str(), to.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), to.string());
    }
}

namespace {

class DescriptorWriter : public FileWriter {
public:
    explicit DescriptorWriter(int fd) : fd_(fd) {}
    ~DescriptorWriter() override { Close(); }
    DescriptorWriter(const DescriptorWriter&) = delete;
    DescriptorWriter& operator=(const DescriptorWriter&) = delete;

    bool Write(const char* data, std::size_t size) override {
        while (size > 0 && fd_ >= 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed_ = true;
                return false;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return fd_ >= 0 && !failed_;
    }

    void StartWriteback() override {
        if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    bool Close() override {
        if (fd_ < 0) return !failed_;
        if (::close(fd_) != 0) failed_ = true;
        fd_ = -1;
        return !failed_;
    }

private:
    int fd_;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<FileWriter> OpenForWriting(const std::filesystem::path& file, WriteMode mode) {
    // O_NOFOLLOW refuses a link at the name itself; O_EXCL refuses any name
    // that exists, a link included, so a new file is always our own.
    const int flags =
        O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (mode == WriteMode::CreateNew ? O_CREAT | O_EXCL : O_APPEND);
    const int fd = ::open(file.c_str(), flags, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<DescriptorWriter>(fd);
}

void SyncWrittenFiles(const std::filesystem::path& folder) {
    // One syncfs() flushes every file of the game's file system at once; a
    // per-file fsync would cost thousands of disk flushes for a big update.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ::sync();
        return;
    }
    if (::syncfs(fd) != 0) ::sync();
    ::close(fd);
}

namespace {

// flock() locks belong to the open file: the kernel drops them when the
// process ends, even by kill -9, and a second process cannot take them.
class FlockFolderLock : public FolderLock {
public:
    FlockFolderLock(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    ~FlockFolderLock() override {
        // Removed while still locked, so that no other process can hold a
        // lock on a file that is no longer there.
        ::unlink(path_.c_str());
        ::close(fd_);
    }
    FlockFolderLock(const FlockFolderLock&) = delete;
    FlockFolderLock& operator=(const FlockFolderLock&) = delete;

private:
    int fd_;
    std::filesystem::path path_;
};

}  // namespace

std::unique_ptr<FolderLock> LockFolder(const std::filesystem::path& lockFile, LockOutcome& outcome) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            outcome = LockOutcome::Unavailable;
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            outcome = errno == EWOULDBLOCK ? LockOutcome::Busy : LockOutcome::Unavailable;
            return nullptr;
        }
        // The holder we waited for may have removed the file between our
        // open and our lock: then we hold a lock on a name nobody sees.
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) == 0 && ::stat(lockFile.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            outcome = LockOutcome::Locked;
            return std::make_unique<FlockFolderLock>(fd, lockFile);
        }
        ::close(fd);
    }
    outcome = LockOutcome::Busy;
    return nullptr;
}

std::string AnsiToUtf8(std::string_view ansi) {
    return Cp1252ToUtf8(ansi);
}
std::string Utf8ToAnsi(std::string_view utf8) {
    return Utf8ToCp1252(utf8);
}
