// A repository folder read the way the updater reads the same files over
// HTTP: the same index and list readers, the same ANSI conversion of entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "update/formats/repository.h"

struct PublishedList {
    std::int16_t version = 0;
    std::string name;                  // qoro_update_<N>.deploy
    std::optional<std::string> bytes;  // absent when the file is missing
    std::vector<std::string> entries;  // UTF-8, in file order, blank ones included
};

// One field of the index and the version a player stores for it, when it
// has a leading number that fits 16 bits.
struct IndexedVersion {
    IndexField field;
    std::optional<std::int16_t> version;
};

struct RepositoryFolder {
    std::filesystem::path root;
    std::optional<std::string> index;    // absent when there is no index file
    std::vector<IndexedVersion> fields;  // every field, in index order
    std::vector<PublishedList> lists;    // each indexed version once, in index order

    std::filesystem::path IndexPath() const;
    std::filesystem::path ListPath(const std::string& name) const;
    // Where the server keeps the game file a player fetches as "files\" + entry.
    std::filesystem::path GameFilePath(const std::string& entry) const;

    // Every path some version lists, each once, in the order a player who
    // fetches every list meets them; blank entries left out.
    std::vector<std::string> PublishedPaths() const;
};

// Reads the index and the list of every indexed version. Throws
// std::runtime_error when a file exists but cannot be read.
RepositoryFolder ReadRepositoryFolder(const std::filesystem::path& root);
