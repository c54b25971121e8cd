#include "update/removals.h"

#include <algorithm>
#include <map>

#include "update/records/working_records.h"

std::vector<DueRemoval> RemovalsDue(std::int16_t newest, const std::vector<RemovedEntry>& removed,
                                    const std::vector<VersionEntries>& lists) {
    // File-system spelling -> the newest version up to newest that lists it.
    std::map<std::string, std::int16_t> lastListed;
    for (const VersionEntries& list : lists) {
        if (list.version > newest) continue;
        for (const std::string& entry : list.entries) {
            const auto [at, added] = lastListed.emplace(FileSystemSpelling(entry), list.version);
            if (!added) at->second = std::max(at->second, list.version);
        }
    }
    // Entry -> the newest version up to newest that dropped it, and every
    // content its drops name.
    std::map<std::string, std::pair<std::int16_t, DueRemoval>> dropped;
    for (const RemovedEntry& drop : removed) {
        if (drop.version > newest || !IsRecordableEntry(drop.entry)) continue;
        auto& [latest, removal] = dropped[drop.entry];
        latest = removal.contents.empty() ? drop.version : std::max(latest, drop.version);
        removal.entry = drop.entry;
        if (std::find(removal.contents.begin(), removal.contents.end(), drop.last) == removal.contents.end())
            removal.contents.push_back(drop.last);
    }
    std::vector<DueRemoval> sorted;
    for (auto& [entry, drop] : dropped) {
        const auto listed = lastListed.find(FileSystemSpelling(entry));
        if (listed == lastListed.end() || listed->second < drop.first)
            sorted.push_back(std::move(drop.second));
    }
    return sorted;
}

bool PackCarriesDropped(std::int16_t installed, const std::vector<RemovedEntry>& removed,
                        const std::vector<PackEntry>& entries) {
    std::multimap<std::string, FileDigest> dropped;  // file-system spelling -> a content a drop names
    for (const RemovedEntry& drop : removed) {
        if (drop.version > installed) dropped.emplace(FileSystemSpelling(drop.entry), drop.last);
    }
    if (dropped.empty()) return false;
    return std::any_of(entries.begin(), entries.end(), [&](const PackEntry& entry) {
        if (entry.way == PackEntry::Way::Blank) return false;
        const auto [first, last] = dropped.equal_range(FileSystemSpelling(entry.entry));
        return std::any_of(first, last, [&](const auto& drop) { return drop.second == entry.expected; });
    });
}
