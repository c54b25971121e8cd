#include "operator/encode/patches.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <system_error>

#include "operator/encode/segmented_encode.h"
#include "operator/encode/zstd_encode.h"
#include "operator/file_io.h"
#include "storage/cp1252.h"

namespace {

// A scratch file beside the repository's files, removed when dropped.
class ScratchFile {
public:
    explicit ScratchFile(const fs::path& folder) {
        std::random_device random;
        path_ = folder / (".update-repo-scratch-" + std::to_string(random()) + std::to_string(random()));
    }
    ~ScratchFile() {
        std::error_code error;
        fs::remove(path_, error);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// Writes one immutable file through a PendingFile: what coding returns.
template <typename Code>
auto WriteCoded(const fs::path& target, const Code& code) {
    fs::create_directories(target.parent_path());
    PendingFile file(target);
    const auto digest = code([&](const char* data, std::size_t size) {
        file.Write(data, size);
        return true;
    });
    file.Commit();
    return digest;
}

std::optional<FileDigest> PresentDigest(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return DigestOfStream(in);
}

// The contents every entry had in the versions before `version`, newest
// first, at most versionsBack versions back.
std::map<std::string, std::vector<Sha256Digest>> EarlierContents(const RepositoryFolder& repository,
                                                                 std::int16_t version, int versionsBack) {
    std::vector<std::int16_t> earlier;
    for (const PublishedList& list : repository.lists) {
        if (list.version < version) earlier.push_back(list.version);
    }
    std::sort(earlier.rbegin(), earlier.rend());
    if (earlier.size() > static_cast<std::size_t>(std::max(versionsBack, 0))) earlier.resize(versionsBack);
    std::map<std::string, std::vector<Sha256Digest>> contents;
    for (const std::int16_t older : earlier) {
        const auto bytes = ReadWholeFile(repository.root / VersionMetadataName(older));
        const auto files = bytes ? ParseVersionFiles(*bytes) : std::nullopt;
        if (!files) continue;
        for (const auto& [entry, digest] : files->files) {
            auto& seen = contents[entry];
            if (std::find(seen.begin(), seen.end(), digest.sha256) == seen.end())
                seen.push_back(digest.sha256);
        }
    }
    return contents;
}

// The delta from oldFile to newFile into out: one patch-from frame when
// both are small, else segmented. Nothing when it would not be worth keeping
// beside an object of objectSize bytes.
std::optional<FileDigest> MakeDeltaOf(const RepositoryFolder& repository, const fs::path& oldFile,
                                      const fs::path& newFile, const ByteSink& out, std::uint64_t objectSize,
                                      const PatchOptions& options) {
    if (fs::file_size(oldFile) <= options.singleFrameMost &&
        fs::file_size(newFile) <= options.singleFrameMost)
        return MakeDelta(oldFile, newFile, out, options.level);
    const ScratchFile spill(repository.root);
    SegmentedDeltaOptions segmented;
    segmented.level = options.level;
    segmented.sizes = options.segments;
    segmented.threads = options.threads;
    segmented.memory = options.memory;
    segmented.giveUpAbove = objectSize - objectSize / 8;
    return MakeSegmentedDelta(oldFile, newFile, spill.Path(), out, segmented);
}

// Makes the delta from the old content (decoded from its object) to the
// stored file, and keeps it at deltaPath when it is worth keeping beside the
// object.
std::optional<FileDigest> MakeSmallerDelta(const RepositoryFolder& repository, const fs::path& oldObject,
                                           const fs::path& stored, const fs::path& deltaPath,
                                           std::uint64_t objectSize, const PatchOptions& options,
                                           std::ostream& progress, const std::string& what) {
    ScratchFile oldCopy(repository.root);
    WriteCoded(oldCopy.Path(), [&](const ByteSink& out) {
        std::ifstream in(oldObject, std::ios::binary);
        return DecompressObject(in, out, UINT64_MAX);
    });
    try {
        ScratchFile made(repository.root);
        const std::optional<FileDigest> digest = WriteCoded(made.Path(), [&](const ByteSink& out) {
            return MakeDeltaOf(repository, oldCopy.Path(), stored, out, objectSize, options);
        });
        if (!digest || !DeltaWorthKeeping(digest->size, objectSize)) {
            progress << "delta of " << what << ": "
                     << (digest ? std::to_string(digest->size) + " bytes, not" : std::string("given up,"))
                     << " an eighth smaller than the object: left out\n";
            return std::nullopt;
        }
        fs::create_directories(deltaPath.parent_path());
        fs::rename(made.Path(), deltaPath);
        progress << "delta of " << what << ": " << digest->size << " bytes\n";
        return digest;
    } catch (const CodecError& e) {
        if (e.kind() != CodecError::Kind::TooLarge) throw;
        progress << "no delta of " << what << ": " << e.what() << "\n";
        return std::nullopt;
    }
}

}  // namespace

bool DeltaWorthKeeping(std::uint64_t deltaSize, std::uint64_t objectSize) {
    return deltaSize <= objectSize - objectSize / 8;
}

std::string WriteVersionPatches(const RepositoryFolder& repository, const VersionFiles& files,
                                const PatchOptions& options, std::ostream& progress) {
    VersionPatches patches;
    patches.version = files.version;
    const auto earlier = EarlierContents(repository, files.version, options.versionsBack);
    std::set<Sha256Digest> described;
    for (const auto& [entry, digest] : files.files) {
        if (!described.insert(digest.sha256).second) continue;
        const std::string utf8 = Cp1252ToUtf8(entry);
        const fs::path stored = repository.GameFilePath(utf8);
        const fs::path objectPath = repository.root / ObjectName(digest.sha256);
        std::optional<FileDigest> object = PresentDigest(objectPath);
        if (!object) {
            object = WriteCoded(objectPath, [&](const ByteSink& out) {
                return CompressObject(stored, out, options.level, options.threads);
            });
            progress << "compressed " << utf8 << ": " << digest.size << " -> " << object->size << " bytes\n";
        }
        patches.objects.push_back({digest.sha256, *object});

        const auto old = earlier.find(entry);
        if (digest.size < options.deltaThreshold || old == earlier.end()) continue;
        for (const Sha256Digest& from : old->second) {
            if (from == digest.sha256) continue;
            const fs::path oldObject = repository.root / ObjectName(from);
            std::error_code error;
            if (!fs::is_regular_file(oldObject, error)) continue;  // published before objects
            const fs::path deltaPath = repository.root / DeltaName(from, digest.sha256);
            std::optional<FileDigest> delta = PresentDigest(deltaPath);
            if (!delta)
                delta = MakeSmallerDelta(repository, oldObject, stored, deltaPath, object->size, options,
                                         progress, utf8 + " from " + Hex(from).substr(0, 12));
            if (!delta) continue;
            if (DeltaWorthKeeping(delta->size, object->size))
                patches.deltas.push_back({from, digest.sha256, *delta});
        }
    }
    const std::string text = FormatVersionPatches(patches);
    PendingFile file(repository.root / VersionPatchesName(files.version));
    file.Write(text);
    file.Commit();
    progress << "wrote " << VersionPatchesName(files.version) << "\n";
    return text;
}
