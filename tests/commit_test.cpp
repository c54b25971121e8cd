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
#include <cerrno>
#include <fstream>
#include <map>

#include "failing_folder.h"
#include "failure.h"
#include "player_texts.h"
#include "update/records/staging.h"

namespace {

namespace fs = std::filesystem;

using Files = std::map<std::string, std::string>;  // every file and folder ("<dir>") below the root

// One commit to make: the installed game, what the run staged, the moves,
// and the game once they are made.
struct Game {
    std::string what;
    Files installed;
    Files staged;
    std::vector<CommitMove> moves;
    Files allNew;
};

// Two files replace installed ones, one is new.
const Game kReplacing = {
    "replacing",
    {
        {"Config", "<dir>"},
        {"Config/Client.ini", "[VERSION]\r\nGame= 5\r\n"},
        {"a.dat", "old a"},
        {"sub", "<dir>"},
        {"sub/b.dat", "old b"},
    },
    {
        {"a.dat.~upd-0000000a", "new a"},
        {"sub/b.dat.~upd-0000000b", "new b"},
        {"sub/c.dat.~upd-0000000c", "new c"},
    },
    {
        {"a.dat.~upd-0000000a", "a.dat", "a.dat.~old-0000000a"},
        {"sub/b.dat.~upd-0000000b", "sub/b.dat", "sub/b.dat.~old-0000000b"},
        {"sub/c.dat.~upd-0000000c", "sub/c.dat", "sub/c.dat.~old-0000000c"},
    },
    {
        {"Config", "<dir>"},
        {"Config/Client.ini", "[VERSION]\r\nGame= 7\r\n"},
        {"a.dat", "new a"},
        {"sub", "<dir>"},
        {"sub/b.dat", "new b"},
        {"sub/c.dat", "new c"},
    },
};

// The same, and two files the new version no longer has are removed first:
// the folders one leaves empty go with it, the one the other leaves does not.
const Game kRemoving = {
    "removing",
    {
        {"Config", "<dir>"},
        {"Config/Client.ini", "[VERSION]\r\nGame= 5\r\n"},
        {"a.dat", "old a"},
        {"sub", "<dir>"},
        {"sub/b.dat", "old b"},
        {"gone", "<dir>"},
        {"gone/deep", "<dir>"},
        {"gone/deep/x.dat", "dropped x"},
        {"sub/y.dat", "dropped y"},
    },
    kReplacing.staged,
    {
        {"", "gone/deep/x.dat", "gone/deep/x.dat.~old-0000000d"},
        {"", "sub/y.dat", "sub/y.dat.~old-0000000e"},
        {"a.dat.~upd-0000000a", "a.dat", "a.dat.~old-0000000a"},
        {"sub/b.dat.~upd-0000000b", "sub/b.dat", "sub/b.dat.~old-0000000b"},
        {"sub/c.dat.~upd-0000000c", "sub/c.dat", "sub/c.dat.~old-0000000c"},
    },
    kReplacing.allNew,
};

const Game* const kGames[] = {&kReplacing, &kRemoving};
constexpr std::int16_t kVersion = 7;

// Before the commit, and after one that failed: the installed game and the
// staged copies as they were.
Files AllOld(const Game& game) {
    Files files = game.installed;
    files.insert(game.staged.begin(), game.staged.end());
    return files;
}

// The renames a clean commit makes, in order, each named by the target of
// its move (the journal's first): two for a file that replaces another,
// one for a new file and for a removal.
std::vector<std::string> RenamedTargets(const Game& game) {
    std::vector<std::string> targets = {kJournalName};
    for (const CommitMove& move : game.moves) {
        targets.push_back(move.target);
        if (!move.IsRemoval() && game.installed.contains(move.target)) targets.push_back(move.target);
    }
    return targets;
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
        EXPECT_EQ(Observe(), game_->allNew);
    }

    void Check(const Row& row, const std::function<void(GameFolder&)>& commit) {
        SCOPED_TRACE(row.what);
        Prepare(AllOld(*game_));
        FailingFolder folder(*disk_, row.faults);
        EXPECT_EQ(Failure([&] { commit(folder); }), row.failure);
        EXPECT_EQ(folder.Failed(), static_cast<int>(row.faults.size()));
        switch (row.outcome) {
            case Outcome::Old:
                EXPECT_EQ(Observe(), AllOld(*game_));
                break;
            case Outcome::New:
                EXPECT_EQ(Observe(), game_->allNew);
                break;
            case Outcome::JournalKept:
                ExpectFinishedByTheNextStart();
                break;
        }
    }

    int CountedInACleanCommit(Call call) {
        Prepare(AllOld(*game_));
        FailingFolder counting(*disk_);
        CommitUpdate(counting, game_->moves, kVersion);
        EXPECT_EQ(Observe(), game_->allNew);
        return counting.Count(call);
    }

    void Commit(GameFolder& folder) const { CommitUpdate(folder, game_->moves, kVersion); }

    const Game* game_ = &kReplacing;
    fs::path root_;
    std::unique_ptr<GameFolder> disk_;
};

const std::string kJournalUnwritten = "Impossible d'écrire updater.journal.";
const std::string kVersionUnwritten = "Impossible d'enregistrer la version 7.";

// The renames that put the moves before the last back, when the last is
// refused: a replaced file's new copy out and its old one in, a new file
// out, a removed file in.
int PutBackRenames(const Game& game) {
    int renames = 0;
    for (std::size_t k = 0; k + 1 < game.moves.size(); ++k) {
        const CommitMove& move = game.moves[k];
        renames += !move.IsRemoval() && game.installed.contains(move.target) ? 2 : 1;
    }
    return renames;
}

// What a power loss may not take once the journal says "commit": the
// staged files and the journal itself are flushed, by name, after the
// journal is in place and before the first file moves; nothing else is (a
// removal has nothing staged).
TEST_F(CommitTest, FlushesWhatItWroteBeforeTheFirstMove) {
    for (const Game* game : kGames) {
        SCOPED_TRACE(game->what);
        game_ = game;
        Prepare(AllOld(*game));
        FailingFolder watched(*disk_);
        Commit(watched);
        EXPECT_EQ(Observe(), game->allNew);
        std::vector<std::string> expected;
        for (const CommitMove& move : game->moves) {
            if (!move.IsRemoval()) expected.push_back(move.staged);
        }
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
        for (const CommitMove& move : game->moves) {
            EXPECT_LT(flush, at(Call::Rename, move.backup)) << move.target << " set aside before the flush";
            EXPECT_LT(flush, at(Call::Rename, move.target)) << move.staged << " moved before the flush";
        }
    }
}

TEST_F(CommitTest, AllOldOrAllNewWhateverFails) {
    for (const Game* game : kGames) {
        game_ = game;
        // journal.new -> journal, then a: aside and in, b: aside and in, c:
        // in; each removal: aside, first.
        const int renames = CountedInACleanCommit(Call::Rename);
        const std::vector<std::string> targets = RenamedTargets(*game);
        ASSERT_EQ(renames, static_cast<int>(targets.size())) << game->what;
        std::vector<Row> rows = {
            {"nothing fails", {}, Outcome::New, ""},
            {"the journal cannot be opened",
             {Failing(Call::Open, 1, std::errc::permission_denied)},
             Outcome::Old,
             kJournalUnwritten},
            {"the quota is reached at the journal's write",
             {{Call::Write, 1, false, std::error_code(EDQUOT, std::generic_category()), false}},
             Outcome::Old,
             texts::NoSpaceFor(kJournalName)},
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
                            "Impossible d'écrire " + targets[at - 1] + "."});
        }
        // Refused at the last move (c), then again at each rename that puts
        // a moved file back: b's new copy out, b's old one in, the same for
        // a, then each removed file in.
        for (int back = renames + 1; back <= renames + PutBackRenames(*game); ++back) {
            rows.push_back({"the last move refused, then putting back rename " + std::to_string(back),
                            {Failing(Call::Rename, renames), Failing(Call::Rename, back)},
                            Outcome::JournalKept,
                            "Impossible d'écrire " + targets.back() + "."});
        }
        for (const Row& row : rows) {
            SCOPED_TRACE(game->what);
            Check(row, [&](GameFolder& folder) { Commit(folder); });
        }
    }
}

// The power goes at each rename, of the moves or of their undoing: the next
// start finds the journal and finishes the commit; before the journal is in
// place, there is nothing to finish and the game is as it was.
TEST_F(CommitTest, APowerCutAnywhereIsFinishedByTheNextStart) {
    for (const Game* game : kGames) {
        SCOPED_TRACE(game->what);
        game_ = game;
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
        for (int back = renames + 1; back <= renames + PutBackRenames(*game); ++back) {
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
                Prepare(AllOld(*game));
                FailingFolder folder(*disk_, row.faults);
                EXPECT_EQ(Failure([&] { Commit(folder); }), "power cut");
                EXPECT_FALSE(FinishPendingCommit(*disk_));
                EXPECT_EQ(Observe(), AllOld(*game));
                continue;
            }
            Check(row, [&](GameFolder& folder) { Commit(folder); });
        }
    }
}

// The next start's recovery fails in turn, at each of its renames or at the
// version: it keeps the journal, and the start after it finishes the commit.
TEST_F(CommitTest, ARecoveryThatFailsIsFinishedByTheStartAfter) {
    for (const Game* game : kGames) {
        game_ = game;
        const int commitRenames = CountedInACleanCommit(Call::Rename);
        for (int cut = 2; cut <= commitRenames; ++cut) {
            Prepare(AllOld(*game));
            FailingFolder cutting(*disk_, {PowerCutAt(Call::Rename, cut)});
            ASSERT_EQ(Failure([&] { Commit(cutting); }), "power cut");
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
                SCOPED_TRACE(game->what + ": cut at rename " + std::to_string(cut) +
                             ", then the recovery's " + std::string(CallName(fault.call)) + " " +
                             std::to_string(fault.nth) + (fault.powerCut ? " cut" : " refused"));
                Prepare(left);
                FailingFolder folder(*disk_, {fault});
                EXPECT_NE(Failure([&] { FinishPendingCommit(folder); }), "");
                ExpectFinishedByTheNextStart();
            }
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
