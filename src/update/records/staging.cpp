#include "update/records/staging.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "failure.h"
#include "player_texts.h"
#include "storage/storage.h"
#include "update/formats/number_text.h"
#include "update/formats/text_lines.h"
#include "update/records/settings_record.h"
#include "update/trust/crypto.h"
#include "update/trust/signed_metadata.h"

namespace {

namespace fs = std::filesystem;

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
        WriteJournalText(out, version, moves);
        out.close();
        if (out.fail()) {
            RemoveQuietly(written);
            throw UpdateFailure(texts::CannotWrite(kJournalName));
        }
    }
    try {
        ReplaceFile(written, journal);
    } catch (const std::system_error&) {
        RemoveQuietly(written);
        throw UpdateFailure(texts::CannotWrite(kJournalName));
    }
    // The staged files and the journal reach the disk before the first move.
    SyncWrittenFiles(NativePath(ProgramFolder()));
}

bool IsLocalFolder(const std::string& name) {
    std::error_code error;
    return fs::symlink_status(LocalPath(name), error).type() == fs::file_type::directory;
}

// A journal may name only files: moving a folder aside would take everything
// in it (Config and its Client.ini) along.
bool NamesNoFolder(const Journal& journal) {
    return std::none_of(journal.moves.begin(), journal.moves.end(), [](const CommitMove& move) {
        return IsLocalFolder(move.staged) || IsLocalFolder(move.target) || IsLocalFolder(move.backup);
    });
}

}  // namespace

std::optional<std::map<std::string, StagingRecord::Staged>> StagingRecord::ReadRecord() {
    std::ifstream in(LocalPath(kStagingName), std::ios::binary);
    if (!in.is_open()) return std::map<std::string, Staged>();
    return ReadStagingRecord(in);
}

StagingRecord::StagingRecord() {
    if (std::optional<std::map<std::string, Staged>> earlier = ReadRecord()) {
        earlier_ = std::move(*earlier);
    } else {
        SetAside(LocalPath(kStagingName));
    }
    // Earlier runs' files stay recorded until this run has dealt with them.
    Start(earlier_);
}

// This run's names are in the record, not in memory: they are read back
// once the plan and the transfers are gone.
StagingRecord::~StagingRecord() {
    Flush();
    record_.close();
    if (closed_) return;
    const std::optional<std::map<std::string, Staged>> recorded = ReadRecord();
    if (!recorded) {
        SetAside(LocalPath(kStagingName));
        return;
    }
    std::map<std::string, Staged> kept = earlier_;
    for (const auto& [staged, what] : *recorded) {
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
    Start(kept);
    record_.close();
}

void StagingRecord::Start(const std::map<std::string, Staged>& recorded) {
    record_.open(LocalPath(kStagingName), std::ios::binary | std::ios::trunc);
    record_ << kStagingHeader << "\n";
    for (const auto& [staged, what] : recorded) AppendRecorded(staged, what);
    Flush();
}

void StagingRecord::AppendRecorded(const std::string& staged, const Staged& what) {
    Append("file\t" + staged + '\t' + what.entry);
    if (!what.validator.empty()) Append(ValidLine(staged, what.validator, what.total));
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
    const std::optional<std::map<std::string, Staged>> recorded = ReadRecord();
    if (!recorded) {
        SetAside(LocalPath(kStagingName));
        closed_ = true;
        return;
    }
    // Committed files have left their staged names; whatever is still there goes.
    for (const auto& [staged, what] : *recorded) {
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
    // One write: a crash cuts at most this piece, whose sum then is missing.
    pending_ += SumLine(pending_);
    pending_ += '\n';
    record_ << pending_;
    record_.flush();
    pending_.clear();
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
        throw UpdateFailure(texts::CannotWrite(moves[done].target));
    }
    if (!WriteVersion(version)) {
        // Every file is in place; the journal stays so that the next start
        // records the version before anything else.
        throw UpdateFailure(texts::CannotRecordVersion(version));
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
    // A journal cut or edited, left by an older updater, or naming anything
    // but the updater's own moves of list-worthy files is never acted on, and
    // its version is never recorded.
    const std::optional<Journal> read = ReadJournal(WholeFile(journal));
    if (!read || !NamesNoFolder(*read)) {
        SetAside(journal);
        return false;
    }
    const std::vector<CommitMove>& moves = read->moves;
    const std::int16_t version = read->version;
    for (const CommitMove& move : moves) {
        if (!Exists(LocalPath(move.staged))) continue;  // already in place
        try {
            const fs::path target = LocalPath(move.target);
            if (Exists(target) && !Exists(LocalPath(move.backup)))
                ReplaceFile(target, LocalPath(move.backup));
            ReplaceFile(LocalPath(move.staged), target);
        } catch (const std::system_error&) {
            throw UpdateFailure(texts::CannotWrite(move.target));
        }
    }
    if (!WriteVersion(version)) {
        throw UpdateFailure(texts::CannotRecordVersion(version));
    }
    for (const CommitMove& move : moves) RemoveQuietly(LocalPath(move.backup));
    RemoveQuietly(journal);
    return true;
}
