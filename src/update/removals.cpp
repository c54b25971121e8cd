#include "update/removals.h"

#include <algorithm>
#include <map>

#include "update/records/working_records.h"

std::vector<DueRemoval> RemovalsDue(std::int16_t installed, std::int16_t newest,
                                    const std::vector<RemovedEntry>& removed,
                                    const std::vector<VersionEntries>& lists) {
    // File-system spelling -> the newest version in range that lists it.
    std::map<std::string, std::int16_t> lastListed;
    for (const VersionEntries& list : lists) {
        if (!(list.version > installed && list.version <= newest)) continue;
        for (const std::string& entry : list.entries) {
            const auto [at, added] = lastListed.emplace(FileSystemSpelling(entry), list.version);
            if (!added) at->second = std::max(at->second, list.version);
        }
    }
    // Entry -> the newest version in range that dropped it, and every
    // content a drop in range names.
    std::map<std::string, std::pair<std::int16_t, DueRemoval>> dropped;
    for (const RemovedEntry& drop : removed) {
        if (!(drop.version > installed && drop.version <= newest) || !IsRecordableEntry(drop.entry)) continue;
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
