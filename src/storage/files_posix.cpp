// The game folder on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "storage/cp1252.h"
#include "storage/storage.h"
#include "storage/system_error.h"

IoStatus SystemError(const std::string& name, int error) {
    return IoStatus(name, std::error_code(error, std::generic_category()));
}

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

FileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::Regular;
    if (S_ISDIR(mode)) return FileKind::Folder;
    if (S_ISLNK(mode)) return FileKind::Link;
    return FileKind::Other;
}

FileInfo InfoOf(const struct stat& st) {
    return {KindOf(st.st_mode), S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0};
}

// Opened only when it is a regular file; a descriptor of anything else is
// closed again.
Result<int> RegularFile(const std::string& name, int fd) {
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (error == 0) return fd;
    ::close(fd);
    return SystemError(name, error);
}

class DescriptorWriter : public FileWriter {
public:
    DescriptorWriter(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
    ~DescriptorWriter() override { Close().IgnoreError(); }
    DescriptorWriter(const DescriptorWriter&) = delete;
    DescriptorWriter& operator=(const DescriptorWriter&) = delete;

    // After a failure nothing more is written: bytes past a gap would not be
    // where the caller thinks they are.
    IoStatus Write(const char* data, std::size_t size) override {
        if (!failure_.ok() || fd_ < 0) return failure_.ok() ? SystemError(name_, EBADF) : failure_;
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // A write that takes no byte of a regular file without saying why.
                failure_ = SystemError(name_, n < 0 ? errno : EIO);
                return failure_;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return {};
    }

    void StartWriteback() override {
        if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    IoStatus Close() override {
        if (fd_ < 0) return failure_;
        if (::close(fd_) != 0 && failure_.ok()) failure_ = SystemError(name_, errno);
        fd_ = -1;
        return failure_;
    }

private:
    std::string name_;
    int fd_;
    IoStatus failure_;
};

class DescriptorReader : public FileReader {
public:
    DescriptorReader(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
    ~DescriptorReader() override { ::close(fd_); }
    DescriptorReader(const DescriptorReader&) = delete;
    DescriptorReader& operator=(const DescriptorReader&) = delete;

    Result<std::size_t> Read(char* data, std::size_t size) override {
        for (;;) {
            const ssize_t n = ::read(fd_, data, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) return SystemError(name_, errno);
        }
    }

    IoStatus Seek(std::uint64_t offset) override {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return SystemError(name_, errno);
        return {};
    }

    Result<FileInfo> Info() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return SystemError(name_, errno);
        return InfoOf(st);
    }

private:
    std::string name_;
    int fd_;
};

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

class PosixFolder : public GameFolder {
public:
    explicit PosixFolder(std::string root) : root_(std::move(root)) {}

    Result<std::unique_ptr<FileWriter>> OpenForWriting(const std::string& name, WriteMode mode) override;
    Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& name, Links links) override;
    Result<std::unique_ptr<MappedFile>> Map(const std::string& name) override;
    IoStatus Replace(const std::string& from, const std::string& to) override;
    IoStatus Remove(const std::string& name) override;
    IoStatus MakeFolder(const std::string& name) override;
    Result<FileInfo> Inspect(const std::string& name, Links links) override;
    bool FileExists(const std::string& name) override;
    Result<std::unique_ptr<FolderLock>> Lock(const std::string& name) override;
    IoStatus Flush(const std::vector<std::string>& names) override;
    Result<std::uint64_t> FreeSpace() override;
    std::string ReadIni(const std::string& section, const std::string& key) override;
    IoStatus WriteIni(const std::string& section, const std::string& key, const std::string& value) override;
    std::filesystem::path Where(const std::string& name) const override;

private:
    // Joined as text, never as paths: a name cannot lead out of the folder
    // by being absolute.
    std::string Native(const std::string& name) const { return Where(name).native(); }

    std::string root_;
};

Result<std::unique_ptr<FileWriter>> PosixFolder::OpenForWriting(const std::string& name, WriteMode mode) {
    // O_NOFOLLOW refuses a link at the name itself; O_EXCL refuses any name
    // that exists, a link included, so a new file is always our own.
    const int flags =
        O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (mode == WriteMode::CreateNew ? O_CREAT | O_EXCL : O_APPEND);
    const int fd = ::open(Native(name).c_str(), flags, 0644);
    if (fd < 0) return SystemError(name, errno);
    const Result<int> file = RegularFile(name, fd);
    if (!file.ok()) return file.error();
    return std::unique_ptr<FileWriter>(std::make_unique<DescriptorWriter>(name, *file));
}

Result<std::unique_ptr<FileReader>> PosixFolder::OpenForReading(const std::string& name, Links links) {
    const int fd = ::open(Native(name).c_str(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | (links == Links::NotFollowed ? O_NOFOLLOW : 0));
    if (fd < 0) return SystemError(name, errno);
    return std::unique_ptr<FileReader>(std::make_unique<DescriptorReader>(name, fd));
}

Result<std::unique_ptr<MappedFile>> PosixFolder::Map(const std::string& name) {
    const int opened = ::open(Native(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (opened < 0) return SystemError(name, errno);
    const Result<int> fd = RegularFile(name, opened);
    if (!fd.ok()) return fd.error();
    struct stat st {};
    ::fstat(*fd, &st);
    const auto size = static_cast<std::size_t>(st.st_size);
    // mmap() refuses a length of 0: an empty file maps to no bytes.
    void* address = nullptr;
    if (size > 0) {
        address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, *fd, 0);
        if (address == MAP_FAILED) {
            const IoStatus failure = SystemError(name, errno);
            ::close(*fd);
            return failure;
        }
    }
    // The mapping keeps the file; the descriptor is no longer needed.
    ::close(*fd);
    return std::unique_ptr<MappedFile>(std::make_unique<MmapFile>(address, size));
}

IoStatus PosixFolder::Replace(const std::string& from, const std::string& to) {
    if (::rename(Native(from).c_str(), Native(to).c_str()) != 0) return SystemError(to, errno);
    return {};
}

IoStatus PosixFolder::Remove(const std::string& name) {
    if (::remove(Native(name).c_str()) != 0 && errno != ENOENT) return SystemError(name, errno);
    return {};
}

IoStatus PosixFolder::MakeFolder(const std::string& name) {
    if (::mkdir(Native(name).c_str(), 0777) == 0) return {};
    const int error = errno;
    if (error == EEXIST) {
        const Result<FileInfo> there = Inspect(name, Links::Followed);
        if (there.ok() && there->kind == FileKind::Folder) return {};
    }
    return SystemError(name, error);
}

Result<FileInfo> PosixFolder::Inspect(const std::string& name, Links links) {
    struct stat st {};
    const std::string path = Native(name);
    const int status = links == Links::Followed ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (status == 0) return InfoOf(st);
    if (errno == ENOENT || errno == ENOTDIR) return FileInfo{};
    return SystemError(name, errno);
}

bool PosixFolder::FileExists(const std::string& name) {
    struct stat st {};
    return ::stat(Native(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Result<std::unique_ptr<FolderLock>> PosixFolder::Lock(const std::string& name) {
    const std::filesystem::path lockFile = Where(name);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return SystemError(name, errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const IoStatus failure = SystemError(name, errno);
            ::close(fd);
            return failure;
        }
        // The holder we waited for may have removed the file between our
        // open and our lock: then we hold a lock on a name nobody sees.
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) == 0 && ::stat(lockFile.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            return std::unique_ptr<FolderLock>(std::make_unique<FlockFolderLock>(fd, lockFile));
        }
        ::close(fd);
    }
    return SystemError(name, EWOULDBLOCK);
}

// Past this many files, one syncfs() costs less than their fsyncs.
constexpr std::size_t kFlushOneByOneMost = 2048;
constexpr std::size_t kFlushThreads = 16;

// How the flush opens what it syncs. A file is never opened through a link
// at its own name; a folder is looked through, as every write into it is: a
// player may have moved a folder to another disk and left a link, and the
// names to keep are in the folder it leads to.
constexpr int kSyncFile = O_NOFOLLOW;
constexpr int kSyncFolder = O_DIRECTORY;

// fsync() of one file or folder; a name gone meanwhile has nothing to flush.
IoStatus SyncOne(const std::string& native, const std::string& name, int flags) {
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) return errno == ENOENT ? IoStatus() : SystemError(name, errno);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    return synced == 0 ? IoStatus() : SystemError(name, error);
}

// One syncfs() for the whole file system, for many files at once.
IoStatus SyncFileSystem(const std::string& root) {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ::sync();
        return {};
    }
    IoStatus flushed;
    if (::syncfs(fd) != 0) {
        // Since Linux 5.8 syncfs() also reports data that could not be written back.
        if (errno == ENOSYS) {
            ::sync();
        } else {
            flushed = SystemError(".", errno);
        }
    }
    ::close(fd);
    return flushed;
}

// fsync() of every (native, name) pair, from several threads: a journaling
// file system commits the flushes that wait together at once, where one
// after the other each waits for a commit of its own (500 small files: a
// third of the time with 16 threads). The first failure, in the given
// order, is the one reported.
IoStatus SyncAll(const std::vector<std::pair<std::string, std::string>>& items, int flags) {
    std::vector<IoStatus> results(items.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t k = next++; k < items.size(); k = next++) {
            results[k] = SyncOne(items[k].first, items[k].second, flags);
        }
    };
    std::vector<std::jthread> threads;
    const std::size_t helpers = std::min(items.size() / 8, kFlushThreads - 1);
    for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(work);
    work();
    threads.clear();
    for (IoStatus& result : results) {
        if (!result.ok()) return result;
    }
    return {};
}

IoStatus PosixFolder::Flush(const std::vector<std::string>& names) {
    // Each file, then each folder that holds one, up to the game folder: the
    // folders keep the names (new folders among them). syncfs() would wait
    // for every other writer on the same file system, which on a busy
    // machine takes several times longer; past a few thousand files, though,
    // their fsyncs cost more than it does.
    if (names.size() > kFlushOneByOneMost) return SyncFileSystem(Native(""));
    std::vector<std::pair<std::string, std::string>> files;
    std::set<std::filesystem::path> folders;
    for (const std::string& name : names) {
        files.emplace_back(Native(name), name);
        for (std::filesystem::path folder = Where(name).parent_path();
             folder.native().size() >= root_.size() && folders.insert(folder).second;
             folder = folder.parent_path()) {
        }
    }
    if (IoStatus synced = SyncAll(files, kSyncFile); !synced.ok()) return synced;
    std::vector<std::pair<std::string, std::string>> holders;
    for (const std::filesystem::path& folder : folders) holders.emplace_back(folder.native(), ".");
    return SyncAll(holders, kSyncFolder);
}

Result<std::uint64_t> PosixFolder::FreeSpace() {
    struct statvfs st {};
    if (::statvfs(Native("").c_str(), &st) != 0) return SystemError(".", errno);
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

std::string PosixFolder::ReadIni(const std::string& section, const std::string& key) {
    return ::ReadIni(root_ + "\\" + kSettingsName, section, key);
}

IoStatus PosixFolder::WriteIni(const std::string& section, const std::string& key, const std::string& value) {
    const IoStatus written = ::WriteIni(section, key, value, root_ + "\\" + kSettingsName);
    return written.ok() ? written : IoStatus(kSettingsName, written.code());
}

std::filesystem::path PosixFolder::Where(const std::string& name) const {
    return NativePath(root_ + "\\" + name);
}

}  // namespace

std::string ProgramFolder() {
    static const std::string folder = ResolveProgramFolder();
    return folder;
}

std::unique_ptr<GameFolder> OpenProgramFolder() {
    return std::make_unique<PosixFolder>(ProgramFolder());
}

std::unique_ptr<GameFolder> OpenFolder(const std::filesystem::path& root) {
    const std::u8string text = root.u8string();
    return std::make_unique<PosixFolder>(std::string(text.begin(), text.end()));
}

bool IsHeldElsewhere(const IoStatus& failure) {
    return failure.code() == std::error_code(EWOULDBLOCK, std::generic_category());
}

bool IsDiskFull(const IoStatus& failure) {
    return failure.code() == std::errc::no_space_on_device ||
           failure.code() == std::error_code(EDQUOT, std::generic_category());
}

std::string AnsiToUtf8(std::string_view ansi) {
    return Cp1252ToUtf8(ansi);
}
std::string Utf8ToAnsi(std::string_view utf8) {
    return Utf8ToCp1252(utf8);
}
