#include "operator/encode/packs.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

#include "operator/encode/patches.h"
#include "operator/encode/zstd_encode.h"
#include "operator/file_io.h"
#include "storage/cp1252.h"
#include "update/trust/pack_index.h"

namespace {

// What the published versions say of their files: each version's metadata,
// and every object and delta a patch metadata names (the only ones a member
// may be: verify checks them against those digests).
struct Published {
    std::map<std::int16_t, std::unordered_map<std::string, FileDigest>> files;
    std::map<Sha256Digest, FileDigest> objects;
    std::map<std::pair<Sha256Digest, Sha256Digest>, FileDigest> deltas;
};

Published ReadPublished(const RepositoryFolder& repository) {
    Published published;
    for (const PublishedList& list : repository.lists) {
        const auto bytes = ReadWholeFile(repository.root / VersionMetadataName(list.version));
        auto files = bytes ? ParseVersionFiles(*bytes) : std::nullopt;
        if (!files) throw std::runtime_error("cannot read " + VersionMetadataName(list.version));
        auto& described = published.files[list.version];
        for (auto& [entry, digest] : files->files) described.emplace(std::move(entry), digest);
        const auto patchBytes = ReadWholeFile(repository.root / VersionPatchesName(list.version));
        const auto patches = patchBytes ? ParseVersionPatches(*patchBytes) : std::nullopt;
        if (!patches) continue;
        for (const PatchObject& object : patches->objects)
            published.objects.emplace(object.content, object.object);
        for (const PatchDelta& delta : patches->deltas)
            published.deltas.emplace(std::pair{delta.from, delta.to}, delta.delta);
    }
    return published;
}

// The entries a game at `from` merges, in the updater's order: the lists of
// the index fields above it, each entry once, first occurrence first, but
// those a version after `from` dropped that no later list names again (a
// player's updater removes them, whichever way it comes); and the versions
// of those lists, whose metadata vouches for the entries.
struct Merged {
    std::vector<std::string> entries;
    std::set<std::int16_t> versions;
};

Merged MergedEntries(const RepositoryFolder& repository, const std::string& index, std::int16_t from,
                     const std::vector<RemovedEntry>& removed) {
    Merged merged;
    std::unordered_map<std::string, std::int16_t> seen;  // entry -> the newest version listing it
    for (const IndexField& field : ReadIndexFields(index)) {
        const auto version = ToVersion(field.value);
        if (!(field.value > from) || !version) continue;
        const auto list = std::find_if(repository.lists.begin(), repository.lists.end(),
                                       [&](const PublishedList& l) { return l.version == *version; });
        if (list == repository.lists.end() || !list->bytes || !merged.versions.insert(list->version).second)
            continue;
        for (std::string& entry : ReadListEntries(*list->bytes)) {
            const auto [at, added] = seen.emplace(entry, list->version);
            at->second = std::max(at->second, list->version);
            if (added) merged.entries.push_back(std::move(entry));
        }
    }
    std::unordered_set<std::string> dropped;
    for (const RemovedEntry& drop : removed) {
        const auto listed = seen.find(Cp1252ToUtf8(drop.entry));
        if (drop.version > from && merged.versions.contains(drop.version) && listed != seen.end() &&
            listed->second < drop.version)
            dropped.insert(listed->first);
    }
    std::erase_if(merged.entries, [&](const std::string& entry) { return dropped.contains(entry); });
    return merged;
}

// The digest of entry in the newest version metadata among versions that
// pass `take`.
template <typename Take>
std::optional<FileDigest> NewestDigest(const Published& published, const std::string& entry,
                                       const Take& take) {
    for (auto it = published.files.rbegin(); it != published.files.rend(); ++it) {
        if (!take(it->first)) continue;
        if (const auto found = it->second.find(entry); found != it->second.end()) return found->second;
    }
    return std::nullopt;
}

struct Member {
    std::string name;  // the object or delta copied
    std::uint64_t size = 0;
    bool delta = false;
};

// The smaller of the delta from the entry's content at F (one frame, both
// contents small) and its object; nothing when neither was published or
// the content did not change since F.
std::optional<Member> MemberOf(const Published& published, const std::optional<FileDigest>& atFrom,
                               const FileDigest& expected) {
    if (atFrom == expected) return std::nullopt;
    std::optional<Member> member;
    if (const auto object = published.objects.find(expected.sha256); object != published.objects.end())
        member = Member{ObjectName(expected.sha256), object->second.size, false};
    if (atFrom && atFrom->size <= kSingleFrameDeltaBytes && expected.size <= kSingleFrameDeltaBytes) {
        const auto delta = published.deltas.find({atFrom->sha256, expected.sha256});
        if (delta != published.deltas.end() && (!member || delta->second.size < member->size))
            member = Member{DeltaName(atFrom->sha256, expected.sha256), delta->second.size, true};
    }
    return member;
}

// Writes the file unless it already holds exactly these bytes; true when written.
bool WriteIfChanged(const fs::path& path, std::string_view bytes) {
    const auto present = ReadWholeFile(path);
    if (present && *present == bytes) return false;
    fs::create_directories(path.parent_path());
    PendingFile file(path);
    file.Write(bytes);
    file.Commit();
    return true;
}

std::string Compressed(const RepositoryFolder& repository, const std::string& text, int level) {
    const fs::path scratch = repository.root / "packs" / ".update-repo-index";
    WriteIfChanged(scratch, text);
    std::string out;
    CompressObject(
        scratch,
        [&](const char* data, std::size_t size) {
            out.append(data, size);
            return true;
        },
        level);
    std::error_code error;
    fs::remove(scratch, error);
    return out;
}

class PackWriter {
public:
    PackWriter(const RepositoryFolder& repository, const std::string& index, const Published& published,
               const std::vector<RemovedEntry>& removed, const PackOptions& options)
        : repository_(repository),
          repositoryIndex_(index),
          published_(published),
          removed_(removed),
          options_(options) {}

    PackOffer Write(std::int16_t from, std::int16_t to, std::ostream& progress) {
        index_ = PackIndex{from, to, {}, {}};
        members_.clear();
        loose_ = 0;
        const Merged merged = MergedEntries(repository_, repositoryIndex_, from, removed_);
        for (const std::string& entry : merged.entries) Add(entry, merged.versions);
        const std::vector<std::string> parts = CutParts();
        bool written = false;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            index_.parts.push_back(DigestOf(parts[k]));
            written = WriteIfChanged(repository_.root / PackPartName(from, to, k), parts[k]) || written;
        }
        const std::string index = Compressed(repository_, FormatPackIndex(index_), options_.level);
        written = WriteIfChanged(repository_.root / PackIndexName(from, to), index) || written;
        if (!written) return {from, to, DigestOf(index)};
        progress << "wrote pack " << from << " -> " << to << ": " << members_.size() << " member(s) in "
                 << parts.size() << " part(s), " << loose_ << " loose, index " << index.size() << " bytes\n";
        return {from, to, DigestOf(index)};
    }

private:
    void Add(const std::string& entry, const std::set<std::int16_t>& merged) {
        PackEntry packed;
        packed.entry = entry;
        if (IsBlankEntry(entry)) {
            index_.entries.push_back(std::move(packed));
            return;
        }
        const auto newer = [&](std::int16_t version) { return merged.contains(version); };
        const auto older = [&](std::int16_t version) { return version <= index_.from; };
        const auto expected = NewestDigest(published_, entry, newer);
        if (!expected) throw std::runtime_error("no version metadata describes " + entry);
        packed.expected = *expected;
        packed.way = PackEntry::Way::Loose;
        const auto member = MemberOf(published_, NewestDigest(published_, entry, older), *expected);
        // A member that cannot be read stays out (verify names its file): the file travels loose.
        const auto bytes = member && member->size <= options_.largestMember
                               ? ReadWholeFile(repository_.root / member->name)
                               : std::nullopt;
        if (bytes && bytes->size() == member->size) {
            packed.way = member->delta ? PackEntry::Way::Delta : PackEntry::Way::Object;
            members_.emplace_back(index_.entries.size(), std::move(*bytes));
        } else {
            ++loose_;
        }
        index_.entries.push_back(std::move(packed));
    }

    // Members in list order, a part closed once the next member would pass
    // its size: as many parts as connections a player opens at once (each
    // comes over its own), between the smallest size worth a request and
    // the largest.
    std::vector<std::string> CutParts() {
        std::uint64_t total = 0;
        for (const auto& [entry, bytes] : members_) total += bytes.size();
        const std::uint64_t cut = std::clamp<std::uint64_t>(total / options_.partsAtOnce,
                                                            options_.smallestPart, options_.partBytes);
        std::vector<std::string> parts;
        for (auto& [entry, bytes] : members_) {
            if (parts.empty() || (!parts.back().empty() && parts.back().size() + bytes.size() > cut))
                parts.emplace_back();
            PackEntry& packed = index_.entries[entry];
            packed.part = static_cast<std::uint32_t>(parts.size() - 1);
            packed.offset = parts.back().size();
            packed.length = bytes.size();
            parts.back() += bytes;
        }
        return parts;
    }

    const RepositoryFolder& repository_;
    const std::string& repositoryIndex_;
    const Published& published_;
    const std::vector<RemovedEntry>& removed_;
    const PackOptions& options_;
    PackIndex index_;
    std::vector<std::pair<std::size_t, std::string>> members_;  // entry in index_, bytes
    std::size_t loose_ = 0;
};

// Removes what packs/ holds beyond the files of these packs.
void RemoveOtherPacks(const RepositoryFolder& repository, const std::vector<std::string>& kept) {
    const fs::path folder = repository.root / "packs";
    std::error_code error;
    if (!fs::is_directory(folder, error)) return;
    const std::set<std::string> keep(kept.begin(), kept.end());
    std::vector<fs::path> stale;
    for (const fs::directory_entry& file : fs::directory_iterator(folder)) {
        if (!keep.contains("packs/" + PathText(file.path().filename()))) stale.push_back(file.path());
    }
    for (const fs::path& path : stale) fs::remove(path, error);
}

// The pack's index, checked against its offer, decoded and read; nothing
// (fault says why) when it cannot be.
std::optional<PackIndex> ReadPackIndexFile(const RepositoryFolder& repository, const PackOffer& pack,
                                           std::string& fault) {
    const auto bytes = ReadWholeFile(repository.root / PackIndexName(pack.from, pack.to));
    if (!bytes) {
        fault = "missing";
        return std::nullopt;
    }
    if (DigestOf(*bytes) != pack.index) {
        fault = "is not what " + std::string(kExtrasName) + " signs";
        return std::nullopt;
    }
    std::istringstream in(*bytes);
    std::string text;
    try {
        DecompressObject(
            in,
            [&](const char* data, std::size_t size) {
                text.append(data, size);
                return true;
            },
            kLargestPackIndex);
    } catch (const CodecError& e) {
        fault = "does not decode (" + std::string(e.what()) + ")";
        return std::nullopt;
    }
    auto index = ParsePackIndex(text);
    if (!index || index->from != pack.from || index->to != pack.to) {
        fault = "is malformed";
        return std::nullopt;
    }
    return index;
}

}  // namespace

std::vector<PackOffer> WritePacks(const RepositoryFolder& repository, const std::string& index,
                                  const std::vector<RemovedEntry>& removed, const PackOptions& options,
                                  std::ostream& progress) {
    std::vector<std::int16_t> versions;
    for (const PublishedList& list : repository.lists) versions.push_back(list.version);
    std::sort(versions.rbegin(), versions.rend());
    std::vector<PackOffer> offers;
    if (versions.size() >= 2) {
        const Published published = ReadPublished(repository);
        PackWriter writer(repository, index, published, removed, options);
        const std::size_t back =
            std::min(versions.size() - 1, static_cast<std::size_t>(std::max(options.versionsBack, 0)));
        for (std::size_t k = 1; k <= back; ++k)
            offers.push_back(writer.Write(versions[k], versions[0], progress));
    }
    RemoveOtherPacks(repository, PackFileNames(repository, offers));
    return offers;
}

std::vector<std::string> PackFileNames(const RepositoryFolder& repository,
                                       const std::vector<PackOffer>& packs) {
    std::vector<std::string> names;
    for (const PackOffer& pack : packs) {
        names.push_back(PackIndexName(pack.from, pack.to));
        std::string fault;
        const auto index = ReadPackIndexFile(repository, pack, fault);
        if (!index) continue;
        for (std::size_t k = 0; k < index->parts.size(); ++k)
            names.push_back(PackPartName(pack.from, pack.to, k));
    }
    return names;
}

std::vector<Problem> CheckPacks(const RepositoryFolder& repository, const std::vector<PackOffer>& packs) {
    const std::string again = " (update-repo sign makes the pack again)";
    std::vector<Problem> problems;
    for (const PackOffer& pack : packs) {
        std::string fault;
        const auto index = ReadPackIndexFile(repository, pack, fault);
        if (!index) {
            problems.push_back({PackIndexName(pack.from, pack.to),
                                fault + ": players at version " + std::to_string(pack.from) +
                                    " read every newer version's metadata instead" + again,
                                {}});
            continue;
        }
        for (std::size_t k = 0; k < index->parts.size(); ++k) {
            const std::string name = PackPartName(pack.from, pack.to, k);
            std::ifstream in(repository.root / name, std::ios::binary);
            const auto digest = in.is_open() ? DigestOfStream(in) : std::nullopt;
            if (digest == index->parts[k]) continue;
            problems.push_back({name,
                                std::string(digest ? "is not what its pack index signs" : "missing") +
                                    ": players at version " + std::to_string(pack.from) +
                                    " fetch its files another way" + again,
                                {}});
        }
    }
    return problems;
}
