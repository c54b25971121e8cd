// What the operator's tools remember of what they signed, kept outside the
// repository, where whoever can write to the server cannot rewrite it: per
// repository folder and channel, the last release serial with the digest of
// that release metadata, and the last fresh serial signed over it.
//
//   kestralon-operator-state 1
//   channel <name> release <serial> <sha256> <size> fresh <serial> repository <folder>
//
// One line per repository and channel, sorted, each pair once; the folder
// is absolute, links resolved, and runs to the end of the line; lines end
// in "\n". The file is written whole under a temporary name, flushed to
// disk, then renamed over the old one.
#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/signed_metadata.h"

// update-repo.state, in the folder of the first key file unless --state says.
inline constexpr const char* kStateFileName = "update-repo.state";

struct ChannelRecord {
    std::uint64_t releaseSerial = 0;
    FileDigest release;  // qoro_update_release.meta as signed with that serial
    std::uint64_t freshSerial = 0;
    bool operator==(const ChannelRecord&) const = default;
};

struct RecordKey {
    std::string repository;  // UTF-8
    std::string channel;
    auto operator<=>(const RecordKey&) const = default;
};

using OperatorState = std::map<RecordKey, ChannelRecord>;

// Nothing when the text is not exactly the format (a file cut while it was
// written included).
std::optional<OperatorState> ParseOperatorState(std::string_view text);
// Throws std::invalid_argument for a folder or channel the format cannot carry.
std::string FormatOperatorState(const OperatorState& state);

// The state file of one run, for one repository, and what it holds.
struct StateFile {
    std::filesystem::path path;
    std::string repository;  // the key of this repository's records
    OperatorState records;
    bool exists = false;

    const ChannelRecord* Find(const std::string& channel) const;
};

// The state file a command uses: given, or kStateFileName beside firstKey.
std::filesystem::path StatePath(const std::optional<std::filesystem::path>& given,
                                const std::filesystem::path& firstKey);

// Reads the state file for the repository at root; a missing file holds no
// record. Refusals, naming the way out, when it lies inside the repository
// or cannot be read as a state.
StateFile LoadState(const std::filesystem::path& path, const std::filesystem::path& root,
                    std::vector<std::string>& refusals);

// Writes the state with record as the channel's of this repository, all or
// nothing. Throws std::runtime_error naming the file.
void SaveRecord(const StateFile& state, const std::string& channel, const ChannelRecord& record);
