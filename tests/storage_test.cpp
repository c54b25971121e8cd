// The game folder's POSIX backend on a real disk: a scratch folder below the
// folder of the test executable, reached as the update run reaches the
// program's folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>

#include "storage/file_streams.h"
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
        folder_ = OpenFolder(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void MakeFile(const std::string& relative, const std::string& content) const {
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }
    std::string Content(const std::string& relative) const {
        std::ifstream in(root_ / relative, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string name_;
    fs::path root_;
    std::unique_ptr<GameFolder> folder_;
};

TEST_F(ProgramFolderTest, MadeFoldersMakesEveryMissingParent) {
    MadeFolders folders(*folder_);
    EXPECT_TRUE(folders.MakeFolderOf("a\\b\\c\\file.dat").ok());
    EXPECT_TRUE(fs::is_directory(root_ / "a" / "b" / "c"));
    // Already there: nothing to do, still fine.
    EXPECT_TRUE(folders.MakeFolderOf("a\\b\\c\\other.dat").ok());
    // Forward slashes separate folders as well.
    EXPECT_TRUE(folders.MakeFolderOf("d/e/file.dat").ok());
    EXPECT_TRUE(fs::is_directory(root_ / "d" / "e"));
    // Those made here and left empty go, deepest first; a folder that holds
    // a file stays, with the folders above it.
    MakeFile("d/e/kept.dat", "kept");
    folders.RemoveEmpty();
    EXPECT_FALSE(fs::exists(root_ / "a"));
    EXPECT_EQ(Content("d/e/kept.dat"), "kept");
}

TEST_F(ProgramFolderTest, MadeFoldersMakesNothingForAFileOfTheFolderItself) {
    MadeFolders folders(*folder_);
    EXPECT_TRUE(folders.MakeFolderOf("lone.dat").ok());
    EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(ProgramFolderTest, MadeFoldersFailsLoudlyWhenAFileStandsInTheWay) {
    MakeFile("blocker", "keep me");
    MadeFolders folders(*folder_);
    const IoStatus made = folders.MakeFolderOf("blocker\\inner\\file.dat");
    EXPECT_FALSE(made.ok());
    EXPECT_EQ(made.path(), "blocker");
    EXPECT_EQ(made.code(), std::errc::file_exists) << made.Text();
    EXPECT_EQ(Content("blocker"), "keep me");
}

TEST_F(ProgramFolderTest, FileExistsSeesNormalFilesUnderEitherSeparator) {
    fs::create_directories(root_ / "sub" / "dir");
    MakeFile("sub/dir/file.dat", "x");
    EXPECT_TRUE(folder_->FileExists("sub/dir/file.dat"));
    EXPECT_TRUE(folder_->FileExists("sub\\dir\\file.dat"));
    EXPECT_FALSE(folder_->FileExists("sub/dir"));  // a folder is not a file
    EXPECT_FALSE(folder_->FileExists("sub/dir/missing.dat"));
    EXPECT_FALSE(folder_->FileExists("sub/dir/file.dat/below"));
}

struct InspectRow {
    const char* name;
    Links links;
    FileKind kind;
    std::uint64_t size;
};

TEST_F(ProgramFolderTest, InspectTellsWhatANameIsAndNeverThrows) {
    MakeFile("plain", "12345");
    fs::create_directory(root_ / "folder");
    fs::create_symlink(root_ / "plain", root_ / "link");
    fs::create_symlink(root_ / "gone", root_ / "dangling");
    const InspectRow rows[] = {
        {"", Links::NotFollowed, FileKind::Folder, 0},
        {"plain", Links::NotFollowed, FileKind::Regular, 5},
        {"folder", Links::NotFollowed, FileKind::Folder, 0},
        {"missing", Links::NotFollowed, FileKind::Missing, 0},
        {"plain/below", Links::NotFollowed, FileKind::Missing, 0},
        {"link", Links::NotFollowed, FileKind::Link, 0},
        {"link", Links::Followed, FileKind::Regular, 5},
        {"dangling", Links::NotFollowed, FileKind::Link, 0},
        {"dangling", Links::Followed, FileKind::Missing, 0},
    };
    for (const InspectRow& row : rows) {
        SCOPED_TRACE(row.name);
        const Result<FileInfo> info = folder_->Inspect(row.name, row.links);
        ASSERT_TRUE(info.ok()) << info.error().Text();
        EXPECT_EQ(info->kind, row.kind);
        EXPECT_EQ(info->size, row.size);
    }
    // A name the system refuses is a failure that says why, not an exception.
    const Result<FileInfo> tooLong = folder_->Inspect(std::string(5000, 'x'), Links::Followed);
    ASSERT_FALSE(tooLong.ok());
    EXPECT_EQ(tooLong.error().code(), std::errc::filename_too_long);
}

TEST_F(ProgramFolderTest, ProgramFolderIsTheExecutablesFolderWhateverTheCurrentDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    const std::string folder = ProgramFolder();
    fs::current_path(before);
    EXPECT_EQ(fs::path(folder), fs::canonical("/proc/self/exe").parent_path());
    EXPECT_NE(folder.back(), '/');
    EXPECT_EQ(OpenProgramFolder()->Where("Config\\Client.ini"), fs::path(folder) / "Config" / "Client.ini");
}

TEST_F(ProgramFolderTest, ReplaceSwapsInTheWholeNewFile) {
    MakeFile("target", "old content that is longer");
    MakeFile("fresh", "new");
    EXPECT_TRUE(folder_->Replace("fresh", "target").ok());
    EXPECT_EQ(Content("target"), "new");
    EXPECT_FALSE(fs::exists(root_ / "fresh"));
    // A folder at the target is not replaced.
    fs::create_directory(root_ / "folder");
    MakeFile("fresh2", "x");
    const IoStatus refused = folder_->Replace("fresh2", "folder");
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.path(), "folder");
    EXPECT_TRUE(fs::is_directory(root_ / "folder"));
}

TEST_F(ProgramFolderTest, RemoveTakesFilesLinksAndEmptyFoldersOnly) {
    MakeFile("file", "x");
    fs::create_directories(root_ / "full" / "inside");
    fs::create_directory(root_ / "empty");
    fs::create_symlink(root_ / "full", root_ / "link");
    EXPECT_TRUE(folder_->Remove("file").ok());
    EXPECT_TRUE(folder_->Remove("empty").ok());
    EXPECT_TRUE(folder_->Remove("link").ok());
    EXPECT_TRUE(folder_->Remove("never-there").ok());
    EXPECT_FALSE(folder_->Remove("full").ok());
    EXPECT_FALSE(fs::exists(root_ / "file"));
    EXPECT_FALSE(fs::exists(root_ / "empty"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "link")));
    EXPECT_TRUE(fs::is_directory(root_ / "full" / "inside"));
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

        Result<std::unique_ptr<FileWriter>> writer = folder_->OpenForWriting("staged", row.mode);
        EXPECT_EQ(writer.ok(), row.opens);
        if (writer.ok()) {
            EXPECT_TRUE((*writer)->Write("new", 3).ok());
            EXPECT_TRUE((*writer)->Close().ok());
            EXPECT_EQ(Content("staged"), row.planted == Planted::File ? "oldnew" : "new");
        } else {
            EXPECT_EQ(writer.error().path(), "staged");
        }
        EXPECT_EQ(Content("outside/kept"), "kept");
        EXPECT_FALSE(fs::exists(root_ / "outside/made"));
    }
}

// Reading, as the records and the check of staged copies do: from a byte on,
// through the standard stream, and what the open file is.
TEST_F(ProgramFolderTest, ReadersAndMappingsSeeTheWholeFile) {
    MakeFile("data", "0123456789");
    Result<std::unique_ptr<FileReader>> reader = folder_->OpenForReading("data", Links::Followed);
    ASSERT_TRUE(reader.ok());
    ASSERT_TRUE((*reader)->Seek(4).ok());
    ReaderStream stream(**reader);
    const std::string rest{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    EXPECT_EQ(rest, "456789");
    const Result<FileInfo> info = (*reader)->Info();
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->kind, FileKind::Regular);
    EXPECT_EQ(info->size, 10u);

    EXPECT_EQ(ReadFile(*folder_, "data").value(), "0123456789");
    EXPECT_EQ(ReadFile(*folder_, "data", 3).value(), "012");
    EXPECT_EQ(ReadFile(*folder_, "missing").error().code(), std::errc::no_such_file_or_directory);

    MakeFile("empty", "");
    fs::create_directory(root_ / "folder");
    EXPECT_EQ(folder_->Map("data").value()->Bytes(), "0123456789");
    EXPECT_EQ(folder_->Map("empty").value()->Bytes(), "");
    EXPECT_EQ(folder_->Map("folder").error().code(), std::errc::is_a_directory);
    EXPECT_FALSE(folder_->Map("missing").ok());
}

// Not following, a link at the name fails the open, whatever it leads to: a
// repair's check never reads a file outside the game folder through one.
TEST_F(ProgramFolderTest, OpenForReadingNotFollowedNeverGoesThroughALink) {
    MakeFile("plain", "12345");
    fs::create_symlink(root_ / "plain", root_ / "link");
    fs::create_symlink(root_ / "gone", root_ / "dangling");
    const struct {
        const char* name;
        Links links;
        bool opens;
    } rows[] = {
        {"plain", Links::NotFollowed, true},     {"plain", Links::Followed, true},
        {"link", Links::NotFollowed, false},     {"link", Links::Followed, true},
        {"dangling", Links::NotFollowed, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + (row.links == Links::Followed ? " followed" : " not followed"));
        Result<std::unique_ptr<FileReader>> reader = folder_->OpenForReading(row.name, row.links);
        ASSERT_EQ(reader.ok(), row.opens);
        if (!row.opens) {
            EXPECT_EQ(reader.error().path(), row.name);
            continue;
        }
        ReaderStream stream(**reader);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()),
                  "12345");
    }
}

// One updater per folder: a second lock on the same file is refused as
// held elsewhere, and the file goes with the lock.
TEST_F(ProgramFolderTest, LockIsHeldUntilReleased) {
    Result<std::unique_ptr<FolderLock>> lock = folder_->Lock("updater.lock");
    ASSERT_TRUE(lock.ok()) << lock.error().Text();
    EXPECT_TRUE(fs::exists(root_ / "updater.lock"));
    const Result<std::unique_ptr<FolderLock>> second = OpenFolder(root_)->Lock("updater.lock");
    ASSERT_FALSE(second.ok());
    EXPECT_TRUE(IsHeldElsewhere(second.error()));
    lock.value().reset();
    EXPECT_FALSE(fs::exists(root_ / "updater.lock"));
    const Result<std::unique_ptr<FolderLock>> absent = OpenFolder(root_ / "absent")->Lock("updater.lock");
    ASSERT_FALSE(absent.ok());
    EXPECT_FALSE(IsHeldElsewhere(absent.error()));
}

TEST_F(ProgramFolderTest, FlushFreeSpaceAndSettings) {
    // What was written is flushed, its folders with it; a name gone
    // meanwhile is passed over; a name that is no file is a failure.
    fs::create_directories(root_ / "new" / "deeper");
    std::ofstream(root_ / "new" / "deeper" / "staged.bin") << "bytes";
    EXPECT_TRUE(folder_->Flush({"new/deeper/staged.bin", "gone.bin", "new\\deeper\\gone.bin"}).ok());
    EXPECT_TRUE(folder_->Flush({}).ok());
    // Through a folder moved elsewhere behind a link, as the writes go.
    fs::create_directory_symlink(root_ / "new", root_ / "moved");
    EXPECT_TRUE(folder_->Flush({"moved/deeper/staged.bin"}).ok());
    // Other programs write to the same disk meanwhile: the two readings are
    // close, not equal.
    const Result<std::uint64_t> space = folder_->FreeSpace();
    const std::uint64_t available = fs::space(root_).available;
    ASSERT_TRUE(space.ok());
    EXPECT_LT(std::max(*space, available) - std::min(*space, available), 256u << 20);
    // The settings file is the folder's Config\Client.ini; without Config,
    // nothing is written and nothing is lost.
    EXPECT_TRUE(folder_->WriteIni("VERSION", "Game", " 7").ok());
    EXPECT_FALSE(fs::exists(root_ / "Config"));
    fs::create_directory(root_ / "Config");
    EXPECT_TRUE(folder_->WriteIni("VERSION", "Game", " 7").ok());
    EXPECT_EQ(Content("Config/Client.ini"), "[VERSION]\r\nGame= 7\r\n");
    EXPECT_EQ(folder_->ReadIni("version", "GAME"), "7");
    fs::remove(root_ / "Config" / "Client.ini");
    fs::create_directory(root_ / "Config" / "Client.ini");
    const IoStatus refused = folder_->WriteIni("VERSION", "Game", " 8");
    EXPECT_EQ(refused.path(), "Config\\Client.ini");
    EXPECT_EQ(refused.code(), std::errc::is_a_directory);
}

}  // namespace
