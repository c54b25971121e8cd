#include "operator/removed_files.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "operator/file_digest.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "storage/cp1252.h"
#include "update/trust/signed_metadata.h"

namespace {

// The newest version before `before` whose list holds path (UTF-8).
std::optional<std::int16_t> LastListing(const RepositoryFolder& repository, const std::string& path,
                                        std::int16_t before) {
    std::optional<std::int16_t> last;
    for (const PublishedList& list : repository.lists) {
        if (list.version >= before || (last && *last >= list.version)) continue;
        if (std::find(list.entries.begin(), list.entries.end(), path) != list.entries.end())
            last = list.version;
    }
    return last;
}

// What version's metadata records for entry (Windows-1252), when it has
// metadata that records it.
std::optional<FileDigest> SignedDigest(const RepositoryFolder& repository, std::int16_t version,
                                       const std::string& entry) {
    const auto bytes = ReadWholeFile(repository.root / VersionMetadataName(version));
    const auto files = bytes ? ParseVersionFiles(*bytes) : std::nullopt;
    const FileDigest* found = files ? FindFile(*files, entry) : nullptr;
    if (!found) return std::nullopt;
    return *found;
}

// Every content that the versions in (since, before) that list path
// installed, oldest first, each once: what their metadata gives it, or for
// the newest of them, when it has no metadata yet, the bytes under files/.
std::vector<FileDigest> ListedContents(const RepositoryFolder& repository, const std::string& path,
                                       std::int16_t since, std::int16_t before) {
    const std::string entry = Utf8ToCp1252(path);
    const std::optional<std::int16_t> newest = LastListing(repository, path, before);
    std::vector<std::pair<std::int16_t, FileDigest>> found;
    for (const PublishedList& list : repository.lists) {
        if (list.version <= since || list.version >= before ||
            std::find(list.entries.begin(), list.entries.end(), path) == list.entries.end())
            continue;
        std::optional<FileDigest> content = SignedDigest(repository, list.version, entry);
        if (!content && list.version == newest) content = DigestOfFile(repository.GameFilePath(path));
        if (content) found.emplace_back(list.version, *content);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FileDigest> contents;
    for (const auto& [version, content] : found) {
        if (std::find(contents.begin(), contents.end(), content) == contents.end())
            contents.push_back(content);
    }
    return contents;
}

std::string Described(const FileDigest& digest) {
    return std::to_string(digest.size) + " bytes, SHA-256 " + Hex(digest.sha256);
}

}  // namespace

std::size_t RecordRemovedFiles(const RepositoryFolder& repository, std::int16_t version,
                               const std::vector<std::string>& gone, ReleaseExtras& extras) {
    const std::size_t before = extras.removed.size();
    for (const std::string& path : gone) {
        const std::optional<std::int16_t> listed = LastListing(repository, path, version);
        if (!listed) continue;
        const std::string entry = Utf8ToCp1252(path);
        // The drop before this one: the contents before it are its own.
        std::int16_t since = INT16_MIN;
        bool recorded = false;
        for (const RemovedEntry& r : extras.removed) {
            if (r.entry != entry || r.version > version) continue;
            recorded = recorded || r.version > *listed;
            since = std::max(since, r.version);
        }
        if (recorded) continue;
        for (const FileDigest& content : ListedContents(repository, path, since, version))
            extras.removed.push_back({version, content, entry});
    }
    return extras.removed.size() - before;
}

std::size_t CompleteRemovedFiles(const RepositoryFolder& repository, ReleaseExtras& extras) {
    const std::vector<RemovedEntry> recorded = extras.removed;
    std::set<std::pair<std::int16_t, std::string>> drops;
    for (const RemovedEntry& drop : recorded) {
        if (!drops.emplace(drop.version, drop.entry).second) continue;
        std::int16_t since = INT16_MIN;  // the entry's previous drop
        for (const RemovedEntry& r : recorded) {
            if (r.entry == drop.entry && r.version < drop.version) since = std::max(since, r.version);
        }
        for (const FileDigest& content :
             ListedContents(repository, Cp1252ToUtf8(drop.entry), since, drop.version)) {
            const bool known = std::any_of(recorded.begin(), recorded.end(), [&](const RemovedEntry& r) {
                return r.version == drop.version && r.entry == drop.entry && r.last == content;
            });
            if (!known) extras.removed.push_back({drop.version, content, drop.entry});
        }
    }
    return extras.removed.size() - recorded.size();
}

std::set<std::string> DroppedPaths(const RepositoryFolder& repository) {
    std::set<std::string> dropped;
    const auto bytes = ReadWholeFile(repository.root / kExtrasName);
    const auto extras = bytes ? ParseReleaseExtras(*bytes) : std::nullopt;
    if (!extras) return dropped;
    std::map<std::string, std::int16_t> lastListed;
    for (const PublishedList& list : repository.lists) {
        for (const std::string& entry : list.entries) {
            const auto [at, added] = lastListed.emplace(entry, list.version);
            if (!added) at->second = std::max(at->second, list.version);
        }
    }
    for (const RemovedEntry& drop : extras->removed) {
        const std::string path = Cp1252ToUtf8(drop.entry);
        const auto listed = lastListed.find(path);
        if (listed != lastListed.end() && drop.version > listed->second) dropped.insert(path);
    }
    return dropped;
}

std::vector<Problem> CheckRemovedFiles(const RepositoryFolder& repository, const ReleaseExtras& extras) {
    std::vector<Problem> problems;
    std::set<std::pair<std::int16_t, std::string>> drops;
    for (const RemovedEntry& removed : extras.removed) {
        const std::string path = Cp1252ToUtf8(removed.entry);
        const std::string what =
            "records that version " + std::to_string(removed.version) + " drops " + Shown(path);
        const std::optional<std::int16_t> listed = LastListing(repository, path, removed.version);
        if (!listed) {
            problems.push_back({kExtrasName,
                                what + ", which no version before it lists: keyed updaters would remove a "
                                       "file of that name that holds its bytes",
                                {}});
            continue;
        }
        const std::vector<FileDigest> contents = ListedContents(repository, path, INT16_MIN, removed.version);
        if (!contents.empty() &&
            std::find(contents.begin(), contents.end(), removed.last) == contents.end()) {
            problems.push_back({kExtrasName,
                                what + " with the content " + Described(removed.last) +
                                    ", which no version before it installed: keyed updaters would remove a "
                                    "file of that name that holds those bytes",
                                {}});
        }
        // The last content is the one most players hold.
        if (!drops.emplace(removed.version, removed.entry).second) continue;
        const std::optional<FileDigest> last = SignedDigest(repository, *listed, removed.entry);
        const bool recorded =
            std::any_of(extras.removed.begin(), extras.removed.end(), [&](const RemovedEntry& r) {
                return r.version == removed.version && r.entry == removed.entry && r.last == last;
            });
        if (last && !recorded) {
            problems.push_back({kExtrasName,
                                what + " without its last content: version " + std::to_string(*listed) +
                                    " installs " + Described(*last) +
                                    ", and keyed updaters keep those copies",
                                {}});
        }
    }
    return problems;
}
