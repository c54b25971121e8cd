// The commit journal a killed run leaves in the game folder, updater.journal
// (ReadJournal). A fuzzer never forges a SHA-256, so each input is read as
// it is and, when it ends a line, once more sealed with its right "sum"
// line: the moves behind the sum are fuzzed too. A journal read names only
// the updater's own moves, and is the one WriteJournalText writes for them,
// but for CR LF line ends.
#include <sstream>

#include "fuzz_support.h"
#include "update/formats/repository.h"
#include "update/records/working_records.h"

namespace {

void Check(const std::string& text, std::string_view body) {
    const std::optional<Journal> journal = ReadJournal(text);
    if (!journal) return;
    for (const CommitMove& move : journal->moves) {
        // A removal has no staged copy: its backup is the one a staged copy would have.
        std::string staged = move.staged;
        if (move.IsRemoval()) {
            FUZZ_CHECK(move.backup.rfind(kBackupMark) != std::string::npos);
            staged = move.backup;
            staged.replace(staged.rfind(kBackupMark), kBackupMark.size(), kStagedMark);
        }
        FUZZ_CHECK(IsStagedNameOf(staged, move.target) && move.backup == BackupName(staged));
        FUZZ_CHECK(!RefusedEntryReason(move.target) && !IsBlankEntry(move.target));
        FUZZ_CHECK(!IsWorkingFileName(move.target) && !IsWorkingFileName(move.staged) &&
                   !IsWorkingFileName(move.backup));
    }
    std::ostringstream written;
    WriteJournalText(written, journal->version, journal->moves);
    const std::string again = written.str();
    FUZZ_CHECK(again == fuzz::LfOnly(body) + SumLine(fuzz::LfOnly(body)) + "\n");
    const std::optional<Journal> reread = ReadJournal(again);
    FUZZ_CHECK(reread && reread->version == journal->version &&
               reread->moves.size() == journal->moves.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::Text(data, size));
    if (!text.empty() && text.back() == '\n') {
        const std::string_view beforeSum(text.data(), text.rfind('\n', text.size() - 2) + 1);
        Check(text, beforeSum);
        Check(text + SumLine(text) + "\n", text);
    } else {
        Check(text, "");
    }
    return 0;
}
