// How an update reaches the game folder all at once: every file is first
// fetched into a staged copy beside its target, under a name of its own;
// once all are complete and checked, a journal lists the moves and they are
// made one after the other. A start that finds a journal (the previous run
// was killed or the power went in the middle of the moves) finishes them
// before anything else.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "update/records/working_records.h"

// Whether a name is an entry of the update's lists.
using IsListed = std::function<bool(std::string_view)>;

// A staged body an earlier run left behind, that this run may resume.
struct LeftBody {
    std::string staged;  // relative to the game folder
    // Of the answer the body came from; a body without both is fetched again whole.
    std::string validator;
    std::int64_t total = -1;
};

// The record of every staged file this run makes (and of what earlier runs
// left), so that a later start removes exactly those and nothing else.
class StagingRecord {
public:
    // Reads what earlier runs recorded in the folder; starts a new record.
    explicit StagingRecord(GameFolder& folder);
    // Removes every staged file of this run that was not committed, except
    // those kept for a later run: verified bodies still whole, and partial
    // ones that can be resumed when the run was stopped.
    ~StagingRecord();
    StagingRecord(const StagingRecord&) = delete;
    StagingRecord& operator=(const StagingRecord&) = delete;

    // A body of `entry` left by an earlier run (partial or whole; without a
    // validator it cannot be resumed), taken over by this run. Verified
    // bodies are not among them: TakeVerified() hands those out.
    std::optional<LeftBody> TakeLeftBody(const std::string& entry);
    // The staged name of a compressed object or delta of `entry` that an
    // earlier run fetched and verified against this digest, when it still
    // holds those bytes (read again: a disk is faster than a server), taken
    // over by this run; it is kept for later runs as long as this one has
    // not used it.
    std::optional<std::string> TakeVerified(const std::string& entry, const FileDigest& digest);
    // Removes what earlier runs left that this run did not take over.
    void RemoveLeftovers();

    // A new name beside the entry's target (the entry, ".~upd-" and a random
    // tag) that no file has and no listed entry uses. Its record is written
    // by the next Flush(), which must come before the file is made.
    std::string NewStagedName(const std::string& entry, const IsListed& isListed);
    // The staged body came from an answer with this validator and total,
    // and may be continued by a range of that same file; written by the
    // next Flush().
    void RecordValidator(const std::string& staged, const std::string& validator, std::int64_t total);
    // The staged body arrived whole and matched this signed digest: a run
    // that fails or stops keeps it, and a later one may take it; written by
    // the next Flush().
    void RecordVerified(const std::string& staged, const FileDigest& digest);
    // Writes what was recorded since the last call (one write for thousands
    // of files, not one each). Throws UpdateFailure when the record could not
    // take it, nor anything before.
    void Flush();
    // Keep partial bodies on disk for the next run (the run was stopped, not failed).
    void KeepPartials() { keepPartials_ = true; }
    // Everything is committed: the record itself goes.
    void Close();

private:
    void Append(const std::string& line);
    void WritePending();

    using Staged = StagedFile;
    // Writes a new record that holds these.
    void Start(const std::map<std::string, Staged>& recorded);
    void AppendRecorded(const std::string& staged, const Staged& what);
    static std::string ValidLine(const std::string& staged, const std::string& validator, std::int64_t total);
    std::optional<std::map<std::string, Staged>> ReadRecord();

    GameFolder& folder_;
    std::map<std::string, Staged> earlier_;  // staged name -> what it holds
    std::set<std::string> cutNames_;         // names given to entries cut to fit
    std::unique_ptr<FileWriter> record_;     // open from the start to the end of the run
    std::string pending_;                    // lines not written yet
    IoStatus unwritten_;                     // why the record could not take what it was given
    bool keepPartials_ = false;
    bool closed_ = false;
};

// Puts every staged file in place and records the version, all or nothing:
// a failure before the last move puts every replaced file back. Throws
// UpdateFailure with the reason.
void CommitUpdate(GameFolder& folder, const std::vector<CommitMove>& moves, std::int16_t version);

// Finishes the commit a previous run left half done. Returns false when
// there was none, or when its journal failed its checks (it is then set
// aside, and nothing it names is touched). Throws UpdateFailure when it cannot be finished.
bool FinishPendingCommit(GameFolder& folder);
