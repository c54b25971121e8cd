// Files and folders relative to the program folder, on a real disk. The
// program folder of this test is the folder of the test executable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <system_error>

#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;

class ProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = "storage-test-" + std::to_string(getpid());
        root_ = fs::path(ProgramFolder()) / name_;
        fs::remove_all(root_);
        fs::create_directory(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // The absolute name of a path below the scratch folder, "\" separated.
    std::string Absolute(const std::string& relative) const {
        return ProgramFolder() + "\\" + name_ + "\\" + relative;
    }
    void MakeFile(const std::string& relative, const std::string& content) const {
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }

    std::string name_;
    fs::path root_;
};

TEST_F(ProgramFolderTest, CreatePathMakesEveryMissingParent) {
    EXPECT_TRUE(CreatePath(Absolute("a\\b\\c")));
    EXPECT_TRUE(fs::is_directory(root_ / "a" / "b" / "c"));
    // Already there: nothing to do, still true.
    EXPECT_TRUE(CreatePath(Absolute("a\\b\\c")));
    // Forward slashes separate folders as well.
    EXPECT_TRUE(CreatePath(Absolute("d/e")));
    EXPECT_TRUE(fs::is_directory(root_ / "d" / "e"));
}

TEST_F(ProgramFolderTest, CreatePathWithoutSeparatorCreatesNothing) {
    const std::string lone = name_ + "-lone";
    EXPECT_FALSE(CreatePath(lone));
    EXPECT_FALSE(fs::exists(lone));
    EXPECT_FALSE(fs::exists(fs::path(ProgramFolder()) / lone));
}

TEST_F(ProgramFolderTest, CreatePathFailsLoudlyWhenAFileStandsInTheWay) {
    MakeFile("blocker", "keep me");
    EXPECT_THROW(CreatePath(Absolute("blocker\\inner")), std::system_error);
    std::ifstream in(root_ / "blocker");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "keep me");
}

TEST_F(ProgramFolderTest, FileExistsSeesNormalFilesUnderEitherSeparator) {
    fs::create_directories(root_ / "sub" / "dir");
    MakeFile("sub/dir/file.dat", "x");
    EXPECT_TRUE(FileExists(name_ + "/sub/dir/file.dat"));
    EXPECT_TRUE(FileExists(name_ + "\\sub\\dir\\file.dat"));
    EXPECT_FALSE(FileExists(name_ + "/sub/dir"));  // a folder is not a file
    EXPECT_FALSE(FileExists(name_ + "/sub/dir/missing.dat"));
    EXPECT_FALSE(FileExists(name_ + "/sub/dir/file.dat/below"));
}

TEST_F(ProgramFolderTest, IsFolderNeverFails) {
    MakeFile("plain", "");
    EXPECT_TRUE(IsFolder(ProgramFolder()));
    EXPECT_TRUE(IsFolder(Absolute("")));
    EXPECT_FALSE(IsFolder(Absolute("plain")));
    EXPECT_FALSE(IsFolder(Absolute("missing")));
    EXPECT_FALSE(IsFolder(""));
    EXPECT_FALSE(IsFolder(std::string(5000, 'x')));
}

TEST_F(ProgramFolderTest, ProgramFolderIsTheExecutablesFolderWhateverTheCurrentDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    const std::string folder = ProgramFolder();
    fs::current_path(before);
    EXPECT_EQ(fs::path(folder), fs::canonical("/proc/self/exe").parent_path());
    EXPECT_NE(folder.back(), '/');
}

TEST_F(ProgramFolderTest, ReplaceFileSwapsInTheWholeNewFile) {
    MakeFile("target", "old content that is longer");
    MakeFile("fresh", "new");
    ReplaceFile(root_ / "fresh", root_ / "target");
    std::ifstream in(root_ / "target");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "new");
    EXPECT_FALSE(fs::exists(root_ / "fresh"));
    // A folder at the target is not replaced.
    fs::create_directory(root_ / "folder");
    MakeFile("fresh2", "x");
    EXPECT_THROW(ReplaceFile(root_ / "fresh2", root_ / "folder"), std::system_error);
    EXPECT_TRUE(fs::is_directory(root_ / "folder"));
}

// What stands at the name before it is opened for writing.
enum class Planted { Nothing, File, LinkToFile, DanglingLink, Folder };

struct OpenRow {
    const char* what;
    Planted planted;
    WriteMode mode;
    bool opens;
};

TEST_F(ProgramFolderTest, OpenForWritingNeverGoesThroughALink) {
    const OpenRow rows[] = {
        {"a new name is created", Planted::Nothing, WriteMode::CreateNew, true},
        {"an existing file is not taken over", Planted::File, WriteMode::CreateNew, false},
        {"a link to a file outside is not followed", Planted::LinkToFile, WriteMode::CreateNew, false},
        {"a dangling link does not create its target", Planted::DanglingLink, WriteMode::CreateNew, false},
        {"an existing file is appended to", Planted::File, WriteMode::Append, true},
        {"nothing to append to", Planted::Nothing, WriteMode::Append, false},
        {"a link to a file outside is not appended through", Planted::LinkToFile, WriteMode::Append, false},
        {"a dangling link is not appended through", Planted::DanglingLink, WriteMode::Append, false},
        {"a folder is not a file", Planted::Folder, WriteMode::Append, false},
    };
    for (const OpenRow& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(root_);
        fs::create_directories(root_ / "outside");
        MakeFile("outside/kept", "kept");
        const fs::path name = root_ / "staged";
        if (row.planted == Planted::File) MakeFile("staged", "old");
        if (row.planted == Planted::LinkToFile) fs::create_symlink(root_ / "outside/kept", name);
        if (row.planted == Planted::DanglingLink) fs::create_symlink(root_ / "outside/made", name);
        if (row.planted == Planted::Folder) fs::create_directory(name);

        std::unique_ptr<FileWriter> writer = OpenForWriting(name, row.mode);
        EXPECT_EQ(writer != nullptr, row.opens);
        if (writer) {
            EXPECT_TRUE(writer->Write("new", 3));
            EXPECT_TRUE(writer->Close());
            std::ifstream in(name, std::ios::binary);
            const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(content, row.planted == Planted::File ? "oldnew" : "new");
        }
        std::ifstream kept(root_ / "outside/kept", std::ios::binary);
        const std::string outside((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
        EXPECT_EQ(outside, "kept");
        EXPECT_FALSE(fs::exists(root_ / "outside/made"));
    }
}

}  // namespace
