// The commit on real files in a scratch game folder, with the folder's calls
// failed on purpose (failing_folder.h): a rename refused at each position of
// the moves and while putting files back, a journal that cannot be written
// or flushed, a version that cannot be recorded, the power cut at any rename.
// Every row ends with the installed game all old or all new, and nothing of
// the commit left; or, where the design keeps its journal for the next start
// on purpose, with exactly that, and the next start's recovery then leaves
// the game all new.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "failing_folder.h"
#include "failure.h"
#include "update/records/staging.h"

namespace {

namespace fs = std::filesystem;

using Files = std::map<std::string, std::string>;  // every file and folder ("<dir>") below the root

const Files kInstalled = {
    {"Config", "<dir>"},    {"Config/Client.ini", "[VERSION]\r\nGame= 5\r\n"},
    {"a.dat", "old a"},     {"sub", "<dir>"},
    {"sub/b.dat", "old b"},
};
// What the run staged: two files replace installed ones, one is new.
const Files kStaged = {
    {"a.dat.~upd-0000000a", "new a"},
    {"sub/b.dat.~upd-0000000b", "new b"},
    {"sub/c.dat.~upd-0000000c", "new c"},
};
const std::vector<CommitMove> kMoves = {
    {"a.dat.~upd-0000000a", "a.dat", "a.dat.~old-0000000a"},
    {"sub/b.dat.~upd-0000000b", "sub/b.dat", "sub/b.dat.~old-0000000b"},
    {"sub/c.dat.~upd-0000000c", "sub/c.dat", "sub/c.dat.~old-0000000c"},
};
constexpr std::int16_t kVersion = 7;

// Before the commit, and after one that failed: the installed game and the
// staged copies as they were.
Files AllOld() {
    Files files = kInstalled;
    files.insert(kStaged.begin(), kStaged.end());
    return files;
}

Files AllNew() {
    return {
        {"Config", "<dir>"},    {"Config/Client.ini", "[VERSION]\r\nGame= 7\r\n"},
        {"a.dat", "new a"},     {"sub", "<dir>"},
        {"sub/b.dat", "new b"}, {"sub/c.dat", "new c"},
    };
}

enum class Outcome {
    Old,         // the commit failed and changed nothing
    New,         // the commit is done
    JournalKept  // it failed with its journal kept: the next start finishes it
};

struct Row {
    std::string what;
    std::vector<Fault> faults;
    Outcome outcome;
    std::string failure;  // the reason shown; empty when none
};

Fault Failing(Call call, int nth, std::errc error = std::errc::io_error) {
    return {call, nth, false, std::make_error_code(error), false};
}

Fault PowerCutAt(Call call, int nth) {
    return {call, nth, false, {}, true};
}

class CommitTest : public testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("commit-test-" + std::to_string(getpid()));
        disk_ = OpenFolder(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void Prepare(const Files& files) {
        fs::remove_all(root_);
        fs::create_directories(root_);
        for (const auto& [name, content] : files) {
            if (content == "<dir>") {
                fs::create_directories(root_ / name);
            } else {
                fs::create_directories((root_ / name).parent_path());
                std::ofstream(root_ / name, std::ios::binary) << content;
            }
        }
    }

    Files Observe() const {
        Files files;
        for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator();
             ++it) {
            const std::string name = it->path().lexically_relative(root_).generic_string();
            if (it->is_directory()) {
                files[name] = "<dir>";
            } else {
                std::ifstream in(it->path(), std::ios::binary);
                files[name] = {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            }
        }
        return files;
    }

    // The reason the call stopped with, "" when it completed; a power cut
    // ends it where it stood.
    template <typename Call>
    std::string Failure(const Call& call) {
        try {
            call();
        } catch (const UpdateFailure& failure) {
            return failure.what();
        } catch (const PowerCut&) {
            return "power cut";
        }
        return "";
    }

    // What a journal kept for the next start leaves once that start has run:
    // all new, whatever the commit had done before it stopped.
    void ExpectFinishedByTheNextStart() {
        EXPECT_TRUE(fs::exists(root_ / kJournalName));
        EXPECT_EQ(Failure([&] { EXPECT_TRUE(FinishPendingCommit(*disk_)); }), "");
        EXPECT_EQ(Observe(), AllNew());
    }

    void Check(const Row& row, const std::function<void(GameFolder&)>& commit) {
        SCOPED_TRACE(row.what);
        Prepare(AllOld());
        FailingFolder folder(*disk_, row.faults);
        EXPECT_EQ(Failure([&] { commit(folder); }), row.failure);
        EXPECT_EQ(folder.Failed(), static_cast<int>(row.faults.size()));
        switch (row.outcome) {
            case Outcome::Old:
                EXPECT_EQ(Observe(), AllOld());
                break;
            case Outcome::New:
                EXPECT_EQ(Observe(), AllNew());
                break;
            case Outcome::JournalKept:
                ExpectFinishedByTheNextStart();
                break;
        }
    }

    int CountedInACleanCommit(Call call) {
        Prepare(AllOld());
        FailingFolder counting(*disk_);
        CommitUpdate(counting, kMoves, kVersion);
        EXPECT_EQ(Observe(), AllNew());
        return counting.Count(call);
    }

    fs::path root_;
    std::unique_ptr<GameFolder> disk_;
};

const std::string kJournalUnwritten = "Impossible d'écrire updater.journal.";
const std::string kVersionUnwritten = "Impossible d'enregistrer la version 7.";

// What a power loss may not take once the journal says "commit": the
// staged files and the journal itself are flushed, by name, after the
// journal is in place and before the first file moves; nothing else is.
TEST_F(CommitTest, FlushesWhatItWroteBeforeTheFirstMove) {
    Prepare(AllOld());
    FailingFolder watched(*disk_);
    CommitUpdate(watched, kMoves, kVersion);
    EXPECT_EQ(Observe(), AllNew());
    std::vector<std::string> expected;
    for (const CommitMove& move : kMoves) expected.push_back(move.staged);
    expected.push_back(kJournalName);
    ASSERT_EQ(watched.Flushed().size(), 1u);
    EXPECT_EQ(watched.Flushed().front(), expected);

    const auto log = watched.Log();
    const auto at = [&](Call call, const std::string& name) {
        return std::find(log.begin(), log.end(), std::make_pair(call, name)) - log.begin();
    };
    const auto flush = at(Call::Flush, ".");
    EXPECT_LT(at(Call::Rename, kJournalName), flush) << "the journal is in place before the flush";
    EXPECT_LT(at(Call::Close, std::string(kJournalName) + ".new"), flush);
    for (const CommitMove& move : kMoves) {
        EXPECT_LT(flush, at(Call::Rename, move.backup)) << move.target << " set aside before the flush";
        EXPECT_LT(flush, at(Call::Rename, move.target)) << move.staged << " moved before the flush";
    }
}

TEST_F(CommitTest, AllOldOrAllNewWhateverFails) {
    // journal.new -> journal, then a: aside and in, b: aside and in, c: in.
    const int renames = CountedInACleanCommit(Call::Rename);
    ASSERT_EQ(renames, 6);
    const std::string targets[] = {"",
                                   kJournalUnwritten,
                                   "Impossible d'écrire a.dat.",
                                   "Impossible d'écrire a.dat.",
                                   "Impossible d'écrire sub/b.dat.",
                                   "Impossible d'écrire sub/b.dat.",
                                   "Impossible d'écrire sub/c.dat."};
    std::vector<Row> rows = {
        {"nothing fails", {}, Outcome::New, ""},
        {"the journal cannot be opened",
         {Failing(Call::Open, 1, std::errc::permission_denied)},
         Outcome::Old,
         kJournalUnwritten},
        {"the disk is full at the journal's write",
         {Failing(Call::Write, 1, std::errc::no_space_on_device)},
         Outcome::Old,
         kJournalUnwritten},
        {"closing the journal reports a lost write",
         {Failing(Call::Close, 1)},
         Outcome::Old,
         kJournalUnwritten},
        {"the flush before the moves fails", {Failing(Call::Flush, 1)}, Outcome::Old, kJournalUnwritten},
        {"the version cannot be recorded after the moves",
         {Failing(Call::Settings, 1)},
         Outcome::JournalKept,
         kVersionUnwritten},
    };
    for (int at = 1; at <= renames; ++at) {
        rows.push_back({"rename " + std::to_string(at) + " of " + std::to_string(renames) + " refused",
                        {Failing(Call::Rename, at, std::errc::permission_denied)},
                        Outcome::Old,
                        targets[at]});
    }
    // Refused at the last move (c), then again at each rename that puts a
    // moved file back: b's new copy out, b's old one in, the same for a.
    for (int back = renames + 1; back <= renames + 4; ++back) {
        rows.push_back({"the last move refused, then putting back rename " + std::to_string(back),
                        {Failing(Call::Rename, renames), Failing(Call::Rename, back)},
                        Outcome::JournalKept,
                        targets[renames]});
    }
    for (const Row& row : rows) {
        Check(row, [](GameFolder& folder) { CommitUpdate(folder, kMoves, kVersion); });
    }
}

// The power goes at each rename, of the moves or of their undoing: the next
// start finds the journal and finishes the commit; before the journal is in
// place, there is nothing to finish and the game is as it was.
TEST_F(CommitTest, APowerCutAnywhereIsFinishedByTheNextStart) {
    const int renames = CountedInACleanCommit(Call::Rename);
    std::vector<Row> rows;
    rows.push_back({"the power goes before the journal is in place",
                    {PowerCutAt(Call::Rename, 1)},
                    Outcome::Old,
                    "power cut"});
    for (int at = 2; at <= renames; ++at) {
        rows.push_back({"the power goes at rename " + std::to_string(at),
                        {PowerCutAt(Call::Rename, at)},
                        Outcome::JournalKept,
                        "power cut"});
    }
    for (int back = renames + 1; back <= renames + 4; ++back) {
        rows.push_back(
            {"the last move refused, then the power goes putting back rename " + std::to_string(back),
             {Failing(Call::Rename, renames), PowerCutAt(Call::Rename, back)},
             Outcome::JournalKept,
             "power cut"});
    }
    for (Row& row : rows) {
        if (row.outcome == Outcome::Old) {
            // The journal's temporary copy is all there is; the next start removes it.
            SCOPED_TRACE(row.what);
            Prepare(AllOld());
            FailingFolder folder(*disk_, row.faults);
            EXPECT_EQ(Failure([&] { CommitUpdate(folder, kMoves, kVersion); }), "power cut");
            EXPECT_FALSE(FinishPendingCommit(*disk_));
            EXPECT_EQ(Observe(), AllOld());
            continue;
        }
        Check(row, [](GameFolder& folder) { CommitUpdate(folder, kMoves, kVersion); });
    }
}

// The next start's recovery fails in turn, at each of its renames or at the
// version: it keeps the journal, and the start after it finishes the commit.
TEST_F(CommitTest, ARecoveryThatFailsIsFinishedByTheStartAfter) {
    for (int cut = 2; cut <= 6; ++cut) {
        Prepare(AllOld());
        FailingFolder cutting(*disk_, {PowerCutAt(Call::Rename, cut)});
        ASSERT_EQ(Failure([&] { CommitUpdate(cutting, kMoves, kVersion); }), "power cut");
        const Files left = Observe();
        // The renames a recovery from there makes; each row below starts
        // again from what the cut left.
        FailingFolder counting(*disk_);
        ASSERT_TRUE(FinishPendingCommit(counting));
        const int renames = counting.Count(Call::Rename);
        std::vector<Fault> faults = {Failing(Call::Settings, 1), PowerCutAt(Call::Settings, 1)};
        for (int at = 1; at <= renames; ++at) {
            faults.push_back(Failing(Call::Rename, at, std::errc::permission_denied));
            faults.push_back(PowerCutAt(Call::Rename, at));
        }
        for (const Fault& fault : faults) {
            SCOPED_TRACE("cut at rename " + std::to_string(cut) + ", then the recovery's " +
                         std::string(CallName(fault.call)) + " " + std::to_string(fault.nth) +
                         (fault.powerCut ? " cut" : " refused"));
            Prepare(left);
            FailingFolder folder(*disk_, {fault});
            EXPECT_NE(Failure([&] { FinishPendingCommit(folder); }), "");
            ExpectFinishedByTheNextStart();
        }
    }
}

// A body verified against its signed digest outlives the run that fetched it,
// failed or stopped, and the next run takes it only when it asks for that
// digest and the file still holds exactly those bytes, never through a link.
// What it does not take goes with the other leftovers.
TEST_F(CommitTest, AVerifiedBodyOutlivesAFailedRunForTheNextThatNeedsIt) {
    const std::string body = "a delta that matched its digest";
    const FileDigest digest = DigestOf(body);
    const fs::path outside = root_.string() + "-outside";
    const struct {
        const char* what;
        std::function<void(const fs::path&)> between;
        FileDigest asked;
        bool taken;
    } rows[] = {
        {"left as it was", [](const fs::path&) {}, digest, true},
        {"another digest asked", [](const fs::path&) {}, DigestOf("another"), false},
        {"its bytes changed",
         [&](const fs::path& at) {
             std::ofstream(at, std::ios::binary) << "a delta that matched its digesT";
         },
         digest, false},
        {"cut short", [&](const fs::path& at) { fs::resize_file(at, 4); }, digest, false},
        {"removed", [](const fs::path& at) { fs::remove(at); }, digest, false},
        {"a link to the same bytes in its place",
         [&](const fs::path& at) {
             fs::rename(at, outside);
             fs::create_symlink(outside, at);
         },
         digest, false},
    };
    const IsListed none = [](std::string_view) { return false; };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Prepare({{"a.dat", "old a"}});
        fs::remove(outside);
        std::string verified, plain;
        {
            StagingRecord staging(*disk_);
            verified = staging.NewStagedName("a.dat", none);
            plain = staging.NewStagedName("a.dat", none);
            staging.Flush();
            std::ofstream(root_ / verified, std::ios::binary) << body;
            std::ofstream(root_ / plain, std::ios::binary) << "fetched whole, not verified";
            staging.RecordVerified(verified, digest);
            staging.Flush();
        }  // the run failed: only the verified body stays, on record
        Files left = Observe();
        EXPECT_EQ(left.erase(kStagingName), 1u);
        EXPECT_EQ(left, (Files{{"a.dat", "old a"}, {verified, body}}));
        row.between(root_ / verified);
        StagingRecord next(*disk_);
        EXPECT_EQ(next.TakeVerified("a.dat", row.asked), row.taken ? std::optional(verified) : std::nullopt);
        next.RemoveLeftovers();
        EXPECT_EQ(fs::exists(fs::symlink_status(root_ / verified)), row.taken);
        next.Close();
        EXPECT_EQ(Observe(), (Files{{"a.dat", "old a"}}));
    }
    if (fs::exists(outside)) {
        std::ifstream in(outside, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), body);
    }
    fs::remove(outside);
}

}  // namespace
