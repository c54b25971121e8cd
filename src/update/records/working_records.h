// The updater's own records in the game folder (the commit journal and the
// staging record), and the names they may hold. A record is read before any
// signature is checked, so it is trusted no further than a list entry: it may
// name only list-worthy entries and the staged and backup names the updater
// itself gives them, and a checksum shows when it was cut or edited. A record
// that fails is set aside and never acted on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage.h"
#include "update/trust/signed_metadata.h"

// The updater's own working files in the game folder.
inline constexpr const char* kLockName = "updater.lock";
inline constexpr const char* kJournalName = "updater.journal";
inline constexpr const char* kStagingName = "updater.staging";

inline constexpr std::string_view kStagedMark = ".~upd-";
inline constexpr std::string_view kBackupMark = ".~old-";
inline constexpr std::size_t kTagLength = 8;  // lowercase hex digits after the mark

// True for a list entry that names one of the working files above (or the
// serial kept in Config), in any spelling the file system takes for the same
// file: any case, "\" for "/", "." and empty parts, trailing dots and blanks.
bool IsWorkingFileName(std::string_view entry);

// The entry with its last name cut (at the start of a character) so that the
// staged name, which adds its mark and tag, still fits a file system.
std::string StagedStem(const std::string& entry);

// True when staged is a name the updater gives a staged copy of entry
// (StagedStem, kStagedMark, kTagLength lowercase hex digits), and entry one
// that a list may hold.
bool IsStagedNameOf(std::string_view staged, std::string_view entry);

// The name the installed file is kept under while a staged file replaces it:
// the staged name with ".~old-" for ".~upd-".
std::string BackupName(const std::string& staged);

// The line that closes a piece of a record: "sum " and the SHA-256 (hex) of
// the text before it, since the header or the previous "sum" line.
std::string SumLine(std::string_view text);

// One step of a commit: the staged file moved over its target, which is set
// aside under the backup name first. Without a staged file, it is a
// removal: the target is only set aside, and goes with the other backups
// once the version is recorded.
struct CommitMove {
    std::string staged;  // relative to the game folder, as the other two; empty for a removal
    std::string target;
    std::string backup;
    bool IsRemoval() const { return staged.empty(); }
};

struct Journal {
    std::int16_t version = 0;
    std::vector<CommitMove> moves;
};

// Writes the journal's text: its format line, the version, one line per
// move ("remove" lines for removals, in a format of their own that earlier
// updaters set aside rather than half-apply), and a "sum" line over all of
// it. Streamed: a million moves are not held twice.
void WriteJournalText(std::ostream& out, std::int16_t version, const std::vector<CommitMove>& moves);
// Nothing unless the text is one WriteJournalText wrote: its format, its sum,
// and every move a staged name, its entry and the matching backup name
// (a removal: an entry and a backup name of it). Journals written before
// removals existed are read as they are.
std::optional<Journal> ReadJournal(std::string_view text);

// The staging record's format line. Its pieces are closed by "sum" lines; a
// record written by an updater before records carried sums and their names
// were checked is set aside like a broken one.
inline constexpr const char* kStagingHeader = "kestralon-staging 3";
// The format before "verified" lines, read as it is: what it names stays
// named, none of it as verified.
inline constexpr const char* kStagingHeaderBeforeVerified = "kestralon-staging 2";

// What the staging record says of one staged file.
struct StagedFile {
    std::string entry;  // the list entry it is a copy of
    // Of the answer its body came from; a body without both cannot be continued.
    std::string validator;
    std::int64_t total = -1;
    // A compressed object or a delta that arrived whole and matched this
    // signed digest: a later run that needs the same digest takes it
    // rather than fetch it again.
    std::optional<FileDigest> verified;
};

// The record's line that says a staged body is verified.
std::string VerifiedLine(const std::string& staged, const FileDigest& digest);

// What a staging record names: staged name -> what it holds, "gone" ones
// left out; nothing when the record fails its checks. Read line by line: a
// record of a million names is not held twice. Each piece counts once its
// "sum" line proves it whole; a last piece without one was cut by a crash and
// is left out.
std::optional<std::map<std::string, StagedFile>> ReadStagingRecord(std::istream& in);

// The name a list entry stands for on the file system, whatever its
// spelling: lowercase, "/" between its parts, without "." and empty parts,
// nor a part's trailing dots and blanks. Two entries with the same spelling
// are one file for Windows.
std::string FileSystemSpelling(std::string_view entry);

// An entry a list may hold, and so one the records may name.
bool IsRecordableEntry(std::string_view entry);

// Renames a record that failed to "<record>.bad" (an older one goes); when it
// cannot be renamed, it is removed. Either way it is never acted on.
void SetAside(GameFolder& folder, const std::string& record);
