// Names and folders on top of the game folder's own calls.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

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

bool IsFolder(GameFolder& folder, const std::string& name) {
    const Result<FileInfo> info = folder.Inspect(name, Links::Followed);
    return info.ok() && info->kind == FileKind::Folder;
}

}  // namespace

std::filesystem::path NativePath(const std::string& path) {
    const std::string slashed = WithForwardSlashes(path);
    return std::filesystem::path(std::u8string(slashed.begin(), slashed.end()));
}

Result<std::string> ReadFile(GameFolder& folder, const std::string& name, std::size_t most) {
    Result<std::unique_ptr<FileReader>> reader = folder.OpenForReading(name, Links::Followed);
    if (!reader.ok()) return reader.error();
    std::string bytes;
    std::vector<char> piece(std::min<std::size_t>(most, 64 * 1024));
    while (bytes.size() < most) {
        const std::size_t wanted = std::min(piece.size(), most - bytes.size());
        const Result<std::size_t> got = (*reader)->Read(piece.data(), wanted);
        if (!got.ok()) return got.error();
        if (*got == 0) break;
        bytes.append(piece.data(), *got);
    }
    return bytes;
}

IoStatus MadeFolders::MakeFolderOf(const std::string& name) {
    const std::size_t cut = name.find_last_of("/\\");
    const std::string parent = cut == std::string::npos ? std::string() : name.substr(0, cut);
    if (parent.empty() || parent == lastReady_) return {};
    // The nearest existing ancestor (the game folder itself at worst), then
    // each missing folder below it. Both walks only move an index, so a name
    // of thousands of parts costs no more than its length.
    std::string::size_type end = parent.size();
    while (end > 0 && !IsFolder(folder_, parent.substr(0, end))) {
        while (end > 0 && !IsSeparator(parent[end - 1])) --end;
        if (end > 0) --end;
    }
    while (end < parent.size()) {
        if (end > 0) ++end;
        while (end < parent.size() && !IsSeparator(parent[end])) ++end;
        const std::string made = parent.substr(0, end);
        if (IoStatus status = folder_.MakeFolder(made); !status.ok()) return status;
        made_.push_back(made);
    }
    lastReady_ = parent;
    return {};
}

void MadeFolders::RemoveEmpty() {
    // Removing a folder removes nothing but an empty one.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) folder_.Remove(*it).IgnoreError();
    made_.clear();
    lastReady_.clear();
}
