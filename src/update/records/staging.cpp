#include "update/records/staging.h"

#include <algorithm>
#include <random>

#include "failure.h"
#include "player_texts.h"
#include "storage/file_streams.h"
#include "storage/storage.h"
#include "update/formats/number_text.h"
#include "update/formats/text_lines.h"
#include "update/records/settings_record.h"
#include "update/trust/crypto.h"
#include "update/trust/signed_metadata.h"
#include "update/trust/trust.h"

namespace {

constexpr std::size_t kLongestPending = 1024 * 1024;

// Anything at the name itself, a link included; a name that cannot be
// looked at counts as free.
bool Exists(GameFolder& folder, const std::string& name) {
    const Result<FileInfo> info = folder.Inspect(name, Links::NotFollowed);
    return info.ok() && info->kind != FileKind::Missing;
}

bool Is(GameFolder& folder, const std::string& name, FileKind kind, Links links) {
    const Result<FileInfo> info = folder.Inspect(name, links);
    return info.ok() && info->kind == kind;
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
// name; `replaced` tells whether there was one to set aside.
IoStatus MoveInPlace(GameFolder& folder, const CommitMove& move, bool& replaced) {
    replaced = Exists(folder, move.target);
    if (replaced) {
        if (IoStatus moved = folder.Replace(move.target, move.backup); !moved.ok()) return moved;
    }
    return move.IsRemoval() ? IoStatus() : folder.Replace(move.staged, move.target);
}

// The folders that held a removed file, from the deepest up, while they are
// empty: only those the removal emptied go (a folder's removal fails while
// anything is in it).
void RemoveEmptiedFolders(GameFolder& folder, const std::string& removed) {
    for (std::size_t cut = removed.find_last_of("/\\"); cut != std::string::npos && cut > 0;
         cut = removed.find_last_of("/\\", cut - 1)) {
        const std::string above = removed.substr(0, cut);
        if (!Is(folder, above, FileKind::Folder, Links::NotFollowed) || !folder.Remove(above).ok()) return;
    }
}

// Once the version is recorded: the replaced and removed files go, then the
// folders the removals emptied.
void DropBackups(GameFolder& folder, const std::vector<CommitMove>& moves,
                 const std::vector<bool>& replaced) {
    for (std::size_t k = 0; k < moves.size(); ++k) {
        if (replaced[k]) folder.Remove(moves[k].backup).IgnoreError();
    }
    for (const CommitMove& move : moves) {
        if (move.IsRemoval() && !Exists(folder, move.target)) RemoveEmptiedFolders(folder, move.target);
    }
}

IoStatus WriteJournalFile(FileWriter& out, const std::vector<CommitMove>& moves, std::int16_t version) {
    WriterStream stream(out);
    WriteJournalText(stream, version, moves);
    const IoStatus written = stream.Finish();
    const IoStatus closed = out.Close();
    return written.ok() ? closed : written;
}

void WriteJournal(GameFolder& folder, const std::vector<CommitMove>& moves, std::int16_t version) {
    const std::string written = std::string(kJournalName) + ".new";
    folder.Remove(written).IgnoreError();
    Result<std::unique_ptr<FileWriter>> out = folder.OpenForWriting(written, WriteMode::CreateNew);
    IoStatus status = out.ok() ? WriteJournalFile(**out, moves, version) : out.error();
    if (status.ok()) status = folder.Replace(written, kJournalName);
    if (!status.ok()) {
        folder.Remove(written).IgnoreError();
        throw UpdateFailure(texts::WriteRefused(kJournalName, IsDiskFull(status)));
    }
    // The staged files and the journal reach the disk before the first move;
    // a journal that may not have is no commit to start. Only what the run
    // wrote is flushed, not every file of the disk.
    std::vector<std::string> durable;
    durable.reserve(moves.size() + 1);
    for (const CommitMove& move : moves) {
        if (!move.IsRemoval()) durable.push_back(move.staged);
    }
    durable.push_back(kJournalName);
    if (const IoStatus flushed = folder.Flush(durable); !flushed.ok()) {
        folder.Remove(kJournalName).IgnoreError();
        throw UpdateFailure(texts::WriteRefused(kJournalName, IsDiskFull(flushed)));
    }
}

// After the moves: a full disk is named as such, since making room is all
// the next start needs to record the version.
void RecordVersion(GameFolder& folder, std::int16_t version) {
    const IoStatus written = WriteVersion(folder, version);
    if (written.ok()) return;
    throw UpdateFailure(IsDiskFull(written) ? texts::NoSpaceFor(kSettingsName)
                                            : texts::CannotRecordVersion(version));
}

// Back to the installed game, from the move that failed to the first. The
// journal goes only once every file is back: a crash meanwhile, or a file
// that cannot be put back, leaves the commit for the next start to finish,
// with the staged copies it names, and the game whole (all new) then.
void PutBack(GameFolder& folder, const std::vector<CommitMove>& moves, std::size_t failed) {
    for (std::size_t k = failed + 1; k-- > 0;) {
        const CommitMove& move = moves[k];
        if (k < failed && !move.IsRemoval() && !folder.Replace(move.target, move.staged).ok()) return;
        if (Exists(folder, move.backup) && !folder.Replace(move.backup, move.target).ok()) return;
    }
    folder.Remove(kJournalName).IgnoreError();
}

// A journal may name only files: moving a folder aside would take everything
// in it (Config and its Client.ini) along.
bool NamesNoFolder(GameFolder& folder, const Journal& journal) {
    const auto isFolder = [&](const std::string& name) {
        return Is(folder, name, FileKind::Folder, Links::NotFollowed);
    };
    return std::none_of(journal.moves.begin(), journal.moves.end(), [&](const CommitMove& move) {
        return (!move.IsRemoval() && isFolder(move.staged)) || isFolder(move.target) || isFolder(move.backup);
    });
}

}  // namespace

std::optional<std::map<std::string, StagingRecord::Staged>> StagingRecord::ReadRecord() {
    Result<std::unique_ptr<FileReader>> reader = folder_.OpenForReading(kStagingName, Links::Followed);
    if (!reader.ok()) return std::map<std::string, Staged>();
    ReaderStream in(**reader);
    return ReadStagingRecord(in);
}

StagingRecord::StagingRecord(GameFolder& folder) : folder_(folder) {
    if (std::optional<std::map<std::string, Staged>> earlier = ReadRecord()) {
        earlier_ = std::move(*earlier);
    } else {
        SetAside(folder_, kStagingName);
    }
    // Earlier runs' files stay recorded until this run has dealt with them.
    Start(earlier_);
}

// This run's names are in the record, not in memory: they are read back
// once the plan and the transfers are gone.
StagingRecord::~StagingRecord() {
    WritePending();
    record_.reset();
    // A commit left for the next start still needs the staged copies its
    // journal names: the record stays as it is, for that start to deal with.
    if (closed_ || Exists(folder_, kJournalName)) return;
    const std::optional<std::map<std::string, Staged>> recorded = ReadRecord();
    if (!recorded) {
        // A record this run failed to write is its own: nothing in it is
        // acted on, and it goes rather than stay as ".bad".
        if (unwritten_.ok()) {
            SetAside(folder_, kStagingName);
        } else {
            folder_.Remove(kStagingName).IgnoreError();
        }
        return;
    }
    std::map<std::string, Staged> kept = earlier_;
    for (const auto& [staged, what] : *recorded) {
        if (earlier_.count(staged)) continue;
        const Result<FileInfo> part = folder_.Inspect(staged, Links::NotFollowed);
        const bool regular = part.ok() && part->kind == FileKind::Regular;
        const bool nonEmpty = regular && part->size > 0;
        // A verified body a rebuild has used up is gone; one still whole is
        // what a failure (memory, disk, a later file) must not cost again.
        const bool verified = what.verified && regular && part->size == what.verified->size;
        if (verified || (keepPartials_ && !what.validator.empty() && what.total >= 0 && nonEmpty)) {
            kept[staged] = what;
        } else {
            folder_.Remove(staged).IgnoreError();
        }
    }
    if (!kept.empty()) {
        Start(kept);
        record_.reset();
        if (unwritten_.ok()) return;
        // A part that cannot stay on record goes: nothing would remove it later.
        for (const auto& [staged, what] : kept) folder_.Remove(staged).IgnoreError();
    }
    folder_.Remove(kStagingName).IgnoreError();
}

void StagingRecord::Start(const std::map<std::string, Staged>& recorded) {
    folder_.Remove(kStagingName).IgnoreError();
    unwritten_ = {};
    Result<std::unique_ptr<FileWriter>> opened = folder_.OpenForWriting(kStagingName, WriteMode::CreateNew);
    if (opened.ok()) {
        record_ = std::move(*opened);
        const std::string header = std::string(kStagingHeader) + "\n";
        unwritten_ = record_->Write(header.data(), header.size());
    } else {
        record_.reset();
        unwritten_ = opened.error();
    }
    for (const auto& [staged, what] : recorded) AppendRecorded(staged, what);
    WritePending();
}

void StagingRecord::AppendRecorded(const std::string& staged, const Staged& what) {
    Append("file\t" + staged + '\t' + what.entry);
    if (!what.validator.empty()) Append(ValidLine(staged, what.validator, what.total));
    if (what.verified) Append(VerifiedLine(staged, *what.verified));
}

std::string StagingRecord::ValidLine(const std::string& staged, const std::string& validator,
                                     std::int64_t total) {
    return "valid\t" + staged + '\t' + validator + '\t' + std::to_string(total);
}

std::optional<LeftBody> StagingRecord::TakeLeftBody(const std::string& entry) {
    for (auto it = earlier_.begin(); it != earlier_.end(); ++it) {
        if (it->second.entry != entry || it->second.verified) continue;
        if (!Is(folder_, it->first, FileKind::Regular, Links::Followed)) continue;
        LeftBody left{it->first, it->second.validator, it->second.total};
        // Still in the record: from now on it is this run's.
        earlier_.erase(it);
        return left;
    }
    return std::nullopt;
}

std::optional<std::string> StagingRecord::TakeVerified(const std::string& entry, const FileDigest& digest) {
    for (auto it = earlier_.begin(); it != earlier_.end(); ++it) {
        if (it->second.entry != entry || it->second.verified != digest) continue;
        // Never through a link planted at the name.
        if (!Is(folder_, it->first, FileKind::Regular, Links::NotFollowed) ||
            !HoldsContent(folder_, it->first, digest, Links::NotFollowed)) {
            continue;
        }
        std::string staged = it->first;
        earlier_.erase(it);
        return staged;
    }
    return std::nullopt;
}

void StagingRecord::RemoveLeftovers() {
    for (const auto& [staged, what] : earlier_) {
        folder_.Remove(staged).IgnoreError();
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
        if (isListed(name) || earlier_.count(name) || Exists(folder_, name)) continue;
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

void StagingRecord::RecordVerified(const std::string& staged, const FileDigest& digest) {
    Append(VerifiedLine(staged, digest));
}

void StagingRecord::Close() {
    WritePending();
    record_.reset();
    const std::optional<std::map<std::string, Staged>> recorded = ReadRecord();
    if (!recorded) {
        SetAside(folder_, kStagingName);
        closed_ = true;
        return;
    }
    // Committed files have left their staged names; whatever is still there goes.
    for (const auto& [staged, what] : *recorded) {
        if (!earlier_.count(staged)) folder_.Remove(staged).IgnoreError();
    }
    if (earlier_.empty()) {
        folder_.Remove(kStagingName).IgnoreError();
        closed_ = true;
    }
}

void StagingRecord::Append(const std::string& line) {
    pending_ += line;
    pending_ += '\n';
    // Thousands of names are planned at once: the record takes them in
    // pieces rather than holding them all in memory.
    if (pending_.size() >= kLongestPending) WritePending();
}

// Every staged name is on record before its file is made: a record that
// cannot take them stops the run before any is.
void StagingRecord::Flush() {
    WritePending();
    if (!unwritten_.ok()) throw UpdateFailure(texts::WriteRefused(kStagingName, IsDiskFull(unwritten_)));
}

// One write: a crash cuts at most this piece, whose sum then is missing.
// After a failed write nothing more is written: a piece after a cut one
// would not count either.
void StagingRecord::WritePending() {
    if (pending_.empty()) return;
    if (record_ && unwritten_.ok()) {
        pending_ += SumLine(pending_);
        pending_ += '\n';
        unwritten_ = record_->Write(pending_.data(), pending_.size());
    }
    pending_.clear();
}

void CommitUpdate(GameFolder& folder, const std::vector<CommitMove>& moves, std::int16_t version) {
    WriteJournal(folder, moves, version);
    std::size_t done = 0;
    std::vector<bool> replaced(moves.size(), false);
    for (; done < moves.size(); ++done) {
        bool replacedNow = false;
        const IoStatus moved = MoveInPlace(folder, moves[done], replacedNow);
        replaced[done] = replacedNow;
        if (!moved.ok()) break;
    }
    if (done < moves.size()) {
        PutBack(folder, moves, done);
        throw UpdateFailure(texts::CannotWrite(moves[done].target));
    }
    // Every file is in place; the journal stays so that the next start
    // records the version before anything else.
    RecordVersion(folder, version);
    DropBackups(folder, moves, replaced);
    folder.Remove(kJournalName).IgnoreError();
}

bool FinishPendingCommit(GameFolder& folder) {
    folder.Remove(std::string(kJournalName) + ".new").IgnoreError();
    if (!Exists(folder, kJournalName)) return false;
    // A journal cut or edited, left by an older updater, or naming anything
    // but the updater's own moves of list-worthy files is never acted on, and
    // its version is never recorded.
    const Result<std::string> text = ReadFile(folder, kJournalName);
    const std::optional<Journal> read = ReadJournal(text.ok() ? *text : std::string());
    if (!read || !NamesNoFolder(folder, *read)) {
        SetAside(folder, kJournalName);
        return false;
    }
    const std::vector<CommitMove>& moves = read->moves;
    const std::int16_t version = read->version;
    for (const CommitMove& move : moves) {
        // A removal is done once its file is aside; a move once its staged copy is in.
        if (move.IsRemoval() ? Exists(folder, move.backup) : !Exists(folder, move.staged)) continue;
        const bool setAside = Exists(folder, move.target) && !Exists(folder, move.backup);
        if ((setAside && !folder.Replace(move.target, move.backup).ok()) ||
            (!move.IsRemoval() && !folder.Replace(move.staged, move.target).ok())) {
            throw UpdateFailure(texts::CannotWrite(move.target));
        }
    }
    RecordVersion(folder, version);
    DropBackups(folder, moves, std::vector<bool>(moves.size(), true));
    folder.Remove(kJournalName).IgnoreError();
    return true;
}
