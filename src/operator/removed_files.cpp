#include "operator/removed_files.h"

#include <algorithm>
#include <optional>

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
        const bool recorded =
            std::any_of(extras.removed.begin(), extras.removed.end(), [&](const RemovedEntry& r) {
                return r.entry == entry && r.version > *listed && r.version <= version;
            });
        if (recorded) continue;
        std::optional<FileDigest> last = SignedDigest(repository, *listed, entry);
        if (!last) last = DigestOfFile(repository.GameFilePath(path));
        extras.removed.push_back({version, *last, entry});
    }
    return extras.removed.size() - before;
}

std::vector<Problem> CheckRemovedFiles(const RepositoryFolder& repository, const ReleaseExtras& extras) {
    std::vector<Problem> problems;
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
        const std::optional<FileDigest> signedDigest = SignedDigest(repository, *listed, removed.entry);
        if (signedDigest && *signedDigest != removed.last) {
            problems.push_back({kExtrasName,
                                what + " with the last content " + Described(removed.last) +
                                    ", but version " + std::to_string(*listed) + " installs " +
                                    Described(*signedDigest) + ": keyed updaters keep the players' copies",
                                {}});
        }
    }
    return problems;
}
