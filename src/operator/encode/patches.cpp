#include "operator/encode/patches.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <system_error>

#include "operator/encode/segmented_encode.h"
#include "operator/encode/zstd_encode.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "storage/cp1252.h"
#include "storage/storage.h"

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

bool IsFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

std::optional<FileDigest> PresentDigest(const fs::path& path) {
    if (!IsFile(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return DigestOfStream(in);
}

std::string Described(const FileDigest& digest) {
    return std::to_string(digest.size) + " bytes, SHA-256 " + Hex(digest.sha256);
}

// The codec's sentence inside another one: no capital, no full stop.
std::string Sentence(std::string text) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// Why the object at path does not decode to content, read no further than
// content's size, as the updater reads it; nothing when it does. The bytes
// go to out.
std::optional<std::string> ObjectFault(const fs::path& path, const FileDigest& content, const ByteSink& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return "cannot be read";
    try {
        const FileDigest decoded = DecompressObject(in, out, content.size);
        if (decoded == content) return std::nullopt;
        return "decodes to " + Described(decoded) + ", not to the content it is named after";
    } catch (const CodecError& e) {
        if (e.kind() != CodecError::Kind::Damaged) throw;
        return "does not decode to the " + std::to_string(content.size) + " bytes it is named after (" +
               Sentence(e.what()) + ")";
    }
}

// What a refusal says of an object or delta that is not what its name says.
std::string NotOurs(const std::string& name, const std::string& fault) {
    return name + " " + fault +
           ": it was not made by update-repo (whoever can write to the repository may have put it there). "
           "Delete it and publish again";
}

// The contents every entry had in the versions before `version`, newest
// first, at most versionsBack versions back.
std::map<std::string, std::vector<FileDigest>> EarlierContents(const RepositoryFolder& repository,
                                                               std::int16_t version, int versionsBack) {
    std::vector<std::int16_t> earlier;
    for (const PublishedList& list : repository.lists) {
        if (list.version < version) earlier.push_back(list.version);
    }
    std::sort(earlier.rbegin(), earlier.rend());
    if (earlier.size() > static_cast<std::size_t>(std::max(versionsBack, 0))) earlier.resize(versionsBack);
    std::map<std::string, std::vector<FileDigest>> contents;
    for (const std::int16_t older : earlier) {
        const auto bytes = ReadWholeFile(repository.root / VersionMetadataName(older));
        const auto files = bytes ? ParseVersionFiles(*bytes) : std::nullopt;
        if (!files) continue;
        for (const auto& [entry, digest] : files->files) {
            auto& seen = contents[entry];
            if (std::find(seen.begin(), seen.end(), digest) == seen.end()) seen.push_back(digest);
        }
    }
    return contents;
}

// The old content decoded from its object into a scratch file, checked
// against its signed size and digest. Throws std::runtime_error naming an
// object that is not that content.
void DecodeOldContent(const fs::path& object, const std::string& name, const FileDigest& content,
                      const fs::path& copy) {
    std::optional<std::string> fault;
    WriteCoded(copy, [&](const ByteSink& out) {
        fault = ObjectFault(object, content, out);
        return content;
    });
    if (fault) throw std::runtime_error(NotOurs(name, *fault));
}

// A delta already there rebuilds `to` from the old copy, no larger than it.
bool DeltaRebuilds(const fs::path& delta, const fs::path& oldCopy, const FileDigest& to) {
    std::ifstream in(delta, std::ios::binary);
    try {
        const std::unique_ptr<GameFolder> folder = OpenFolder(oldCopy.parent_path());
        return in.is_open() && ApplyDelta(
                                   *folder, PathText(oldCopy.filename()), in,
                                   [](const char*, std::size_t) { return true; }, to.size) == to;
    } catch (const CodecError& e) {
        if (e.kind() != CodecError::Kind::Damaged) throw;
        return false;
    }
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

// Makes the delta from the old copy to the stored file, and keeps it at
// deltaPath when it is worth keeping beside the object.
std::optional<FileDigest> MakeSmallerDelta(const RepositoryFolder& repository, const fs::path& oldCopy,
                                           const fs::path& stored, const fs::path& deltaPath,
                                           std::uint64_t objectSize, const PatchOptions& options,
                                           std::ostream& progress, const std::string& what) {
    try {
        ScratchFile made(repository.root);
        const std::optional<FileDigest> digest = WriteCoded(made.Path(), [&](const ByteSink& out) {
            return MakeDeltaOf(repository, oldCopy, stored, out, objectSize, options);
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

// The delta from one old content (decoded from its object, which must be
// that content) to the stored file: the one already there when it rebuilds
// the file, else a new one when smaller than the object.
std::optional<FileDigest> DeltaFrom(const RepositoryFolder& repository, const FileDigest& from,
                                    const FileDigest& to, const fs::path& stored, std::uint64_t objectSize,
                                    const PatchOptions& options, std::ostream& progress,
                                    const std::string& what) {
    const fs::path oldObject = repository.root / ObjectName(from.sha256);
    if (!IsFile(oldObject)) return std::nullopt;  // published before objects
    ScratchFile oldCopy(repository.root);
    DecodeOldContent(oldObject, ObjectName(from.sha256), from, oldCopy.Path());
    const std::string deltaName = DeltaName(from.sha256, to.sha256);
    const fs::path deltaPath = repository.root / deltaName;
    if (IsFile(deltaPath)) {
        if (DeltaRebuilds(deltaPath, oldCopy.Path(), to)) return PresentDigest(deltaPath);
        progress << "note: " << deltaName << " does not rebuild " << what << ": made anew\n";
    }
    return MakeSmallerDelta(repository, oldCopy.Path(), stored, deltaPath, objectSize, options, progress,
                            what);
}

// The object of the stored file: the one already there when it decodes to
// the file, else a new one.
FileDigest ObjectOf(const RepositoryFolder& repository, const FileDigest& content, const fs::path& stored,
                    const PatchOptions& options, std::ostream& progress, const std::string& what) {
    const fs::path objectPath = repository.root / ObjectName(content.sha256);
    if (IsFile(objectPath)) {
        const auto fault = ObjectFault(objectPath, content, [](const char*, std::size_t) { return true; });
        if (!fault) return *PresentDigest(objectPath);
        progress << "note: " << ObjectName(content.sha256) << " " << *fault << ": made anew\n";
    }
    const FileDigest object = WriteCoded(objectPath, [&](const ByteSink& out) {
        return CompressObject(stored, out, options.level, options.threads);
    });
    progress << "compressed " << what << ": " << content.size << " -> " << object.size << " bytes\n";
    return object;
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
        const std::string shown = Escaped(utf8);  // for the progress lines
        const FileDigest object = ObjectOf(repository, digest, stored, options, progress, shown);
        patches.objects.push_back({digest.sha256, object});

        const auto old = earlier.find(entry);
        if (digest.size < options.deltaThreshold || old == earlier.end()) continue;
        for (const FileDigest& from : old->second) {
            if (from.sha256 == digest.sha256) continue;
            const std::optional<FileDigest> delta =
                DeltaFrom(repository, from, digest, stored, object.size, options, progress,
                          shown + " from " + Hex(from.sha256).substr(0, 12));
            if (delta && DeltaWorthKeeping(delta->size, object.size))
                patches.deltas.push_back({from.sha256, digest.sha256, *delta});
        }
    }
    const std::string text = FormatVersionPatches(patches);
    PendingFile file(repository.root / VersionPatchesName(files.version));
    file.Write(text);
    file.Commit();
    progress << "wrote " << VersionPatchesName(files.version) << "\n";
    return text;
}

std::vector<std::string> CheckOldObjects(const RepositoryFolder& repository, std::int16_t version,
                                         const std::vector<std::string>& entries,
                                         const PatchOptions& options) {
    const auto earlier = EarlierContents(repository, version, options.versionsBack);
    std::vector<std::string> faults;
    std::set<Sha256Digest> checked;
    for (const std::string& entry : entries) {
        const auto old = earlier.find(Utf8ToCp1252(entry));
        if (old == earlier.end()) continue;
        for (const FileDigest& from : old->second) {
            const fs::path object = repository.root / ObjectName(from.sha256);
            if (!checked.insert(from.sha256).second || !IsFile(object)) continue;
            const auto fault = ObjectFault(object, from, [](const char*, std::size_t) { return true; });
            if (fault)
                faults.push_back(
                    NotOurs(ObjectName(from.sha256) + ", an earlier content of " + entry + ",", *fault));
        }
    }
    return faults;
}
