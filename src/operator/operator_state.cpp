#include "operator/operator_state.h"

#include <stdexcept>
#include <system_error>

#include "operator/file_io.h"
#include "update/formats/number_text.h"
#include "update/formats/text_lines.h"

namespace {

constexpr std::string_view kStateFormat = "kestralon-operator-state 1";
constexpr std::string_view kRepositoryWord = " repository ";

// A state file is a few lines a repository; anything far larger is not one.
constexpr std::uintmax_t kLargestState = 1 << 20;

// "channel <name> release <serial> <sha256> <size> fresh <serial>"
std::optional<std::pair<std::string, ChannelRecord>> ParseRecordWords(std::string_view text) {
    const std::vector<std::string_view> words = SplitFields(text, ' ');
    if (words.size() != 8 || words[0] != "channel" || words[2] != "release" || words[6] != "fresh") {
        return std::nullopt;
    }
    const auto releaseSerial = ParseDecimal<std::uint64_t>(words[3]);
    const auto sha256 = ParseDigest(words[4]);
    const auto size = ParseDecimal<std::uint64_t>(words[5]);
    const auto freshSerial = ParseDecimal<std::uint64_t>(words[7]);
    if (!IsChannelName(words[1]) || !releaseSerial || !sha256 || !size || !freshSerial) return std::nullopt;
    return std::pair{std::string(words[1]), ChannelRecord{*releaseSerial, {*size, *sha256}, *freshSerial}};
}

// The folder is the rest of the line, blanks included.
std::optional<std::pair<RecordKey, ChannelRecord>> ParseRecordLine(std::string_view line) {
    const std::size_t cut = line.find(kRepositoryWord);
    if (cut == std::string_view::npos) return std::nullopt;
    const std::string_view repository = line.substr(cut + kRepositoryWord.size());
    auto record = ParseRecordWords(line.substr(0, cut));
    if (!record || !repository.starts_with('/')) return std::nullopt;
    return std::pair{RecordKey{std::string(repository), std::move(record->first)}, record->second};
}

// The repository's folder as its records name it: absolute, links resolved.
std::string RepositoryKey(const fs::path& root) {
    std::error_code error;
    fs::path plain = fs::weakly_canonical(fs::absolute(root, error), error);
    if (!plain.has_filename() && plain.has_parent_path()) plain = plain.parent_path();
    return PathText(plain);
}

}  // namespace

std::optional<OperatorState> ParseOperatorState(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || lines->front() != kStateFormat) return std::nullopt;
    OperatorState state;
    for (std::size_t i = 1; i < lines->size(); ++i) {
        auto record = ParseRecordLine((*lines)[i]);
        if (!record || !state.insert(std::move(*record)).second) return std::nullopt;
    }
    return state;
}

std::string FormatOperatorState(const OperatorState& state) {
    std::string text = std::string(kStateFormat) + "\n";
    for (const auto& [key, record] : state) {
        if (!IsChannelName(key.channel))
            throw std::invalid_argument("\"" + key.channel + "\" is not a channel");
        if (!key.repository.starts_with('/') || key.repository.find_first_of("\r\n") != std::string::npos) {
            throw std::invalid_argument("the folder \"" + key.repository +
                                        "\" cannot be written in a state file");
        }
        text += "channel " + key.channel + " release " + std::to_string(record.releaseSerial) + " " +
                Hex(record.release.sha256) + " " + std::to_string(record.release.size) + " fresh " +
                std::to_string(record.freshSerial) + std::string(kRepositoryWord) + key.repository + "\n";
    }
    return text;
}

const ChannelRecord* StateFile::Find(const std::string& channel) const {
    const auto found = records.find({repository, channel});
    return found == records.end() ? nullptr : &found->second;
}

fs::path StatePath(const std::optional<fs::path>& given, const fs::path& firstKey) {
    if (given) return *given;
    return firstKey.parent_path() / kStateFileName;
}

StateFile LoadState(const fs::path& path, const fs::path& root, std::vector<std::string>& refusals) {
    StateFile state;
    state.path = path;
    state.repository = RepositoryKey(root);
    if (IsInside(path, root)) {
        refusals.push_back("the state file " + PathText(path) +
                           " is inside the repository, where whoever can write to the server could change "
                           "it: keep it beside the key, or give --state outside the repository");
        return state;
    }
    std::error_code error;
    if (fs::symlink_status(path, error).type() == fs::file_type::not_found) {
        const fs::path folder = fs::absolute(path, error).parent_path();
        if (!fs::is_directory(folder, error)) {
            refusals.push_back("the folder of the state file " + PathText(path) +
                               " does not exist: give --state a file in an existing folder");
        }
        return state;
    }
    state.exists = true;
    const auto size = fs::is_regular_file(path, error) ? fs::file_size(path, error) : kLargestState + 1;
    const auto bytes = !error && size <= kLargestState ? ReadWholeFile(path) : std::nullopt;
    const auto parsed = bytes ? ParseOperatorState(*bytes) : std::nullopt;
    if (!parsed) {
        refusals.push_back("the state file " + PathText(path) +
                           " cannot be read as one (its first line must be " + std::string(kStateFormat) +
                           "): restore it from its backup, or move it aside and go on with --new-state, as "
                           "docs/signing.md tells");
        return state;
    }
    state.records = *parsed;
    return state;
}

void SaveRecord(const StateFile& state, const std::string& channel, const ChannelRecord& record) {
    OperatorState records = state.records;
    records[{state.repository, channel}] = record;
    PendingFile file(state.path);
    file.Write(FormatOperatorState(records));
    file.CommitDurably();
}
