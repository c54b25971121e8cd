// Local files on Windows. The program's strings are UTF-8; every path goes
// to the system as UTF-16 through the W functions, so a game folder under a
// user name with accents (or any other script) works whatever the ANSI code
// page is.
#include <windows.h>
// <windows.h> maps ReplaceFile to the system's ReplaceFileW; ours is meant.
#undef ReplaceFile

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "storage/storage.h"
#include "storage/text_win.h"

namespace {

namespace fs = std::filesystem;

// Either separator may arrive; the system gets its own.
fs::path SystemPath(const std::string& path) {
    return NativePath(path).make_preferred();
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

std::system_error LastError(const fs::path& path) {
    const std::u8string name = path.u8string();
    return std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                             std::string(name.begin(), name.end()));
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
void ReplaceRunningExecutable(const fs::path& from, const fs::path& to) {
    const fs::path aside = AsideName(to);
    if (!MoveFileExW(to.c_str(), aside.c_str(), kMoveFlags)) throw LastError(to);
    if (!MoveFileExW(from.c_str(), to.c_str(), kMoveFlags)) {
        const std::system_error error = LastError(to);
        // Put the running copy back, so the game folder keeps an updater.
        MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
        throw error;
    }
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

bool FileExists(const std::string& name) {
    const fs::path path = LocalPath(name).make_preferred();
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

bool IsFolder(const std::string& path) {
    try {
        const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } catch (...) {
        return false;
    }
}

void MakeFolder(const std::string& path) {
    const fs::path folder = SystemPath(path);
    if (CreateDirectoryW(folder.c_str(), nullptr)) return;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && IsFolder(path)) return;
    SetLastError(error);
    throw LastError(folder);
}

void ReplaceFile(const fs::path& from, const fs::path& to) {
    const fs::path source = fs::path(from).make_preferred();
    const fs::path target = fs::path(to).make_preferred();
    if (IsRunningExecutable(target)) {
        ReplaceRunningExecutable(source, target);
        return;
    }
    // Replacing a file that another program holds open without delete
    // sharing fails (sharing violation or access denied) and leaves it whole.
    if (!MoveFileExW(source.c_str(), target.c_str(), kMoveFlags)) throw LastError(target);
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

namespace {

std::int64_t Ticks(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
}

// When this process started, in FILETIME ticks (100 ns since 1601).
std::int64_t ProcessStart() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return Ticks(created);
}

// Flushes the files of folder (and below) last written at or after since.
void FlushWrittenSince(const fs::path& folder, std::int64_t since, int depth) {
    // A folder tree deeper than any path can be is a loop of links.
    if (depth > 128) return;
    WIN32_FIND_DATAW found{};
    const fs::path pattern = folder / L"*";
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        // Links lead out of the game folder (or back into it): not ours.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        const fs::path path = folder / found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            FlushWrittenSince(path, since, depth + 1);
            continue;
        }
        if (Ticks(found.ftLastWriteTime) < since) continue;
        // FlushFileBuffers needs a handle with write access; a file that
        // another program holds without write sharing was not written by us.
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        FlushFileBuffers(file);
        CloseHandle(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

class HandleWriter : public FileWriter {
public:
    explicit HandleWriter(HANDLE file) : file_(file) {}
    ~HandleWriter() override { Close(); }
    HandleWriter(const HandleWriter&) = delete;
    HandleWriter& operator=(const HandleWriter&) = delete;

    bool Write(const char* data, std::size_t size) override {
        while (size > 0 && file_ != INVALID_HANDLE_VALUE) {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(file_, data, piece, &written, nullptr) || written == 0) {
                failed_ = true;
                return false;
            }
            data += written;
            size -= written;
        }
        return file_ != INVALID_HANDLE_VALUE && !failed_;
    }

    // Windows writes a file's data back on its own schedule and has no call
    // that starts it without waiting; the flush before the commit does the work.
    void StartWriteback() override {}

    bool Close() override {
        if (file_ == INVALID_HANDLE_VALUE) return !failed_;
        if (!CloseHandle(file_)) failed_ = true;
        file_ = INVALID_HANDLE_VALUE;
        return !failed_;
    }

private:
    HANDLE file_;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<FileWriter> OpenForWriting(const std::filesystem::path& file, WriteMode mode) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link (or junction) itself rather
    // than what it points at; such a handle is then refused below. CREATE_NEW
    // fails on any existing name, a link included.
    const DWORD access = mode == WriteMode::CreateNew ? GENERIC_WRITE : FILE_APPEND_DATA;
    const DWORD disposition = mode == WriteMode::CreateNew ? CREATE_NEW : OPEN_EXISTING;
    HANDLE handle = CreateFileW(fs::path(file).make_preferred().c_str(), access | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<HandleWriter>(handle);
}

// Windows has no syncfs(): flushing a whole volume takes a handle on the
// volume, which only administrators may open, and the game is not updated as
// one. The files this run wrote (the staged copies and the journal) are
// flushed one by one instead; they are the ones written since this process
// started. The rest of the folder is only listed, which costs no disk
// flush. Two seconds of slack cover FAT's write-time granularity.
void SyncWrittenFiles(const fs::path& folder) {
    constexpr std::int64_t kTwoSeconds = 2 * 10000000LL;
    try {
        FlushWrittenSince(fs::path(folder).make_preferred(), ProcessStart() - kTwoSeconds, 0);
    } catch (...) {
        // Durability is best effort: a name the system cannot take here is
        // not one this run wrote.
    }
}

namespace {

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

}  // namespace

std::unique_ptr<FolderLock> LockFolder(const fs::path& lockFile, LockOutcome& outcome) {
    const fs::path path = fs::path(lockFile).make_preferred();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // A holder (which opened it without sharing) makes every other open
        // fail with a sharing violation; anything else means the folder
        // cannot take the file (read-only media, no rights).
        outcome = GetLastError() == ERROR_SHARING_VIOLATION ? LockOutcome::Busy : LockOutcome::Unavailable;
        return nullptr;
    }
    outcome = LockOutcome::Locked;
    return std::make_unique<HandleFolderLock>(file);
}

std::string AnsiToUtf8(std::string_view ansi) {
    return Narrow(Widen(ansi, CP_ACP), CP_UTF8);
}
std::string Utf8ToAnsi(std::string_view utf8) {
    return Narrow(Widen(utf8, CP_UTF8), CP_ACP);
}
