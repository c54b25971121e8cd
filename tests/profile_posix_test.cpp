// ReadIni and WriteIni on real files: what reaches the disk, what is left
// alone, and what a write that fails halfway leaves behind.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

template <class Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Everything under a folder, names to contents ("<dir>" for folders, "<other>"
// for the rest), to show that a call changed nothing, or nothing else.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).string();
        if (entry.is_symlink())
            entries[name] = "<link>" + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[name] = "<dir>";
        else if (entry.is_regular_file())
            entries[name] = ReadBytes(entry.path());
        else
            entries[name] = "<other>";
    }
    return entries;
}

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// A fresh folder under /tmp for each test, removed with everything in it.
class ProfileTest : public testing::Test {
protected:
    ~ProfileTest() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    static fs::path MakeFolder() {
        char pattern[] = "/tmp/profile-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }

    fs::path folder_ = MakeFolder();
    fs::path ini_ = folder_ / "Client.ini";
    std::string file_ = ini_.string();
};

struct ReadCase {
    const char* name;
    std::string bytes;
    std::string section;
    std::string key;
    std::string expected;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadIniTest : public ProfileTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadIniTest, ReadsValueFromFile) {
    const ReadCase& c = GetParam();
    WriteBytes(ini_, c.bytes);
    EXPECT_EQ(ReadIni(file_, c.section, c.key), c.expected);
    EXPECT_EQ(ReadBytes(ini_), c.bytes);
}

const std::string kLong = "[S]\r\nk=";

INSTANTIATE_TEST_SUITE_P(
    Files, ReadIniTest,
    testing::Values(
        ReadCase{"stored_value", "[VERSION]\r\nGame= 12\r\n", "VERSION", "Game", "12"},
        ReadCase{"missing_key_is_empty", "[VERSION]\r\nGame= 12\r\n", "VERSION", "Fin", ""},
        ReadCase{"missing_section_is_empty", "[VERSION]\r\nGame= 12\r\n", "UPDATER", "Fin", ""},
        ReadCase{"empty_file", "", "VERSION", "Game", ""},
        ReadCase{"ansi_byte_read_as_utf8", "[S]\r\nk=caf\xE9\r\n", "S", "k", "caf\xC3\xA9"},
        ReadCase{"utf8_names_match_ansi_names", "[\xC9t\xE9]\r\n\xE9=1\r\n", "\xC3\x89t\xC3\xA9", "\xC3\xA9",
                 "1"},
        ReadCase{"value_of_4999_kept", kLong + std::string(4999, 'x'), "S", "k", std::string(4999, 'x')},
        ReadCase{"value_of_5000_cut", kLong + std::string(5000, 'x'), "S", "k", std::string(4999, 'x')},
        ReadCase{"long_value_cut", kLong + std::string(100000, 'x') + "\r\n", "S", "k",
                 std::string(4999, 'x')},
        // The cut counts ANSI characters: a cut after conversion would split "é".
        ReadCase{"cut_before_conversion", kLong + std::string(4998, 'x') + "\xE9\xE9", "S", "k",
                 std::string(4998, 'x') + "\xC3\xA9"},
        ReadCase{"nul_bytes_in_file", "\0\0\r\n[S]\r\nk=1\0 2\r\n\0"s, "S", "k", "1"}),
    CaseName<ReadCase>);

TEST_F(ProfileTest, AbsentFileReadsAsEmpty) {
    fs::create_directory(folder_ / "folder.ini");
    EXPECT_EQ(ReadIni(file_, "VERSION", "Game"), "");
    EXPECT_EQ(ReadIni((folder_ / "Config" / "Client.ini").string(), "VERSION", "Game"), "");
    EXPECT_EQ(ReadIni((folder_ / "folder.ini").string(), "VERSION", "Game"), "");
}

struct WriteCase {
    const char* name;
    std::optional<std::string> before;  // nothing: no file yet
    std::string section;
    std::string key;
    std::string value;
    std::string after;
    std::string readBack;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

class WriteIniTest : public ProfileTest, public testing::WithParamInterface<WriteCase> {};

TEST_P(WriteIniTest, WritesFileInPlace) {
    const WriteCase& c = GetParam();
    if (c.before) WriteBytes(ini_, *c.before);
    WriteIni(c.section, c.key, c.value, file_).IgnoreError();
    EXPECT_EQ(ReadBytes(ini_), c.after);
    EXPECT_EQ(ReadIni(file_, c.section, c.key), c.readBack);
    // Nothing else appears in the folder, temporary files included.
    EXPECT_EQ(Snapshot(folder_), (std::map<std::string, std::string>{{"Client.ini", c.after}}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, WriteIniTest,
    testing::Values(WriteCase{"missing_file_created", std::nullopt, "UPDATER", "Fin", " 0",
                              "[UPDATER]\r\nFin= 0\r\n", "0"},
                    WriteCase{"existing_key_replaced", "[VERSION]\r\nGame= 5\r\n[UPDATER]\r\nFin= 0\r\n",
                              "VERSION", "Game", " 12", "[VERSION]\r\nGame= 12\r\n[UPDATER]\r\nFin= 0\r\n",
                              "12"},
                    WriteCase{"other_bytes_kept", "\xFF\0stray\n; c\n[VERSION]\nGame=5\n\n[X]\ta\n"s,
                              "VERSION", "Game", "6", "\xFF\0stray\n; c\n[VERSION]\nGame=6\r\n\n[X]\ta\n"s,
                              "6"},
                    WriteCase{"new_section_after_unterminated_line", "[VERSION]\r\nGame=5", "UPDATER", "Fin",
                              "1", "[VERSION]\r\nGame=5\r\n[UPDATER]\r\nFin=1\r\n", "1"},
                    WriteCase{"same_value_again", "[UPDATER]\r\nFin=1\r\n", "UPDATER", "Fin", "1",
                              "[UPDATER]\r\nFin=1\r\n", "1"},
                    WriteCase{"utf8_value_written_as_ansi", "[S]\r\nk=a\r\n", "S", "k", "caf\xC3\xA9",
                              "[S]\r\nk=caf\xE9\r\n", "caf\xC3\xA9"},
                    WriteCase{"utf8_names_written_as_ansi", std::nullopt, "\xC3\x89t\xC3\xA9", "cl\xC3\xA9",
                              "1", "[\xC9t\xE9]\r\ncl\xE9=1\r\n", "1"},
                    WriteCase{"large_value", "[S]\r\nk=1\r\n", "S", "k", std::string(200000, 'v'),
                              "[S]\r\nk=" + std::string(200000, 'v') + "\r\n", std::string(4999, 'v')}),
    CaseName<WriteCase>);

TEST_F(ProfileTest, RoundTripOfTheUpdaterKeys) {
    WriteIni("UPDATER", "Fin", " 0", file_).IgnoreError();
    WriteIni("VERSION", "Game", " 12", file_).IgnoreError();
    WriteIni("UPDATER", "Fin", "1", file_).IgnoreError();
    EXPECT_EQ(ReadIni(file_, "VERSION", "Game"), "12");
    EXPECT_EQ(ReadIni(file_, "UPDATER", "Fin"), "1");
    EXPECT_EQ(ReadBytes(ini_), "[UPDATER]\r\nFin=1\r\n[VERSION]\r\nGame= 12\r\n");
}

TEST_F(ProfileTest, BackslashSeparatorsNameTheSameFile) {
    const std::string windowsStyle = folder_.string() + "\\Client.ini";
    WriteIni("VERSION", "Game", " 7", windowsStyle).IgnoreError();
    EXPECT_EQ(ReadBytes(ini_), "[VERSION]\r\nGame= 7\r\n");
    EXPECT_EQ(ReadIni(windowsStyle, "VERSION", "Game"), "7");
}

// Writes Windows refuses: nothing may be created or changed, and no error may
// leave WriteIni.
struct RefusedCase {
    const char* name;
    std::function<void(const fs::path& folder)> prepare;
    std::string file;  // relative to the test folder
};

void PrintTo(const RefusedCase& c, std::ostream* out) {
    *out << c.name;
}

class RefusedWriteTest : public ProfileTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedWriteTest, ChangesNothing) {
    const RefusedCase& c = GetParam();
    c.prepare(folder_);
    const auto before = Snapshot(folder_);
    EXPECT_NO_THROW(WriteIni("UPDATER", "Fin", "1", (folder_ / c.file).string()));
    EXPECT_EQ(Snapshot(folder_), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedWriteTest,
    testing::Values(RefusedCase{"missing_folder", [](const fs::path&) {}, "Config/Client.ini"},
                    RefusedCase{"missing_folders", [](const fs::path&) {}, "a/b/Client.ini"},
                    RefusedCase{"folder_in_place_of_file",
                                [](const fs::path& folder) { fs::create_directory(folder / "Client.ini"); },
                                "Client.ini"},
                    RefusedCase{"file_in_place_of_folder",
                                [](const fs::path& folder) { WriteBytes(folder / "Config", "[S]\r\n"); },
                                "Config/Client.ini"},
                    RefusedCase{"fifo_in_place_of_file",
                                [](const fs::path& folder) {
                                    ASSERT_EQ(::mkfifo((folder / "Client.ini").c_str(), 0644), 0);
                                },
                                "Client.ini"}),
    CaseName<RefusedCase>);

class PermissionTest : public ProfileTest, public testing::WithParamInterface<mode_t> {};

// The game may run as another user: a rewritten file keeps its permission bits.
TEST_P(PermissionTest, ReplacedFileKeepsItsMode) {
    WriteBytes(ini_, "[UPDATER]\r\nFin=0\r\n");
    ASSERT_EQ(::chmod(ini_.c_str(), GetParam()), 0);
    WriteIni("UPDATER", "Fin", "1", file_).IgnoreError();
    EXPECT_EQ(ReadBytes(ini_), "[UPDATER]\r\nFin=1\r\n");
    EXPECT_EQ(ModeOf(ini_), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modes, PermissionTest, testing::Values(0600, 0640, 0644, 0664, 0666, 0604));

// A new file gets the mode any new file of the program gets, not the private
// mode of a temporary file.
TEST_F(ProfileTest, NewFileFollowsUmask) {
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{002}}) {
        SCOPED_TRACE(mask);
        fs::remove(ini_);
        const mode_t previous = ::umask(mask);
        WriteIni("UPDATER", "Fin", "1", file_).IgnoreError();
        ::umask(previous);
        EXPECT_EQ(ModeOf(ini_), 0666 & ~mask);
    }
}

TEST_F(ProfileTest, LinkedFileUpdatedWhereItPoints) {
    fs::create_directory(folder_ / "shared");
    const fs::path real = folder_ / "shared" / "real.ini";
    WriteBytes(real, "[UPDATER]\r\nFin=0\r\n");
    fs::create_symlink("shared/real.ini", ini_);
    WriteIni("UPDATER", "Fin", "1", file_).IgnoreError();
    EXPECT_TRUE(fs::is_symlink(ini_));
    EXPECT_EQ(Snapshot(folder_),
              (std::map<std::string, std::string>{{"Client.ini", "<link>shared/real.ini"},
                                                  {"shared", "<dir>"},
                                                  {"shared/real.ini", "[UPDATER]\r\nFin=1\r\n"}}));
}

// A write that fails halfway, made real with a file-size limit in a child
// process: the new content cannot be written in full, as on a full disk.
struct InterruptedCase {
    const char* name;
    rlim_t sizeLimit;
    std::size_t valueLength;
    bool written;
};

void PrintTo(const InterruptedCase& c, std::ostream* out) {
    *out << c.name;
}

class InterruptedWriteTest : public ProfileTest, public testing::WithParamInterface<InterruptedCase> {
protected:
    // The exit status of a child that ran WriteIni under the size limit.
    int WriteInChild(rlim_t limit, const std::string& value) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Ignored, SIGXFSZ turns into a failing write() instead of killing the child.
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit size{limit, limit};
            if (::setrlimit(RLIMIT_FSIZE, &size) != 0) ::_exit(2);
            WriteIni("VERSION", "Game", value, file_).IgnoreError();
            ::_exit(0);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        return status;
    }
};

TEST_P(InterruptedWriteTest, OldFileKeptWhole) {
    const InterruptedCase& c = GetParam();
    const std::string old = "; shared with the game\r\n[VERSION]\r\nGame= 5\r\n[UPDATER]\r\nFin=1\r\n";
    WriteBytes(ini_, old);
    const std::string value(c.valueLength, '7');

    const int status = WriteInChild(c.sizeLimit, value);
    ASSERT_TRUE(WIFEXITED(status)) << "child died with signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const std::string expected =
        c.written ? "; shared with the game\r\n[VERSION]\r\nGame=" + value + "\r\n[UPDATER]\r\nFin=1\r\n"
                  : old;
    EXPECT_EQ(Snapshot(folder_), (std::map<std::string, std::string>{{"Client.ini", expected}}));
}

INSTANTIATE_TEST_SUITE_P(SizeLimits, InterruptedWriteTest,
                         testing::Values(InterruptedCase{"no_limit", RLIM_INFINITY, 100000, true},
                                         InterruptedCase{"fits_under_limit", 4096, 100, true},
                                         InterruptedCase{"cut_by_limit", 4096, 100000, false},
                                         InterruptedCase{"nothing_fits", 0, 10, false}),
                         CaseName<InterruptedCase>);

}  // namespace
