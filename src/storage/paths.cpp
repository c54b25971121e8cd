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

std::string SettingsFile() {
    return ProgramFolder() + "\\" + kSettingsName;
}

std::filesystem::path LocalPath(const std::string& name) {
    return NativePath(ProgramFolder() + "\\" + name);
}

bool CreatePath(const std::string& path) {
    // The nearest existing ancestor first, walking up once; then the missing
    // folders below it, walking down once. Both walks only move an index, so
    // a path of thousands of parts costs no more than its length.
    std::string::size_type end = path.size();
    while (!IsFolder(path.substr(0, end))) {
        while (end > 0 && !IsSeparator(path[end - 1])) --end;
        if (end == 0) return false;
        --end;
    }
    while (end < path.size()) {
        ++end;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        MakeFolder(path.substr(0, end));
    }
    return true;
}
