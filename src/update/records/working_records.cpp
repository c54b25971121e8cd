#include "update/records/working_records.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "storage/storage.h"
#include "update/formats/number_text.h"
#include "update/formats/repository.h"
#include "update/formats/text_lines.h"
#include "update/trust/crypto.h"
#include "update/trust/signed_metadata.h"

namespace {

// Written by an updater before records carried sums and their names were
// checked: such a record is set aside like a broken one.
constexpr std::string_view kJournalHeader = "kestralon-journal 2";
// The same with "remove" lines: an updater that knows only moves sets such a
// journal aside instead of making its moves without its removals.
constexpr std::string_view kJournalHeaderWithRemovals = "kestralon-journal 3";
// The longest name of one file or folder, in bytes, on Linux's file
// systems; Windows counts UTF-16 units, never more than the UTF-8 bytes.
constexpr std::size_t kLongestName = 255;

constexpr std::array<std::string_view, 8> kWorkingNames = {
    "updater.lock",    "updater.journal",     "updater.journal.new",   "updater.journal.bad",
    "updater.staging", "updater.staging.bad", "config/updater.serial", "config/updater.serial.new"};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// "remove <entry> <backup>": the backup name the entry's staged copy would
// have, which no staged file of this commit has.
std::optional<CommitMove> ReadRemoval(const std::vector<std::string_view>& fields) {
    CommitMove removal{std::string(), std::string(fields[1]), std::string(fields[2])};
    const std::size_t mark = removal.backup.rfind(kBackupMark);
    if (mark == std::string::npos) return std::nullopt;
    std::string staged = removal.backup;
    staged.replace(mark, kBackupMark.size(), kStagedMark);
    if (!IsStagedNameOf(staged, removal.target) || BackupName(staged) != removal.backup) return std::nullopt;
    return removal;
}

std::optional<CommitMove> ReadMove(std::string_view line, bool removals) {
    const std::vector<std::string_view> fields = SplitFields(line, '\t');
    if (removals && fields.size() == 3 && fields[0] == "remove") return ReadRemoval(fields);
    if (fields.size() != 4 || fields[0] != "move") return std::nullopt;
    CommitMove move{std::string(fields[1]), std::string(fields[2]), std::string(fields[3])};
    if (!IsStagedNameOf(move.staged, move.target) || move.backup != BackupName(move.staged))
        return std::nullopt;
    return move;
}

// "verified <staged> <SHA-256 hex> <size>", of a name a "file" line gave.
bool ReadVerifiedLine(const std::vector<std::string_view>& fields, std::map<std::string, StagedFile>& named) {
    const auto sha256 = ParseDigest(fields[2]);
    const auto size = ParseDecimal<std::uint64_t>(fields[3]);
    const auto it = named.find(std::string(fields[1]));
    if (!sha256 || !size || it == named.end()) return false;
    it->second.verified = FileDigest{*size, *sha256};
    return true;
}

// Only names the updater gives its staged copies are taken: a "valid" or
// "verified" line for a name no "file" line gave fails the record, and so
// does a "verified" line in a record of the format before them.
bool ReadStagingLine(std::string_view line, bool verifiedLines, std::map<std::string, StagedFile>& named) {
    const std::vector<std::string_view> fields = SplitFields(line, '\t');
    if (verifiedLines && fields.size() == 4 && fields[0] == "verified")
        return ReadVerifiedLine(fields, named);
    if (fields.size() == 3 && fields[0] == "file") {
        if (!IsStagedNameOf(fields[1], fields[2])) return false;
        named[std::string(fields[1])].entry = fields[2];
        return true;
    }
    if (fields.size() == 4 && fields[0] == "valid") {
        const auto total = ParseDecimal<std::int64_t>(fields[3]);
        const auto it = named.find(std::string(fields[1]));
        if (!total || it == named.end()) return false;
        it->second.validator = fields[2];
        it->second.total = *total;
        return true;
    }
    if (fields.size() == 2 && fields[0] == "gone") {
        named.erase(std::string(fields[1]));
        return true;
    }
    return false;
}

}  // namespace

std::string FileSystemSpelling(std::string_view entry) {
    std::string spelled;
    std::size_t start = 0;
    while (start <= entry.size()) {
        std::size_t end = entry.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = entry.size();
        std::string_view part = entry.substr(start, end - start);
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
        if (!part.empty()) {
            if (!spelled.empty()) spelled += '/';
            std::transform(part.begin(), part.end(), std::back_inserter(spelled), Lower);
        }
        start = end + 1;
    }
    return spelled;
}

bool IsRecordableEntry(std::string_view entry) {
    return !IsBlankEntry(entry) && !RefusedEntryReason(entry) && !IsWorkingFileName(entry);
}

bool IsWorkingFileName(std::string_view entry) {
    const std::string spelled = FileSystemSpelling(entry);
    return std::find(kWorkingNames.begin(), kWorkingNames.end(), spelled) != kWorkingNames.end();
}

std::string StagedStem(const std::string& entry) {
    const std::size_t folder = entry.find_last_of("/\\");
    const std::size_t start = folder == std::string::npos ? 0 : folder + 1;
    const std::size_t room = kLongestName - kStagedMark.size() - kTagLength;
    if (entry.size() - start <= room) return entry;
    std::size_t end = start + room;
    while (end > start && (static_cast<unsigned char>(entry[end]) & 0xC0) == 0x80) --end;
    return entry.substr(0, end);
}

bool IsStagedNameOf(std::string_view staged, std::string_view entry) {
    if (!IsRecordableEntry(entry)) return false;
    const std::string stem = StagedStem(std::string(entry));
    if (staged.size() != stem.size() + kStagedMark.size() + kTagLength) return false;
    if (!staged.starts_with(stem) || staged.substr(stem.size(), kStagedMark.size()) != kStagedMark)
        return false;
    return IsLowerHex(staged.substr(stem.size() + kStagedMark.size()));
}

std::string BackupName(const std::string& staged) {
    std::string backup = staged;
    backup.replace(backup.rfind(kStagedMark), kStagedMark.size(), kBackupMark);
    return backup;
}

std::string SumLine(std::string_view text) {
    return "sum " + Hex(Sha256Of(text));
}

void WriteJournalText(std::ostream& out, std::int16_t version, const std::vector<CommitMove>& moves) {
    Sha256 sum;
    const auto write = [&](std::string_view text) {
        sum.Update(text.data(), text.size());
        out << text;
    };
    const bool removals =
        std::any_of(moves.begin(), moves.end(), [](const CommitMove& m) { return m.IsRemoval(); });
    write(removals ? kJournalHeaderWithRemovals : kJournalHeader);
    write("\nversion " + std::to_string(version) + "\n");
    std::string line;
    for (const CommitMove& move : moves) {
        if (move.IsRemoval()) {
            line.assign("remove\t").append(move.target);
        } else {
            line.assign("move\t").append(move.staged).append("\t").append(move.target);
        }
        write(line.append("\t").append(move.backup).append("\n"));
    }
    // Also the proof that the journal was written whole.
    out << "sum " << Hex(sum.Finish()) << "\n";
}

std::optional<Journal> ReadJournal(std::string_view text) {
    if (text.size() < 2 || text.back() != '\n') return std::nullopt;
    const std::size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
    const std::string_view body = text.substr(0, lastLine);
    if (lastLine == 0 || text.substr(lastLine, text.size() - lastLine - 1) != SumLine(body))
        return std::nullopt;
    const std::vector<std::string_view> lines = SplitLines(body);
    const bool removals = lines.size() >= 1 && lines[0] == kJournalHeaderWithRemovals;
    if (lines.size() < 2 || (lines[0] != kJournalHeader && !removals) || !lines[1].starts_with("version "))
        return std::nullopt;
    const auto version = ParseDecimal<std::int16_t>(lines[1].substr(8));
    if (!version) return std::nullopt;
    Journal journal{*version, {}};
    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::optional<CommitMove> move = ReadMove(lines[i], removals);
        if (!move) return std::nullopt;
        journal.moves.push_back(std::move(*move));
    }
    // Written only for a commit that removes files.
    const auto removal = [](const CommitMove& m) { return m.IsRemoval(); };
    if (removals && std::none_of(journal.moves.begin(), journal.moves.end(), removal)) return std::nullopt;
    return journal;
}

std::string VerifiedLine(const std::string& staged, const FileDigest& digest) {
    return "verified\t" + staged + '\t' + Hex(digest.sha256) + '\t' + std::to_string(digest.size);
}

std::optional<std::map<std::string, StagedFile>> ReadStagingRecord(std::istream& in) {
    std::map<std::string, StagedFile> named;
    std::string line;
    if (!std::getline(in, line) || in.eof()) {
        // Cut before its first line was whole (a crash right after the run
        // made it): a record that names nothing yet.
        const bool header = std::string_view(kStagingHeader).starts_with(line) ||
                            std::string_view(kStagingHeaderBeforeVerified).starts_with(line);
        if (in.bad() || !header) return std::nullopt;
        return named;
    }
    const bool verifiedLines = line == kStagingHeader;
    if (!verifiedLines && line != kStagingHeaderBeforeVerified) return std::nullopt;
    std::vector<std::string> piece;
    Sha256 sum;
    // A line that ends the file without "\n" was cut while being written.
    while (std::getline(in, line) && !in.eof()) {
        if (line.starts_with("sum ")) {
            if (line != "sum " + Hex(sum.Finish())) return std::nullopt;
            for (const std::string& held : piece) {
                if (!ReadStagingLine(held, verifiedLines, named)) return std::nullopt;
            }
            piece.clear();
            continue;
        }
        sum.Update(line.data(), line.size());
        sum.Update("\n", 1);
        piece.push_back(std::move(line));
    }
    return named;
}

void SetAside(GameFolder& folder, const std::string& record) {
    if (!folder.Replace(record, record + ".bad").ok()) folder.Remove(record).IgnoreError();
}
