// Names relative to the game folder, and folder creation.
#include "storage/storage.h"

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Folder names from list entries arrive with "/" and names built by the
// program with "\"; the standard library takes "/" everywhere.
std::string WithForwardSlashes(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

}  // namespace

std::filesystem::path NativePath(const std::string& path) {
    const std::string slashed = WithForwardSlashes(path);
    return std::filesystem::path(std::u8string(slashed.begin(), slashed.end()));
}

std::filesystem::path LocalPath(const std::string& name) {
    return NativePath(ProgramFolder() + "\\" + name);
}

bool CreatePath(const std::string& path) {
    if (IsFolder(path)) return true;
    std::string::size_type cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
    if (cut == 0) return false;
    if (!CreatePath(path.substr(0, cut - 1))) return false;
    MakeFolder(path);
    return true;
}
