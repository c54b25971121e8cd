// The settings file on POSIX systems, which have no profile functions: the
// INI rules live in ini_text, and this file moves the bytes between the disk
// and those rules. Windows rewrites the file in place; here the new content
// goes to a temporary file that is renamed over the old one, so a crash or a
// full disk never leaves the game a half-written settings file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <random>

#include "storage/ini_text.h"
#include "storage/storage.h"
#include "storage/system_error.h"

namespace {

namespace fs = std::filesystem;

// The Windows call fills a 5000-character buffer, its terminating NUL included.
constexpr std::size_t kLongestValue = 4999;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }

    // close() reports the last write errors of some file systems (NFS), so it is checked.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// The settings file as found on disk.
struct StoredFile {
    enum State { Missing, Loaded, Unusable } state = Missing;
    std::string bytes;
    struct stat info {};
    int error = 0;  // why it is Unusable
};

// The helpers below return 0 or the errno of what failed.
int ReadAll(int fd, std::string& bytes) {
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return errno;
        if (count == 0) return 0;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

// Only a regular file counts: Windows fails on a folder standing in the
// file's place, and O_NONBLOCK keeps a FIFO there from hanging the open.
StoredFile Load(const fs::path& path) {
    StoredFile file;
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        file.state = errno == ENOENT ? StoredFile::Missing : StoredFile::Unusable;
        file.error = errno;
        return file;
    }
    if (::fstat(fd.get(), &file.info) != 0) {
        file.error = errno;
    } else if (!S_ISREG(file.info.st_mode)) {
        file.error = S_ISDIR(file.info.st_mode) ? EISDIR : EINVAL;
    } else {
        file.error = ReadAll(fd.get(), file.bytes);
    }
    file.state = file.error == 0 ? StoredFile::Loaded : StoredFile::Unusable;
    return file;
}

bool IsDirectory(const fs::path& path) {
    struct stat info {};
    return ::stat(path.empty() ? "." : path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A settings file that is a symbolic link is updated where it points, as a
// write through the link on Windows would; renaming over the link itself
// would cut it off from the file it shares.
fs::path WhereToWrite(const fs::path& path) {
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    return error ? path : real;
}

std::string RandomSuffix() {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string suffix;
    for (int i = 0; i < 8; ++i) suffix += kLetters[device() % (sizeof kLetters - 1)];
    return suffix;
}

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) continue;
        // A write that takes no byte of a regular file without saying why.
        if (count <= 0) return count < 0 ? errno : EIO;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

void SyncFolder(const fs::path& folder) {
    Descriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

// The new content, beside the file it replaces so that rename() can swap them
// in one step. The temporary file disappears unless it has been moved in place.
class Replacement {
public:
    explicit Replacement(const fs::path& target) : target_(target), fd_(Create()) {}
    ~Replacement() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    int Write(std::string_view bytes, const struct stat* old) {
        if (fd_.get() < 0) return created_;
        if (const int error = WriteAll(fd_.get(), bytes)) return error;
        if (const int error = KeepAccess(old)) return error;
        if (::fsync(fd_.get()) != 0 || !fd_.Close()) return errno;
        return 0;
    }

    int MoveInPlace() {
        if (::rename(path_.c_str(), target_.c_str()) != 0) return errno;
        path_.clear();
        SyncFolder(target_.parent_path());
        return 0;
    }

private:
    // Mode 0666 lets the umask decide, as for any new file; O_EXCL with a
    // random name keeps two writers from sharing a temporary file.
    int Create() {
        for (int attempt = 0; attempt < 16; ++attempt) {
            fs::path candidate =
                target_.parent_path() / ("." + target_.filename().string() + "." + RandomSuffix());
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                path_ = std::move(candidate);
                return fd;
            }
            created_ = errno;
            if (errno != EEXIST) break;
        }
        return -1;
    }

    // The game may run as another user than the updater: the replaced file
    // keeps its owner (when we may give it away) and its permission bits.
    int KeepAccess(const struct stat* old) {
        if (old == nullptr) return 0;
        if (::fchown(fd_.get(), old->st_uid, old->st_gid) != 0) {
            // Only a privileged process may give a file away; ours stays readable by the mode below.
        }
        return ::fchmod(fd_.get(), old->st_mode & 07777) == 0 ? 0 : errno;
    }

    fs::path target_;
    fs::path path_;    // before fd_: Create() sets it while fd_ is being initialised
    int created_ = 0;  // why the temporary file could not be made; before fd_ as well
    Descriptor fd_;
};

int WriteSetting(const fs::path& file, const std::string& section, const std::string& key,
                 const std::string& value) {
    const fs::path target = WhereToWrite(file);
    // Windows fails the write when the folder is missing; creating it would
    // leave behind a folder the game never made. Nothing is lost either.
    if (!IsDirectory(target.parent_path())) return 0;
    const StoredFile old = Load(target);
    if (old.state == StoredFile::Unusable) return old.error;
    const std::string updated = ini::WriteValue(old.bytes, section, key, value);
    if (old.state == StoredFile::Loaded && updated == old.bytes) return 0;
    Replacement replacement(target);
    if (const int error = replacement.Write(updated, old.state == StoredFile::Loaded ? &old.info : nullptr))
        return error;
    return replacement.MoveInPlace();
}

}  // namespace

std::string ReadIni(const std::string& file, const std::string& section, const std::string& key) {
    const StoredFile stored = Load(NativePath(file));
    if (stored.state != StoredFile::Loaded) return "";
    const std::optional<std::string> value =
        ini::ReadValue(stored.bytes, Utf8ToAnsi(section), Utf8ToAnsi(key));
    if (!value) return "";
    return AnsiToUtf8(std::string_view(*value).substr(0, kLongestValue));
}

IoStatus WriteIni(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& file) {
    int error = 0;
    try {
        error = WriteSetting(NativePath(file), Utf8ToAnsi(section), Utf8ToAnsi(key), Utf8ToAnsi(value));
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (...) {
        error = EIO;
    }
    return error == 0 ? IoStatus() : SystemError(file, error);
}
