#include "update/staging.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>

#include "failure.h"
#include "storage/storage.h"
#include "update/number_text.h"
#include "update/settings_record.h"
#include "update/text_lines.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kStagingHeader = "kestralon-staging 1";
constexpr const char* kJournalHeader = "kestralon-journal 1";
constexpr std::string_view kStagedMark = ".~upd-";
constexpr std::string_view kBackupMark = ".~old-";
// The longest name of one file or folder, in bytes, on Linux's file
// systems; Windows counts UTF-16 units, never more than the UTF-8 bytes.
constexpr std::size_t kLongestName = 255;
constexpr std::size_t kTagLength = 8;
constexpr std::size_t kLongestPending = 1024 * 1024;

std::string WholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

void RemoveQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

std::string RandomTag() {
    static std::mt19937_64 random{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t bits = random();
    std::string tag;
    for (std::size_t i = 0; i < kTagLength; ++i, bits >>= 4) tag += kHex[bits & 0xF];
    return tag;
}

// The entry with its last name cut (at the start of a character) so that the
// staged name, which adds its mark and tag, still fits a file system.
std::string StagedStem(const std::string& entry) {
    const std::size_t folder = entry.find_last_of("/\\");
    const std::size_t start = folder == std::string::npos ? 0 : folder + 1;
    const std::size_t room = kLongestName - kStagedMark.size() - kTagLength;
    if (entry.size() - start <= room) return entry;
    std::size_t end = start + room;
    while (end > start && (static_cast<unsigned char>(entry[end]) & 0xC0) == 0x80) --end;
    return entry.substr(0, end);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Puts one staged file in place, the replaced one aside under its backup
// name. True when there was one to set aside.
bool MoveInPlace(const CommitMove& move) {
    const fs::path target = LocalPath(move.target);
    const bool replaces = Exists(target);
    if (replaces) ReplaceFile(target, LocalPath(move.backup));
    ReplaceFile(LocalPath(move.staged), target);
    return replaces;
}

void WriteJournal(const std::vector<CommitMove>& moves, std::int16_t version) {
    const fs::path journal = LocalPath(kJournalName);
    const fs::path written = LocalPath(std::string(kJournalName) + ".new");
    {
        std::ofstream out(written, std::ios::binary | std::ios::trunc);
        out << kJournalHeader << "\nversion " << version << "\n";
        for (const CommitMove& move : moves) {
            out << "move\t" << move.staged << '\t' << move.target << '\t' << move.backup << '\n';
        }
        // Without this last line the journal was cut while being written,
        // before any move: it is not acted on.
        out << "end\n";
        out.close();
        if (out.fail()) {
            RemoveQuietly(written);
            throw UpdateFailure(std::string("Impossible d'écrire ") + kJournalName + ".");
        }
    }
    try {
        ReplaceFile(written, journal);
    } catch (const std::system_error&) {
        RemoveQuietly(written);
        throw UpdateFailure(std::string("Impossible d'écrire ") + kJournalName + ".");
    }
    // The staged files and the journal reach the disk before the first move.
    SyncWrittenFiles(NativePath(ProgramFolder()));
}

}  // namespace

bool IsWorkingFileName(const std::string& entry) {
    std::string name = Lower(entry);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name == kLockName || name == kJournalName || name == kStagingName ||
           name == std::string(kJournalName) + ".new" || name == "config/updater.serial" ||
           name == "config/updater.serial.new";
}

// What a record names: staged name -> what it holds, "gone" ones left out.
// Read line by line: a record of a million names is not held twice.
std::map<std::string, StagingRecord::Staged> StagingRecord::ReadRecord() {
    std::map<std::string, Staged> named;
    std::ifstream in(LocalPath(kStagingName), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::vector<std::string_view> fields = SplitFields(line, '\t');
        if (fields.size() == 3 && fields[0] == "file") named[std::string(fields[1])].entry = fields[2];
        // The validator and total of the answer a part came from; an older
        // record without the total cannot prove a range continues the part.
        if (fields.size() == 4 && fields[0] == "valid") {
            const auto total = ParseDecimal<std::int64_t>(fields[3]);
            if (!total) continue;
            Staged& what = named[std::string(fields[1])];
            what.validator = fields[2];
            what.total = *total;
        }
        if (fields.size() == 2 && fields[0] == "gone") named.erase(std::string(fields[1]));
    }
    return named;
}

StagingRecord::StagingRecord() : earlier_(ReadRecord()) {
    // Earlier runs' files stay recorded until this run has dealt with them.
    record_.open(LocalPath(kStagingName), std::ios::binary | std::ios::trunc);
    record_ << kStagingHeader << "\n";
    for (const auto& [staged, what] : earlier_) record_ << RecordLines(staged, what);
    record_.flush();
}

// This run's names are in the record, not in memory: they are read back
// once the plan and the transfers are gone.
StagingRecord::~StagingRecord() {
    Flush();
    record_.close();
    if (closed_) return;
    std::map<std::string, Staged> kept = earlier_;
    for (const auto& [staged, what] : ReadRecord()) {
        if (earlier_.count(staged)) continue;
        std::error_code error;
        const auto size = fs::file_size(LocalPath(staged), error);
        if (keepPartials_ && !what.validator.empty() && what.total >= 0 && !error && size > 0) {
            kept[staged] = what;
        } else {
            RemoveQuietly(LocalPath(staged));
        }
    }
    if (kept.empty()) {
        RemoveQuietly(LocalPath(kStagingName));
        return;
    }
    std::ofstream out(LocalPath(kStagingName), std::ios::binary | std::ios::trunc);
    out << kStagingHeader << "\n";
    for (const auto& [staged, what] : kept) out << RecordLines(staged, what);
}

std::string StagingRecord::RecordLines(const std::string& staged, const Staged& what) {
    std::string lines = "file\t" + staged + '\t' + what.entry + "\n";
    if (!what.validator.empty()) lines += ValidLine(staged, what.validator, what.total) + "\n";
    return lines;
}

std::string StagingRecord::ValidLine(const std::string& staged, const std::string& validator,
                                     std::int64_t total) {
    return "valid\t" + staged + '\t' + validator + '\t' + std::to_string(total);
}

std::optional<LeftBody> StagingRecord::TakeLeftBody(const std::string& entry) {
    for (auto it = earlier_.begin(); it != earlier_.end(); ++it) {
        if (it->second.entry != entry) continue;
        std::error_code error;
        if (!fs::is_regular_file(LocalPath(it->first), error)) continue;
        LeftBody left{it->first, it->second.validator, it->second.total};
        // Still in the record: from now on it is this run's.
        earlier_.erase(it);
        return left;
    }
    return std::nullopt;
}

void StagingRecord::RemoveLeftovers() {
    for (const auto& [staged, what] : earlier_) {
        RemoveQuietly(LocalPath(staged));
        Append("gone\t" + staged);
    }
    earlier_.clear();
}

std::string StagingRecord::NewStagedName(const std::string& entry, const IsListed& isListed) {
    for (;;) {
        const std::string stem = StagedStem(entry);
        // Sized exactly: a million of them wait in the plan.
        std::string name;
        name.reserve(stem.size() + kStagedMark.size() + kTagLength);
        name.append(stem).append(kStagedMark).append(RandomTag());
        if (isListed(name) || earlier_.count(name) || Exists(LocalPath(name))) continue;
        // Different entries have different stems, unless both were cut to
        // fit: only those could be given the same name twice.
        if (stem.size() != entry.size() && !cutNames_.insert(name).second) continue;
        Append("file\t" + name + '\t' + entry);
        return name;
    }
}

void StagingRecord::RecordValidator(const std::string& staged, const std::string& validator,
                                    std::int64_t total) {
    // A validator with a line break or a tab would break the record's lines.
    if (validator.find_first_of("\t\r\n") != std::string::npos) return;
    Append(ValidLine(staged, validator, total));
}

void StagingRecord::Close() {
    Flush();
    record_.close();
    // Committed files have left their staged names; whatever is still there goes.
    for (const auto& [staged, what] : ReadRecord()) {
        if (!earlier_.count(staged)) RemoveQuietly(LocalPath(staged));
    }
    if (earlier_.empty()) {
        RemoveQuietly(LocalPath(kStagingName));
        closed_ = true;
    }
}

void StagingRecord::Append(const std::string& line) {
    pending_ += line;
    pending_ += '\n';
    // Thousands of names are planned at once: the record takes them in
    // pieces rather than holding them all in memory.
    if (pending_.size() >= kLongestPending) Flush();
}

void StagingRecord::Flush() {
    if (pending_.empty() || !record_.is_open()) return;
    record_ << pending_;
    record_.flush();
    pending_.clear();
}

std::string BackupName(const std::string& staged) {
    std::string backup = staged;
    backup.replace(backup.rfind(kStagedMark), kStagedMark.size(), kBackupMark);
    return backup;
}

void CommitUpdate(const std::vector<CommitMove>& moves, std::int16_t version) {
    WriteJournal(moves, version);
    std::size_t done = 0;
    std::vector<bool> replaced(moves.size(), false);
    try {
        for (; done < moves.size(); ++done) replaced[done] = MoveInPlace(moves[done]);
    } catch (const std::system_error&) {
        // Back to the installed game: the journal goes first, so that a crash
        // while putting things back is not mistaken for a commit to finish.
        RemoveQuietly(LocalPath(kJournalName));
        for (std::size_t k = done + 1; k-- > 0;) {
            const CommitMove& move = moves[k];
            std::error_code ignored;
            if (k < done) fs::rename(LocalPath(move.target), LocalPath(move.staged), ignored);
            if (Exists(LocalPath(move.backup)))
                fs::rename(LocalPath(move.backup), LocalPath(move.target), ignored);
        }
        throw UpdateFailure("Impossible d'écrire " + moves[done].target + ".");
    }
    if (!WriteVersion(version)) {
        // Every file is in place; the journal stays so that the next start
        // records the version before anything else.
        throw UpdateFailure("Impossible d'enregistrer la version " + std::to_string(version) + ".");
    }
    for (std::size_t k = 0; k < moves.size(); ++k) {
        if (replaced[k]) RemoveQuietly(LocalPath(moves[k].backup));
    }
    RemoveQuietly(LocalPath(kJournalName));
}

bool FinishPendingCommit() {
    const fs::path journal = LocalPath(kJournalName);
    RemoveQuietly(LocalPath(std::string(kJournalName) + ".new"));
    if (!Exists(journal)) return false;
    const std::string text = WholeFile(journal);
    const std::vector<std::string_view> lines = SplitLines(text);
    std::vector<CommitMove> moves;
    std::optional<std::int16_t> version;
    bool complete = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string_view> fields = SplitFields(lines[i], '\t');
        if (fields.size() == 4 && fields[0] == "move")
            moves.push_back({std::string(fields[1]), std::string(fields[2]), std::string(fields[3])});
        if (lines[i].starts_with("version ")) {
            std::istringstream number{std::string(lines[i].substr(8))};
            int value = 0;
            if (number >> value && value >= INT16_MIN && value <= INT16_MAX)
                version = static_cast<std::int16_t>(value);
        }
        if (lines[i] == "end") complete = true;
    }
    if (lines.empty() || lines[0] != kJournalHeader || !complete || !version) {
        RemoveQuietly(journal);
        return false;
    }
    for (const CommitMove& move : moves) {
        if (!Exists(LocalPath(move.staged))) continue;  // already in place
        try {
            const fs::path target = LocalPath(move.target);
            if (Exists(target) && !Exists(LocalPath(move.backup)))
                ReplaceFile(target, LocalPath(move.backup));
            ReplaceFile(LocalPath(move.staged), target);
        } catch (const std::system_error&) {
            throw UpdateFailure("Impossible d'écrire " + move.target + ".");
        }
    }
    if (!WriteVersion(*version)) {
        throw UpdateFailure("Impossible d'enregistrer la version " + std::to_string(*version) + ".");
    }
    for (const CommitMove& move : moves) RemoveQuietly(LocalPath(move.backup));
    RemoveQuietly(journal);
    return true;
}
