// update-repo's rules and building blocks: names, the repository read as the
// updater reads it, the checks, the publish plan and the atomic writes, on
// real files in a scratch folder.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "operator/arguments.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "operator/operator_state.h"
#include "operator/publish.h"
#include "operator/release_anchor.h"
#include "operator/repository_folder.h"
#include "operator/verify.h"

namespace {

TEST(EntryNames, AcceptWhatEveryPlayerCanInstall) {
    for (const char* entry : {"a.dat", "data/maps/town.map", "caf\xC3\xA9 menu.txt", " leading blank.txt",
                              "data\\win.dat", "..hidden/x", "CONSOLE.txt", "COM0"}) {
        EXPECT_EQ(EntryProblem(entry), std::nullopt) << entry;
    }
}

TEST(EntryNames, NameWhatGoesWrong) {
    const struct {
        const char* entry;
        const char* problem;
    } cases[] = {
        {"../up.dat", "unsafe path"},
        {"/abs.dat", "unsafe path"},
        {"C:x.dat", "unsafe path"},
        {"a\tb", "unsafe path"},
        {"a*b.dat", "'*'"},
        {"a<b", "'<'"},
        {"q\"uote", "'\"'"},
        {"dir./a", "\"dir.\" ends in a dot or a blank"},
        {"a ", "ends in a dot or a blank"},
        {"data//a", "empty folder name"},
        {"data/", "empty folder name"},
        {"aux.txt", "\"aux.txt\" is a device name"},
        {"x/LPT9", "device name"},
        {"con .log", "device name"},
    };
    for (const auto& c : cases) {
        const auto problem = EntryProblem(c.entry);
        ASSERT_TRUE(problem.has_value()) << c.entry;
        EXPECT_NE(problem->find(c.problem), std::string::npos) << c.entry << ": " << *problem;
    }
}

TEST(EntryNames, EscapeWhatATerminalWouldObey) {
    const std::pair<const char*, const char*> cases[] = {
        {"caf\xC3\xA9 \xF0\x9F\x8E\xB2", "caf\xC3\xA9 \xF0\x9F\x8E\xB2"},
        {"a\r\nupdate-repo: all clean\x1B[2J\x7F", "a\\x0D\\x0Aupdate-repo: all clean\\x1B[2J\\x7F"},
        {"\xC2\x9D;\x9B[", "\\xC2\\x9D;\\x9B["},  // a C1 control (OSC), a stray byte (CSI to 8-bit terminals)
        // overlong, a surrogate, past U+10FFFF, cut short
        {"\xE0\x80\x9B\xED\xA0\x80\xF4\x90\x80\x80\xE2\x82",
         "\\xE0\\x80\\x9B\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE2\\x82"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(Escaped(text), shown) << shown;
}

TEST(BuildNames, MustSurviveTheAnsiListAndTheWindowsFileSystem) {
    EXPECT_EQ(BuildNameProblem("\xC5\x92uvre \xE2\x82\xAC.txt"), std::nullopt);  // Œuvre €.txt: both in 1252
    EXPECT_NE(BuildNameProblem("\xE6\x97\xA5.txt")->find("Windows-1252"), std::string::npos);
    EXPECT_NE(BuildNameProblem("caf\xE9.txt")->find("Windows-1252"), std::string::npos);  // not UTF-8
    EXPECT_NE(BuildNameProblem("a\\b.txt")->find("backslash"), std::string::npos);
    EXPECT_NE(BuildNameProblem("   ")->find("blank"), std::string::npos);
    EXPECT_NE(BuildNameProblem("x/../y")->find("unsafe"), std::string::npos);
}

TEST(FoldCase, FoldsTheWindows1252Letters) {
    EXPECT_EQ(FoldCase("Caf\xC3\x89/\xC5\x92UVRE.TXT"), FoldCase("caf\xC3\xA9/\xC5\x93uvre.txt"));
    EXPECT_EQ(FoldCase("\xC5\xB8"), FoldCase("\xC3\xBF"));  // Ÿ ÿ
    EXPECT_NE(FoldCase("\xC3\x97"), FoldCase("\xC3\xB7"));  // × and ÷ are no letters
    EXPECT_NE(FoldCase("a.dat"), FoldCase("a.dat "));
}

TEST(IndexFields, ZeroIsANumberButTextIsNot) {
    for (const char* text : {"0", "-0", " 0", "0abc", ".0", "&H0", "+0", "7", "& H1F", "&\tO3", "-\n5"})
        EXPECT_TRUE(HasLeadingNumber(text)) << text;
    for (const char* text : {"", "abc", "-", "&H", "& H", "& ", "&X1", "e5",
                             "\xEF\xBB\xBF"
                             "1"}) {
        EXPECT_FALSE(HasLeadingNumber(text)) << text;
    }
}

TEST(Arguments, ReadsOptionsFlagsAndNegativeValues) {
    const std::vector<CommandSyntax> commands = {
        {"publish", {"repo", "version"}, {"url", "key"}, {"dry-run"}, {"key"}}};
    const Arguments a = ParseArguments(
        {"publish", "--version", "-5", "--key", "a.pem", "--repo=/r", "--dry-run", "--key=b.pem"}, commands);
    EXPECT_EQ(a.Value("version"), "-5");
    EXPECT_EQ(a.Values("key"), (std::vector<std::string>{"a.pem", "b.pem"}));
    EXPECT_EQ(a.Values("url"), std::vector<std::string>{});
    EXPECT_EQ(a.Value("repo"), "/r");
    EXPECT_EQ(a.Value("url", "none"), "none");
    EXPECT_TRUE(a.Has("dry-run"));
    EXPECT_TRUE(ParseArguments({"publish", "--help"}, commands).help);  // no required option needed

    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{},
                                               {"push"},
                                               {"publish", "--repo", "r"},
                                               {"publish", "--repo", "r", "--version"},
                                               {"publish", "--repo", "r", "--repo", "s", "--version", "1"},
                                               {"publish", "--repo", "r", "--version", "1", "--dry-run=yes"},
                                               {"publish", "--repo", "r", "--version", "1", "stray"}}) {
        EXPECT_THROW(ParseArguments(words, commands), UsageError) << words.size();
    }
    EXPECT_EQ(ParseWholeNumber("v", "-32768"), -32768);
    EXPECT_EQ(ParseWholeNumber("v", "99999999999999999999999"), INT64_MAX);
    for (const char* bad : {"", "1.5", "+1", "1e3", "12x", " 1"})
        EXPECT_THROW(ParseWholeNumber("v", bad), UsageError);
}

const std::string kShaA = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kShaB = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(OperatorState, ParsesAndFormatsTheSameBytes) {
    const std::string text =
        "kestralon-operator-state 1\n"
        "channel beta release 1 " +
        kShaB +
        " 0 fresh 1 repository /srv/a b/repository\n"
        "channel live release 42 " +
        kShaA +
        " 913 fresh 12 repository /srv/a b/repository\n"
        "channel live release 18446744073709551615 " +
        kShaA + " 1 fresh 0 repository /srv/test\n";
    const auto state = ParseOperatorState(text);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->size(), 3u);
    const ChannelRecord& live = state->at({"/srv/a b/repository", "live"});
    EXPECT_EQ(live.releaseSerial, 42u);
    EXPECT_EQ(live.release.size, 913u);
    EXPECT_EQ(Hex(live.release.sha256), kShaA);
    EXPECT_EQ(live.freshSerial, 12u);
    EXPECT_EQ(FormatOperatorState(*state), text);
    EXPECT_EQ(ParseOperatorState("kestralon-operator-state 1\n"), OperatorState{});
    EXPECT_THROW(FormatOperatorState({{{"relative/repository", "live"}, {}}}), std::invalid_argument);
    EXPECT_THROW(FormatOperatorState({{{"/a\nb", "live"}, {}}}), std::invalid_argument);
}

TEST(OperatorState, RefusesEveryMalformedText) {
    const std::string line = "channel live release 3 " + kShaA + " 913 fresh 2 repository /srv/r";
    const std::string head = "kestralon-operator-state 1\n";
    for (const std::string& bad : {
             std::string(),
             head.substr(0, head.size() - 1),
             "kestralon-operator-state 2\n" + line + "\n",
             head + line,                                      // cut before its line end
             head + line + "\n" + line + "\n",                 // the same repository and channel twice
             head + "channel li/ve" + line.substr(12) + "\n",  // not a channel
             head + "channel live release 03 " + kShaA + " 913 fresh 2 repository /srv/r\n",
             head + "channel live release -3 " + kShaA + " 913 fresh 2 repository /srv/r\n",
             head + "channel live release 3 " + kShaA.substr(1) + " 913 fresh 2 repository /srv/r\n",
             head + "channel live release 3 " + kShaA + " 913 fresh 2 repository srv/r\n",
             head + "channel live release 3 " + kShaA + " 913 fresh 2\n",
             head + "channel live release 3 " + kShaA + " 913  fresh 2 repository /srv/r\n",
             head + "channel live release 18446744073709551616 " + kShaA + " 913 fresh 2 repository /srv/r\n",
         }) {
        EXPECT_EQ(ParseOperatorState(bad), std::nullopt) << bad;
    }
}

TEST(ReleaseAnchor, JudgesThePresentReleaseAgainstTheRecord) {
    FileDigest a{10, {}}, b{10, {}};
    b.sha256[0] = 1;
    const ChannelRecord recorded{5, a, 3};
    const struct {
        const ChannelRecord* record;
        std::optional<PresentRelease> present;
        ReleaseStanding standing;
    } cases[] = {
        {&recorded, PresentRelease{"live", 5, a}, ReleaseStanding::Recorded},
        {&recorded, PresentRelease{"live", 6, b}, ReleaseStanding::Later},
        {&recorded, PresentRelease{"live", 4, a}, ReleaseStanding::Older},
        {&recorded, PresentRelease{"live", 5, b}, ReleaseStanding::Replaced},
        {&recorded, std::nullopt, ReleaseStanding::Deleted},
        {nullptr, PresentRelease{"live", 5, a}, ReleaseStanding::Unrecorded},
        {nullptr, std::nullopt, ReleaseStanding::NeverSigned},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JudgeRelease(c.record, c.present), c.standing) << static_cast<int>(c.standing);
    }
}

TEST(ReleaseAnchor, EachFlagGoesOnOnlyWhereItsCaseArises) {
    StateFile state;
    state.path = "/keys/update-repo.state";
    state.repository = "/srv/repository";
    const FileDigest digest{10, {}};
    state.records[{"/srv/repository", "live"}] = {5, digest, 3};
    StateFile empty = state;
    empty.records.clear();
    const std::optional<PresentRelease> older = PresentRelease{"live", 4, digest};
    const std::optional<PresentRelease> unrecorded = PresentRelease{"live", 9, digest};
    const AnchorFlags none, first{true, false, false}, fresh{false, true, false},
        rollback{false, false, true}, elsewhere{false, false, false, true};
    // (standing, state, present, flags) -> refused, and a word of the first refusal or note
    const struct {
        ReleaseStanding standing;
        const StateFile* state;
        std::optional<PresentRelease> present;
        AnchorFlags flags;
        bool refused;
        const char* said;
    } cases[] = {
        {ReleaseStanding::Recorded, &state, PresentRelease{"live", 5, digest}, none, false, nullptr},
        {ReleaseStanding::Later, &state, PresentRelease{"live", 7, digest}, none, true, "--signed-elsewhere"},
        {ReleaseStanding::Later, &state, PresentRelease{"live", 7, digest}, elsewhere, false,
         "later than the last"},
        {ReleaseStanding::Recorded, &state, PresentRelease{"live", 5, digest}, elsewhere, true,
         "--signed-elsewhere is for"},
        {ReleaseStanding::Older, &state, older, none, true, "older than the last"},
        {ReleaseStanding::Older, &state, older, rollback, false, "as --allow-rollback asks"},
        {ReleaseStanding::Replaced, &state, PresentRelease{"live", 5, {11, {}}}, none, true, "other bytes"},
        {ReleaseStanding::Deleted, &state, std::nullopt, none, true, "release serial 6 then"},
        {ReleaseStanding::Deleted, &state, std::nullopt, first, false, nullptr},
        {ReleaseStanding::Deleted, &state, std::nullopt, fresh, true, "--new-state is for a state without"},
        {ReleaseStanding::NeverSigned, &empty, std::nullopt, none, true, "--first-signing"},
        {ReleaseStanding::NeverSigned, &empty, std::nullopt, first, false, nullptr},
        {ReleaseStanding::Unrecorded, &empty, unrecorded, none, true, "go on with --new-state"},
        {ReleaseStanding::Unrecorded, &empty, unrecorded, fresh, false, nullptr},
        {ReleaseStanding::Unrecorded, &empty, unrecorded, first, true, "--first-signing is for a repository"},
        {ReleaseStanding::Recorded, &state, PresentRelease{"live", 5, digest}, rollback, true,
         "--allow-rollback is for"},
    };
    for (const auto& c : cases) {
        const AnchorVerdict verdict = JudgeAnchor(c.standing, *c.state, "live", c.present, c.flags, "sign");
        const std::vector<std::string>& said = c.refused ? verdict.refusals : verdict.notes;
        EXPECT_EQ(!verdict.refusals.empty(), c.refused) << static_cast<int>(c.standing) << " " << c.said;
        if (c.said) {
            ASSERT_FALSE(said.empty()) << c.said;
            EXPECT_NE(said.front().find(c.said), std::string::npos) << said.front();
        }
    }
    // The daily refresh records a later release: every publication made
    // offline is one to its record.
    EXPECT_TRUE(
        JudgeAnchor(ReleaseStanding::Later, state, "live", PresentRelease{"live", 7, digest}, none, "refresh")
            .refusals.empty());
    // A signing goes past the present serial and both channels' records.
    EXPECT_EQ(SerialFloor(state, PresentRelease{"live", 2, digest}, "live"), 5u);
    EXPECT_EQ(SerialFloor(state, PresentRelease{"live", 8, digest}, "live"), 8u);
    EXPECT_EQ(SerialFloor(state, std::nullopt, "live"), 5u);
    EXPECT_EQ(SerialFloor(state, PresentRelease{"beta", 1, digest}, "live"), 5u);
    EXPECT_EQ(SerialFloor(empty, std::nullopt, "live"), 0u);
}

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("operator-test-" + std::to_string(std::random_device{}()));
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path Write(const std::string& relative, const std::string& content) const {
        const fs::path path = root_ / Utf8Path(relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            names.push_back(entry.path().lexically_relative(root_).generic_string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root_;
};

TEST_F(Scratch, SameContentComparesEveryByte) {
    const std::string big(3u << 20, 'x');
    const fs::path a = Write("a", big);
    EXPECT_TRUE(SameContent(a, Write("b", big)));
    EXPECT_FALSE(SameContent(a, Write("c", big.substr(0, big.size() - 1) + "y")));  // last byte, third piece
    EXPECT_FALSE(SameContent(a, Write("d", big + "x")));
    EXPECT_FALSE(SameContent(a, root_ / "missing"));
    EXPECT_TRUE(SameContent(Write("e", ""), Write("f", "")));
}

TEST_F(Scratch, PendingFileReplacesWholeOrLeavesTheTargetAlone) {
    const fs::path target = Write("t.dat", "old");
    {
        PendingFile dropped(target);
        dropped.Write("half of the new");
    }
    EXPECT_EQ(*ReadWholeFile(target), "old");
    EXPECT_EQ(Listing(), std::vector<std::string>{"t.dat"});
    {
        PendingFile pending(target);
        pending.Write("new content");
        EXPECT_EQ(*ReadWholeFile(target), "old");  // not before the commit
        pending.Commit();
    }
    EXPECT_EQ(*ReadWholeFile(target), "new content");
    EXPECT_EQ(Listing(), std::vector<std::string>{"t.dat"});
    EXPECT_THROW(PendingFile(root_ / "no-such-folder" / "x"), std::runtime_error);
}

TEST_F(Scratch, StateIsKeptWholeBesideTheKeyPerRepositoryAndRefusedInside) {
    fs::create_directories(root_ / "keys");
    fs::create_directories(root_ / "repository");
    const fs::path path = StatePath(std::nullopt, root_ / "keys" / "release.pem");
    EXPECT_EQ(path, root_ / "keys" / "update-repo.state");
    EXPECT_EQ(StatePath(root_ / "elsewhere.state", root_ / "keys" / "release.pem"),
              root_ / "elsewhere.state");

    std::vector<std::string> refusals;
    StateFile state = LoadState(path, root_ / "repository", refusals);
    EXPECT_TRUE(refusals.empty());
    EXPECT_FALSE(state.exists);
    EXPECT_EQ(state.Find("live"), nullptr);
    const ChannelRecord record{7, {100, {}}, 2};
    SaveRecord(state, "live", record);
    // The repository is named by its absolute folder, however the command spelled it.
    const StateFile again = LoadState(path, root_ / "keys" / ".." / "repository" / "", refusals);
    EXPECT_TRUE(refusals.empty());
    ASSERT_NE(again.Find("live"), nullptr);
    EXPECT_EQ(*again.Find("live"), record);
    fs::create_directories(root_ / "other");
    EXPECT_EQ(LoadState(path, root_ / "other", refusals).Find("live"), nullptr);
    EXPECT_TRUE(refusals.empty());
    EXPECT_EQ(Listing(), (std::vector<std::string>{"keys", "keys/update-repo.state", "other", "repository"}));

    Write("keys/update-repo.state", "kestralon-operator-state 1\nchannel live");
    LoadState(path, root_ / "repository", refusals);
    LoadState(root_ / "repository" / "update-repo.state", root_ / "repository", refusals);
    LoadState(root_ / "missing" / "update-repo.state", root_ / "repository", refusals);
    ASSERT_EQ(refusals.size(), 3u);
    EXPECT_NE(refusals[0].find("cannot be read as one"), std::string::npos) << refusals[0];
    EXPECT_NE(refusals[1].find("is inside the repository"), std::string::npos) << refusals[1];
    EXPECT_NE(refusals[2].find("does not exist"), std::string::npos) << refusals[2];
}

TEST_F(Scratch, RepositoryIsReadAsTheUpdaterReadsIt) {
    Write(kIndexName, "3,abc\r\n1e5\r\n3\r\n-2\r\n");
    Write("qoro_update_3.deploy", "a.dat\r\nd\xE9j\xE0.txt\rlf\nin.dat\r\n\r\n   \r\na.dat");
    const RepositoryFolder repository = ReadRepositoryFolder(root_);
    ASSERT_EQ(repository.fields.size(), 5u);
    EXPECT_EQ(repository.fields[1].version, std::nullopt);  // abc
    EXPECT_EQ(repository.fields[2].version, std::nullopt);  // 1e5
    ASSERT_EQ(repository.lists.size(), 2u);                 // 3 once, then -2
    EXPECT_EQ(repository.lists[1].name, "qoro_update_-2.deploy");
    EXPECT_FALSE(repository.lists[1].bytes.has_value());
    EXPECT_EQ(repository.lists[0].entries, (std::vector<std::string>{"a.dat", "d\xC3\xA9j\xC3\xA0.txt",
                                                                     "lf\nin.dat", "", "   ", "a.dat"}));
    EXPECT_EQ(repository.PublishedPaths(),
              (std::vector<std::string>{"a.dat", "d\xC3\xA9j\xC3\xA0.txt", "lf\nin.dat"}));
}

TEST_F(Scratch, ChecksNameTheMissingEntryAndTheLoneLfLines) {
    Write(kIndexName, "1\r\n2\n");
    Write("qoro_update_1.deploy", "here.dat\r\ngone.dat\r\n");
    Write("qoro_update_2.deploy", "");
    Write("files/here.dat", "x");
    const std::vector<Problem> problems = CheckRepository(ReadRepositoryFolder(root_));
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].file, kIndexName);
    EXPECT_NE(problems[0].message.find("(line 2)"), std::string::npos) << problems[0].message;
    EXPECT_EQ(problems[1].file, "qoro_update_1.deploy");
    EXPECT_EQ(problems[1].missing, "gone.dat");
}

TEST_F(Scratch, PlanSortsTheBuildAgainstThePublishedGame) {
    const fs::path repo = root_ / "repo";
    Write("repo/" + std::string(kIndexName), "1\r\n");
    Write("repo/qoro_update_1.deploy", "same.dat\r\nedited.dat\r\nlost.dat\r\ndropped.dat\r\n");
    for (const char* name : {"same.dat", "edited.dat", "dropped.dat"})
        Write("repo/files/" + std::string(name), "1");
    for (const char* name : {"same.dat", "lost.dat", "added.dat"}) Write("build/" + std::string(name), "1");
    Write("build/edited.dat", "2");

    PublishOptions options{repo, 2, root_ / "build", false, false, {}};
    std::ostringstream progress;
    const PublishPlan plan = PlanPublish(options, ReadRepositoryFolder(repo), progress);
    EXPECT_EQ(plan.refusals, std::vector<std::string>{});
    ASSERT_EQ(plan.files.size(), 3u);
    EXPECT_EQ(plan.files[0].path, "added.dat");
    EXPECT_EQ(plan.files[0].change, Change::New);
    EXPECT_EQ(plan.files[1].path, "edited.dat");
    EXPECT_EQ(plan.files[1].change, Change::Changed);
    EXPECT_EQ(plan.files[2].path, "lost.dat");
    EXPECT_EQ(plan.files[2].change, Change::Restored);
    EXPECT_EQ(plan.unchanged, 1u);
    EXPECT_EQ(plan.gone, std::vector<std::string>{"dropped.dat"});

    // A missing file the build cannot bring back stays a problem of the repository.
    fs::remove(root_ / "build" / "lost.dat");
    const PublishPlan refused = PlanPublish(options, ReadRepositoryFolder(repo), progress);
    ASSERT_EQ(refused.repositoryProblems.size(), 1u);
    EXPECT_EQ(refused.repositoryProblems[0].missing, "lost.dat");
    EXPECT_EQ(refused.refusals.size(), 1u);
}

}  // namespace
