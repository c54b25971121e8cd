#include "operator/uncovered_files.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <system_error>

#include "operator/encode/packs.h"
#include "operator/file_io.h"
#include "storage/cp1252.h"
#include "update/formats/repository.h"
#include "update/trust/extras.h"
#include "update/trust/signature_file.h"

namespace {

// Absolute, without "." or ".." parts and without a trailing separator, so
// that two spellings of one file compare equal.
fs::path Plain(const fs::path& path) {
    std::error_code error;
    fs::path plain = fs::absolute(path, error).lexically_normal();
    if (!plain.has_filename() && plain.has_parent_path()) plain = plain.parent_path();
    return plain;
}

std::string Relative(const RepositoryFolder& repository, const fs::path& path) {
    const std::u8string text = Plain(path).lexically_relative(Plain(repository.root)).generic_u8string();
    return std::string(text.begin(), text.end());
}

// The game files, objects and deltas one signed version names.
void AddVersionFiles(const RepositoryFolder& repository, const SignedVersion& line,
                     std::set<std::string>& covered) {
    const auto files = ReadWholeFile(repository.root / VersionMetadataName(line.version));
    if (const auto parsed = files ? ParseVersionFiles(*files) : std::nullopt) {
        for (const auto& [entry, digest] : parsed->files) {
            covered.insert(Relative(repository, repository.GameFilePath(Cp1252ToUtf8(entry))));
        }
    }
    if (!line.patches) return;
    const auto patches = ReadWholeFile(repository.root / VersionPatchesName(line.version));
    if (const auto parsed = patches ? ParseVersionPatches(*patches) : std::nullopt) {
        for (const PatchObject& object : parsed->objects) covered.insert(ObjectName(object.content));
        for (const PatchDelta& delta : parsed->deltas) covered.insert(DeltaName(delta.from, delta.to));
    }
}

}  // namespace

std::vector<std::string> FilesNothingSignedNames(const RepositoryFolder& repository,
                                                 const RepositoryMetadata& release) {
    std::set<std::string> covered = {kIndexName,         kReleaseMetadataName, kReleaseSignatureName,
                                     kFreshMetadataName, kFreshSignatureName,  kMetadataName,
                                     kSignatureName,     kExtrasName,          kExtrasSignatureName};
    for (const SignedVersion& line : release.versions) {
        covered.insert(ListName(line.version));
        covered.insert(VersionMetadataName(line.version));
        if (line.patches) covered.insert(VersionPatchesName(line.version));
        AddVersionFiles(repository, line, covered);
    }
    const auto extrasBytes = ReadWholeFile(repository.root / kExtrasName);
    if (const auto extras = extrasBytes ? ParseReleaseExtras(*extrasBytes) : std::nullopt) {
        for (std::string& name : PackFileNames(repository, extras->packs)) covered.insert(std::move(name));
    }
    std::vector<std::string> uncovered;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(repository.root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code kind;
        if (it->is_directory(kind) && !it->is_symlink(kind)) continue;
        const std::string name = Relative(repository, it->path());
        if (!covered.contains(name)) uncovered.push_back(name);
    }
    if (error) throw std::runtime_error("cannot list " + PathText(repository.root) + ": " + error.message());
    std::sort(uncovered.begin(), uncovered.end());
    return uncovered;
}
