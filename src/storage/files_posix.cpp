// Local files on POSIX systems.
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

std::string AnsiToUtf8(std::string_view ansi) {
    return Cp1252ToUtf8(ansi);
}
std::string Utf8ToAnsi(std::string_view utf8) {
    return Utf8ToCp1252(utf8);
}
