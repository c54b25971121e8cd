// Names relative to the game folder, and folder creation.
#include "storage/storage.h"

#include <system_error>

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

bool MadeFolders::MakeFolderOf(const std::filesystem::path& file) {
    const std::u8string parent = file.parent_path().generic_u8string();
    const std::string folder(parent.begin(), parent.end());
    if (folder == lastReady_) return true;
    // The nearest existing ancestor, then each missing folder below it.
    std::string::size_type end = folder.size();
    while (!IsFolder(folder.substr(0, end))) {
        while (end > 0 && !IsSeparator(folder[end - 1])) --end;
        if (end == 0) return false;
        --end;
    }
    try {
        while (end < folder.size()) {
            ++end;
            while (end < folder.size() && !IsSeparator(folder[end])) ++end;
            MakeFolder(folder.substr(0, end));
            made_.push_back(folder.substr(0, end));
        }
    } catch (const std::system_error&) {
        return false;
    }
    lastReady_ = folder;
    return true;
}

void MadeFolders::RemoveEmpty() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        std::error_code ignored;
        // Removes nothing but an empty folder.
        std::filesystem::remove(NativePath(*it), ignored);
    }
    made_.clear();
    lastReady_.clear();
}
