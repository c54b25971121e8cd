// The game folder on Windows. The program's strings are UTF-8; every path
// goes to the system as UTF-16 through the W functions, so a game folder
// under a user name with accents (or any other script) works whatever the
// ANSI code page is.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "storage/storage.h"
#include "storage/system_error.h"
#include "storage/text_win.h"

IoStatus SystemError(const std::string& name, int error) {
    return IoStatus(name, std::error_code(error, std::system_category()));
}

namespace {

namespace fs = std::filesystem;

IoStatus LastError(const std::string& name) {
    return SystemError(name, static_cast<int>(GetLastError()));
}

std::wstring ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "GetModuleFileNameW");
        }
        // A full buffer means the name was cut (Windows XP does not even say so).
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// Volume and file index: the same file whatever name reaches it (8.3 names,
// either separator, different case).
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

bool IdentifyFile(const wchar_t* path, FileIdentity& identity) {
    // No access rights asked for: this open works on a running executable too.
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known) return false;
    identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

bool IsRunningExecutable(const fs::path& path) {
    FileIdentity target, self;
    return IdentifyFile(path.c_str(), target) && IdentifyFile(ExecutablePath().c_str(), self) &&
           target == self;
}

// Where the running executable goes when a list replaces it.
fs::path AsideName(const fs::path& executable) {
    fs::path aside = executable;
    aside += L".old";
    return aside;
}

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Windows keeps a running executable's image open without delete sharing, so
// it cannot be overwritten; it can be renamed, though. The running copy moves
// aside, the new one takes its name, and the next start removes the old one.
IoStatus ReplaceRunningExecutable(const fs::path& from, const fs::path& to, const std::string& name) {
    const fs::path aside = AsideName(to);
    if (!MoveFileExW(to.c_str(), aside.c_str(), kMoveFlags)) return LastError(name);
    if (!MoveFileExW(from.c_str(), to.c_str(), kMoveFlags)) {
        const IoStatus failure = LastError(name);
        // Put the running copy back, so the game folder keeps an updater.
        MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
        return failure;
    }
    return {};
}

// Writes one file's data through to the disk. FlushFileBuffers needs a
// handle with write access; a name gone meanwhile has nothing to flush.
IoStatus FlushOne(const fs::path& path, const std::string& name) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
        return SystemError(name, static_cast<int>(error));
    }
    const BOOL flushed = FlushFileBuffers(file);
    const DWORD error = GetLastError();
    CloseHandle(file);
    return flushed ? IoStatus() : SystemError(name, static_cast<int>(error));
}

std::uint64_t SizeOf(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

FileInfo InfoOf(DWORD attributes, std::uint64_t size) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return {FileKind::Link, 0};
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {FileKind::Folder, 0};
    return {FileKind::Regular, size};
}

// The answers for a name that is not there, or cannot be: a missing folder
// on its way, a character no file name may hold.
bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_BAD_PATHNAME || error == ERROR_DIRECTORY;
}

class HandleWriter : public FileWriter {
public:
    HandleWriter(std::string name, HANDLE file) : name_(std::move(name)), file_(file) {}
    ~HandleWriter() override { Close().IgnoreError(); }
    HandleWriter(const HandleWriter&) = delete;
    HandleWriter& operator=(const HandleWriter&) = delete;

    // After a failure nothing more is written: bytes past a gap would not be
    // where the caller thinks they are.
    IoStatus Write(const char* data, std::size_t size) override {
        if (!failure_.ok()) return failure_;
        if (file_ == INVALID_HANDLE_VALUE) return SystemError(name_, ERROR_INVALID_HANDLE);
        while (size > 0) {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(file_, data, piece, &written, nullptr)) {
                failure_ = LastError(name_);
                return failure_;
            }
            // A write that takes no byte without saying why.
            if (written == 0) {
                failure_ = SystemError(name_, ERROR_WRITE_FAULT);
                return failure_;
            }
            data += written;
            size -= written;
        }
        return {};
    }

    // Windows writes a file's data back on its own schedule and has no call
    // that starts it without waiting; the flush before the commit does the work.
    void StartWriteback() override {}

    IoStatus Close() override {
        if (file_ == INVALID_HANDLE_VALUE) return failure_;
        if (!CloseHandle(file_) && failure_.ok()) failure_ = LastError(name_);
        file_ = INVALID_HANDLE_VALUE;
        return failure_;
    }

private:
    std::string name_;
    HANDLE file_;
    IoStatus failure_;
};

class HandleReader : public FileReader {
public:
    HandleReader(std::string name, HANDLE file) : name_(std::move(name)), file_(file) {}
    ~HandleReader() override { CloseHandle(file_); }
    HandleReader(const HandleReader&) = delete;
    HandleReader& operator=(const HandleReader&) = delete;

    Result<std::size_t> Read(char* data, std::size_t size) override {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD read = 0;
        if (!ReadFile(file_, data, piece, &read, nullptr)) return LastError(name_);
        return static_cast<std::size_t>(read);
    }

    IoStatus Seek(std::uint64_t offset) override {
        LARGE_INTEGER to{};
        to.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file_, to, nullptr, FILE_BEGIN)) return LastError(name_);
        return {};
    }

    Result<FileInfo> Info() override {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(file_, &info)) return LastError(name_);
        // The open went through any link: what it found is what counts.
        return InfoOf(info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT,
                      SizeOf(info.nFileSizeHigh, info.nFileSizeLow));
    }

private:
    std::string name_;
    HANDLE file_;
};

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

// The handle is the lock: opened without any sharing, no other process can
// open the file while it is held, and the system closes it when the process
// ends, however it ends; the file then goes away with its last handle.
class HandleFolderLock : public FolderLock {
public:
    explicit HandleFolderLock(HANDLE file) : file_(file) {}
    ~HandleFolderLock() override { CloseHandle(file_); }
    HandleFolderLock(const HandleFolderLock&) = delete;
    HandleFolderLock& operator=(const HandleFolderLock&) = delete;

private:
    HANDLE file_;
};

class WindowsFolder : public GameFolder {
public:
    explicit WindowsFolder(std::string root) : root_(std::move(root)) {}

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
    // Joined as text, never as paths: a name cannot lead out of the folder
    // by being absolute. Either separator may arrive; the system gets its own.
    fs::path Where(const std::string& name) const override {
        return NativePath(root_ + "\\" + name).make_preferred();
    }

private:
    Result<FileInfo> InspectTarget(const std::string& name);

    std::string root_;
};

Result<std::unique_ptr<FileWriter>> WindowsFolder::OpenForWriting(const std::string& name, WriteMode mode) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link (or junction) itself rather
    // than what it points at; such a handle is then refused below. CREATE_NEW
    // fails on any existing name, a link included.
    const DWORD access = mode == WriteMode::CreateNew ? GENERIC_WRITE : FILE_APPEND_DATA;
    const DWORD disposition = mode == WriteMode::CreateNew ? CREATE_NEW : OPEN_EXISTING;
    HANDLE handle =
        CreateFileW(Where(name).c_str(), access | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(name);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        const IoStatus failure = LastError(name);
        CloseHandle(handle);
        return failure;
    }
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        // What a write through a link or into a folder would meet.
        return SystemError(name, ERROR_ACCESS_DENIED);
    }
    return std::unique_ptr<FileWriter>(std::make_unique<HandleWriter>(name, handle));
}

// Shared as the C library's fopen() shares a file: other readers and writers
// are welcome, and the file cannot be removed meanwhile. Not following,
// FILE_FLAG_OPEN_REPARSE_POINT opens a link (or junction) itself, and such a
// handle is refused as O_NOFOLLOW refuses a link on POSIX.
Result<std::unique_ptr<FileReader>> WindowsFolder::OpenForReading(const std::string& name, Links links) {
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (links == Links::NotFollowed ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileW(Where(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(name);
    BY_HANDLE_FILE_INFORMATION info{};
    if (links == Links::NotFollowed && (!GetFileInformationByHandle(handle, &info) ||
                                        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(handle);
        return SystemError(name, ERROR_CANT_ACCESS_FILE);
    }
    return std::unique_ptr<FileReader>(std::make_unique<HandleReader>(name, handle));
}

Result<std::unique_ptr<MappedFile>> WindowsFolder::Map(const std::string& name) {
    // Shared for reading only (and renaming, which leaves the content as it
    // is): no other handle may write while this one is open.
    HANDLE handle = CreateFileW(Where(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(name);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const IoStatus failure = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY
                                     ? SystemError(name, ERROR_ACCESS_DENIED)
                                     : LastError(name);
        CloseHandle(handle);
        return failure;
    }
    const std::uint64_t size = SizeOf(info.nFileSizeHigh, info.nFileSizeLow);
    // An empty file has no mapping object: it maps to no bytes.
    if (size == 0)
        return std::unique_ptr<MappedFile>(std::make_unique<ViewOfFile>(handle, nullptr, nullptr, 0));
    HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
        const IoStatus failure = LastError(name);
        if (mapping) CloseHandle(mapping);
        CloseHandle(handle);
        return failure;
    }
    return std::unique_ptr<MappedFile>(
        std::make_unique<ViewOfFile>(handle, mapping, view, static_cast<std::size_t>(size)));
}

IoStatus WindowsFolder::Replace(const std::string& from, const std::string& to) {
    const fs::path source = Where(from);
    const fs::path target = Where(to);
    if (IsRunningExecutable(target)) return ReplaceRunningExecutable(source, target, to);
    // Replacing a file that another program holds open without delete
    // sharing fails (sharing violation or access denied) and leaves it whole.
    if (!MoveFileExW(source.c_str(), target.c_str(), kMoveFlags)) return LastError(to);
    return {};
}

IoStatus WindowsFolder::Remove(const std::string& name) {
    const fs::path path = Where(name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return IsMissing(GetLastError()) ? IoStatus() : LastError(name);
    }
    // A link to a folder is removed as a folder, and only the link goes.
    const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())) return {};
    return IsMissing(GetLastError()) ? IoStatus() : LastError(name);
}

IoStatus WindowsFolder::MakeFolder(const std::string& name) {
    if (CreateDirectoryW(Where(name).c_str(), nullptr)) return {};
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        const Result<FileInfo> there = Inspect(name, Links::Followed);
        if (there.ok() && there->kind == FileKind::Folder) return {};
    }
    return SystemError(name, static_cast<int>(error));
}

Result<FileInfo> WindowsFolder::Inspect(const std::string& name, Links links) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Where(name).c_str(), GetFileExInfoStandard, &data)) {
        return IsMissing(GetLastError()) ? Result<FileInfo>(FileInfo{}) : LastError(name);
    }
    if (links == Links::Followed && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return InspectTarget(name);
    }
    return InfoOf(data.dwFileAttributes, SizeOf(data.nFileSizeHigh, data.nFileSizeLow));
}

// What a link leads to: an open follows it, asking for no access rights.
Result<FileInfo> WindowsFolder::InspectTarget(const std::string& name) {
    HANDLE file = CreateFileW(Where(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return IsMissing(GetLastError()) ? Result<FileInfo>(FileInfo{}) : LastError(name);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    const IoStatus failure = known ? IoStatus() : LastError(name);
    CloseHandle(file);
    if (!known) return failure;
    return InfoOf(info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT,
                  SizeOf(info.nFileSizeHigh, info.nFileSizeLow));
}

bool WindowsFolder::FileExists(const std::string& name) {
    const fs::path path = Where(name);
    // A listing, not an attribute query: the name is looked up the way a
    // directory search sees it. Wildcards would turn it into a pattern, and
    // no file name can contain them anyway.
    if (path.native().find_first_of(L"*?") != std::wstring::npos) return false;
    WIN32_FIND_DATAW found{};
    HANDLE search =
        FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (found.dwFileAttributes & kNotNormal) == 0;
}

// A holder (which opened the file without sharing) makes every other open
// fail with a sharing violation; anything else means the folder cannot take
// the file (read-only media, no rights).
Result<std::unique_ptr<FolderLock>> WindowsFolder::Lock(const std::string& name) {
    HANDLE file = CreateFileW(Where(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError(name);
    return std::unique_ptr<FolderLock>(std::make_unique<HandleFolderLock>(file));
}

// Windows has no syncfs(): flushing a whole volume takes a handle on the
// volume, which only administrators may open. The files named (the staged
// copies and the journal) are flushed one by one.
IoStatus WindowsFolder::Flush(const std::vector<std::string>& names) {
    // NTFS journals the names themselves: the files' data is what a power
    // loss could still lose.
    for (const std::string& name : names) {
        if (IoStatus flushed = FlushOne(Where(name), name); !flushed.ok()) return flushed;
    }
    return {};
}

Result<std::uint64_t> WindowsFolder::FreeSpace() {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(Where("").c_str(), &available, nullptr, nullptr)) return LastError(".");
    return static_cast<std::uint64_t>(available.QuadPart);
}

std::string WindowsFolder::ReadIni(const std::string& section, const std::string& key) {
    return ::ReadIni(root_ + "\\" + kSettingsName, section, key);
}

IoStatus WindowsFolder::WriteIni(const std::string& section, const std::string& key,
                                 const std::string& value) {
    const IoStatus written = ::WriteIni(section, key, value, root_ + "\\" + kSettingsName);
    return written.ok() ? written : IoStatus(kSettingsName, written.code());
}

}  // namespace

std::string ProgramFolder() {
    static const std::string folder = [] {
        const std::wstring exe = ExecutablePath();
        const auto cut = exe.find_last_of(L"\\/");
        return Narrow(cut == std::wstring::npos ? exe : exe.substr(0, cut), CP_UTF8);
    }();
    return folder;
}

std::unique_ptr<GameFolder> OpenProgramFolder() {
    return std::make_unique<WindowsFolder>(ProgramFolder());
}

std::unique_ptr<GameFolder> OpenFolder(const fs::path& root) {
    const std::u8string text = root.u8string();
    return std::make_unique<WindowsFolder>(std::string(text.begin(), text.end()));
}

bool IsHeldElsewhere(const IoStatus& failure) {
    return failure.code() == std::error_code(ERROR_SHARING_VIOLATION, std::system_category());
}

// A failure told in the C library's numbers (a wrapper of the folder may
// report one) counts as well.
bool IsDiskFull(const IoStatus& failure) {
    const std::error_code& code = failure.code();
    return code == std::error_code(ERROR_DISK_FULL, std::system_category()) ||
           code == std::error_code(ERROR_HANDLE_DISK_FULL, std::system_category()) ||
           code == std::error_code(ENOSPC, std::generic_category());
}

// Called once at start: the copy of the updater that a previous run moved
// aside is no longer running. An update moves every replaced file, the
// running updater included, to a backup name ("updater.exe.~old-<tag>") and
// removes the backups once the commit is done; Windows refuses to remove the
// running image, so that one backup stays until here. Ignored when absent or
// still in use (another updater of this folder is still running from it).
void RemoveReplacedExecutable() {
    try {
        const fs::path executable(ExecutablePath());
        DeleteFileW(AsideName(executable).c_str());
        const fs::path pattern = fs::path(executable) += L".~old-*";
        WIN32_FIND_DATAW found{};
        HANDLE search =
            FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            DeleteFileW((executable.parent_path() / found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    } catch (...) {
    }
}

std::string AnsiToUtf8(std::string_view ansi) {
    return Narrow(Widen(ansi, CP_ACP), CP_UTF8);
}
std::string Utf8ToAnsi(std::string_view utf8) {
    return Narrow(Widen(utf8, CP_UTF8), CP_ACP);
}
