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
#include "operator/publish.h"
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
