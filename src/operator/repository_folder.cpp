#include "operator/repository_folder.h"

#include <set>
#include <stdexcept>
#include <system_error>

#include "operator/file_io.h"
#include "operator/names.h"
#include "storage/cp1252.h"

namespace {

// Missing is an answer; a file that is there and cannot be read is an error.
std::optional<std::string> ReadIfPresent(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(path, error)) return std::nullopt;
    std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) throw std::runtime_error("cannot read " + PathText(path));
    return bytes;
}

}  // namespace

fs::path RepositoryFolder::IndexPath() const {
    return root / kIndexName;
}

fs::path RepositoryFolder::ListPath(const std::string& name) const {
    return root / Utf8Path(name);
}

fs::path RepositoryFolder::GameFilePath(const std::string& entry) const {
    return root / "files" / Utf8Path(entry);
}

std::vector<std::string> RepositoryFolder::PublishedPaths() const {
    std::vector<std::string> paths;
    std::set<std::string> seen;
    for (const PublishedList& list : lists) {
        for (const std::string& entry : list.entries) {
            if (IsBlankEntry(entry) || !seen.insert(entry).second) continue;
            paths.push_back(entry);
        }
    }
    return paths;
}

RepositoryFolder ReadRepositoryFolder(const fs::path& root) {
    RepositoryFolder folder;
    folder.root = root;
    folder.index = ReadIfPresent(folder.IndexPath());
    if (!folder.index) return folder;
    std::set<std::int16_t> listed;
    for (const IndexField& field : ReadIndexFields(*folder.index)) {
        IndexedVersion indexed{field, std::nullopt};
        if (HasLeadingNumber(field.text)) indexed.version = ToVersion(field.value);
        folder.fields.push_back(indexed);
        if (!indexed.version || !listed.insert(*indexed.version).second) continue;
        PublishedList list;
        list.version = *indexed.version;
        list.name = ListName(list.version);
        list.bytes = ReadIfPresent(folder.ListPath(list.name));
        if (list.bytes) {
            for (const std::string& line : ReadListEntries(*list.bytes))
                list.entries.push_back(Cp1252ToUtf8(line));
        }
        folder.lists.push_back(std::move(list));
    }
    return folder;
}
