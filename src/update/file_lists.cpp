#include "update/file_lists.h"

#include <algorithm>
#include <functional>

#include "failure.h"
#include "player_texts.h"
#include "storage/storage.h"
#include "update/formats/repository.h"
#include "update/records/staging.h"

NewerVersions ReadNewerVersions(const std::string& index, std::int16_t current) {
    const std::vector<IndexField> fields = ReadIndexFields(index);
    // A captive portal's page, a compressed body or an empty answer has no
    // version in it at all: that is not "up to date".
    if (std::none_of(fields.begin(), fields.end(),
                     [](const IndexField& f) { return HasLeadingNumber(f.text); })) {
        throw UpdateFailure(texts::UnreadableIndex(kIndexName));
    }
    NewerVersions newer;
    newer.newest = current;
    for (const IndexField& field : fields) {
        if (!(field.value > current)) continue;
        const auto version = ToVersion(field.value);
        if (!version) throw UpdateFailure(texts::BadVersion(Printable(AnsiToUtf8(field.text))));
        newer.versions.push_back(*version);
        if (newer.newest < *version) newer.newest = *version;
    }
    return newer;
}

std::size_t ListMerge::EntryHash::operator()(std::size_t k) const {
    return (*this)(std::string_view((*fileList)[k]));
}

std::size_t ListMerge::EntryHash::operator()(std::string_view name) const {
    return std::hash<std::string_view>()(name);
}

bool ListMerge::EntryEqual::operator()(std::size_t a, std::size_t b) const {
    return (*fileList)[a] == (*fileList)[b];
}

bool ListMerge::EntryEqual::operator()(std::string_view name, std::size_t k) const {
    return name == (*fileList)[k];
}

bool ListMerge::EntryEqual::operator()(std::size_t k, std::string_view name) const {
    return name == (*fileList)[k];
}

bool ListMerge::Contains(std::string_view name) const {
    return listed_.find(name) != listed_.end();
}

ListMerge::ListMerge(std::vector<std::string>& fileList, std::int32_t& fileCount)
    : fileList_(fileList), fileCount_(fileCount), listed_(0, EntryHash{&fileList}, EntryEqual{&fileList}) {}

void ListMerge::Add(const std::string& list) {
    ForEachListEntry(list, [this](std::string_view line) { AddEntry(line); });
}

void ListMerge::AddEntry(std::string_view line) {
    std::string entry = AnsiToUtf8(line);
    if (const auto problem = RefusedEntryReason(entry)) throw UpdateFailure(*problem);
    if (IsWorkingFileName(entry)) throw UpdateFailure(texts::RefusedPath(Printable(entry)));
    if (fileList_.size() >= kMostEntries) {
        throw UpdateFailure(texts::TooManyFiles(kMostEntries));
    }
    fileList_.push_back(std::move(entry));
    if (!listed_.insert(fileList_.size() - 1).second) {
        fileList_.pop_back();
        return;
    }
    ++fileCount_;
}
