// From the repository's index and lists to the run's work: the versions
// newer than the installed one, and every entry of their lists, each once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct NewerVersions {
    std::vector<std::int16_t> versions;  // in index order
    std::int16_t newest = 0;             // the installed version when none is newer
};

// The versions the index offers beyond `current`. Throws UpdateFailure for an
// index with no version in it at all, or a version that does not fit 16 bits.
NewerVersions ReadNewerVersions(const std::string& index, std::int16_t current);

// Builds the list of files to fetch from the lists, in order: each entry once
// (exact, case-sensitive comparison), first occurrence first.
class ListMerge {
public:
    ListMerge(std::vector<std::string>& fileList, std::int32_t& fileCount);

    // Adds the entries of one list that are not listed yet. Every entry is
    // checked here, before the first game file is fetched, so a hostile list
    // writes nothing: throws UpdateFailure.
    void Add(const std::string& list);
    // Adds one entry (Windows-1252, as a list holds it), checked as above.
    void AddEntry(std::string_view line);

    // True when `name` is one of the entries merged so far.
    bool Contains(std::string_view name) const;

private:
    // Entries are hashed and compared by their position in the file list,
    // so that the membership test costs no second copy of every entry; a
    // name is looked up as it is.
    struct EntryHash {
        using is_transparent = void;
        const std::vector<std::string>* fileList;
        std::size_t operator()(std::size_t k) const;
        std::size_t operator()(std::string_view name) const;
    };
    struct EntryEqual {
        using is_transparent = void;
        const std::vector<std::string>* fileList;
        bool operator()(std::size_t a, std::size_t b) const;
        bool operator()(std::string_view name, std::size_t k) const;
        bool operator()(std::size_t k, std::string_view name) const;
    };

    std::vector<std::string>& fileList_;
    std::int32_t& fileCount_;
    std::unordered_set<std::size_t, EntryHash, EntryEqual> listed_;
};
