// Local files on Windows. The program's strings are UTF-8; every path goes
// to the system as UTF-16 through the W functions, so a game folder under a
// user name with accents (or any other script) works whatever the ANSI code
// page is.
#include <windows.h>
// <windows.h> maps ReplaceFile to the system's ReplaceFileW; ours is meant.
#undef ReplaceFile

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
// aside is no longer running. Ignored when it is absent or still in use.
void RemoveReplacedExecutable() {
    try {
        DeleteFileW(AsideName(fs::path(ExecutablePath())).c_str());
    } catch (...) {
    }
}

std::string AnsiToUtf8(std::string_view ansi) {
    return Narrow(Widen(ansi, CP_ACP), CP_UTF8);
}
std::string Utf8ToAnsi(std::string_view utf8) {
    return Narrow(Widen(utf8, CP_UTF8), CP_ACP);
}
