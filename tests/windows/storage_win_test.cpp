// The Windows backend of the game folder (files_win.cpp, profile_win.cpp)
// on real files through the real kernel32 (Wine's, in the test run). Some
// checks need the program to run from a particular folder or to be the
// running executable that gets replaced: the test then starts a copy of
// itself there in one of the child modes at the bottom.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "check.h"
#include "storage/storage.h"

// files_win.cpp, called by the window at start.
void RemoveReplacedExecutable();

namespace {

namespace fs = std::filesystem;

fs::path FromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

// Below the program's folder, so that names relative to it reach the files.
const std::string kWorkName = "storage_win_test_work";

fs::path Work() {
    static const fs::path folder = [] {
        fs::path path = FromUtf8(ProgramFolder()) / kWorkName;
        fs::remove_all(path);
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

// The name of a test folder relative to ProgramFolder.
std::string Relative(const std::string& test) {
    return kWorkName + "\\" + test;
}

// The program's folder, as the update run reaches it.
GameFolder& Program() {
    static const std::unique_ptr<GameFolder> folder = OpenProgramFolder();
    return *folder;
}

// A fresh folder for one test.
fs::path Fresh(const std::wstring& name) {
    const fs::path folder = Work() / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

fs::path OwnExecutable() {
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
    return fs::path(std::wstring(buffer, length));
}

// Runs program with the arguments, waits, and returns its exit code.
DWORD Run(const fs::path& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program.native() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        program.parent_path().c_str(), &startup, &process)) {
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void SetAttributes(const fs::path& path, DWORD attributes) {
    SetFileAttributesW(path.c_str(), attributes);
}

// A name with letters from outside Windows-1252: only a wide path reaches it.
const std::wstring kUnicodeFolder = L"Jeu \u00e9t\u00e9 \u03a9\u043c\u0438\u0440";

// What a child that tries a lock answers.
enum LockAnswer : DWORD { kLocked = 0, kHeldElsewhere = 1, kUnavailable = 2 };

}  // namespace

// ---- FileExists: a listing that sees normal files only ---------------------

TEST_CASE(FileExists, SeesNormalAndReadOnlyFiles) {
    const fs::path folder = Fresh(L"exists");
    WriteBytes(folder / "plain.dat", "x");
    WriteBytes(folder / "readonly.dat", "x");
    SetAttributes(folder / "readonly.dat", FILE_ATTRIBUTE_READONLY);
    const std::string base = Relative("exists");
    CHECK(Program().FileExists(base + "\\plain.dat"));
    CHECK(Program().FileExists(base + "\\readonly.dat"));
    CHECK(!Program().FileExists(base + "\\missing.dat"));
    SetAttributes(folder / "readonly.dat", FILE_ATTRIBUTE_NORMAL);
}

TEST_CASE(FileExists, HiddenSystemAndFoldersCountAsAbsent) {
    const fs::path folder = Fresh(L"exists_hidden");
    WriteBytes(folder / "hidden.dat", "x");
    WriteBytes(folder / "system.dat", "x");
    WriteBytes(folder / "archive.dat", "x");
    fs::create_directory(folder / "folder.dat");
    SetAttributes(folder / "hidden.dat", FILE_ATTRIBUTE_HIDDEN);
    SetAttributes(folder / "system.dat", FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(folder / "archive.dat", FILE_ATTRIBUTE_ARCHIVE);
    const std::string base = Relative("exists_hidden");
    CHECK(!Program().FileExists(base + "\\hidden.dat"));
    CHECK(!Program().FileExists(base + "\\system.dat"));
    CHECK(!Program().FileExists(base + "\\folder.dat"));
    CHECK(Program().FileExists(base + "\\archive.dat"));
    // A wildcard would make the listing a pattern that matches the files above.
    CHECK(!Program().FileExists(base + "\\*.dat"));
    CHECK(!Program().FileExists(base + "\\archive.da?"));
    SetAttributes(folder / "hidden.dat", FILE_ATTRIBUTE_NORMAL);
    SetAttributes(folder / "system.dat", FILE_ATTRIBUTE_NORMAL);
}

TEST_CASE(FileExists, BothSeparatorsInSubFolders) {
    const fs::path folder = Fresh(L"exists_sub");
    fs::create_directories(folder / "sub" / "dir");
    WriteBytes(folder / "sub" / "dir" / "file.dat", "x");
    const std::string base = Relative("exists_sub");
    CHECK(Program().FileExists(base + "\\sub\\dir\\file.dat"));
    CHECK(Program().FileExists(base + "/sub/dir/file.dat"));
    CHECK(Program().FileExists(base + "\\sub/dir\\file.dat"));
}

// ---- Inspect, MakeFolder, MadeFolders --------------------------------------

TEST_CASE(Folders, InspectFromAttributes) {
    const fs::path folder = Fresh(L"isfolder");
    WriteBytes(folder / "file.dat", "12345");
    const auto kind = [](GameFolder& in, const std::string& name) {
        const Result<FileInfo> info = in.Inspect(name, Links::NotFollowed);
        return info.ok() ? info->kind : FileKind::Other;
    };
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    CHECK(kind(*at, "") == FileKind::Folder);
    CHECK(kind(*at, "\\") == FileKind::Folder);
    CHECK(kind(*at, "file.dat") == FileKind::Regular);
    CHECK_EQ(at->Inspect("file.dat", Links::Followed).value().size, 5u);
    CHECK(kind(*at, "missing") == FileKind::Missing);
    CHECK(kind(*at, "file.dat/below") == FileKind::Missing);
    // A name no file can have is not there either.
    CHECK(kind(*at, "bad<name>|") == FileKind::Missing);
}

TEST_CASE(Folders, MakeFolderCreatesAndFailsWithTheReason) {
    const fs::path folder = Fresh(L"makefolder");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    CHECK(at->MakeFolder("new").ok());
    CHECK(fs::is_directory(folder / "new"));
    // An existing folder is fine.
    CHECK(at->MakeFolder("new").ok());
    WriteBytes(folder / "taken", "x");
    const IoStatus taken = at->MakeFolder("taken");
    CHECK(!taken.ok());
    CHECK_EQ(taken.path(), "taken");
    CHECK_EQ(taken.code().value(), static_cast<int>(ERROR_ALREADY_EXISTS));
    const IoStatus orphan = at->MakeFolder("no\\parent");
    CHECK(!orphan.ok());
    CHECK_EQ(orphan.code().value(), static_cast<int>(ERROR_PATH_NOT_FOUND));
    CHECK(!fs::exists(folder / "no"));
    CHECK_EQ(ReadBytes(folder / "taken"), "x");
}

TEST_CASE(Folders, MadeFoldersMakesEveryMissingParentAndRemovesThemEmpty) {
    const fs::path folder = Fresh(L"createpath");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    MadeFolders folders(*at);
    CHECK(folders.MakeFolderOf("a\\b\\c\\file.dat").ok());
    CHECK(fs::is_directory(folder / "a" / "b" / "c"));
    CHECK(folders.MakeFolderOf("d/e/file.dat").ok());
    WriteBytes(folder / "d" / "e" / "kept.dat", "kept");
    WriteBytes(folder / "file", "x");
    CHECK(!folders.MakeFolderOf("file\\sub\\file.dat").ok());
    folders.RemoveEmpty();
    CHECK(!fs::exists(folder / "a"));
    CHECK_EQ(ReadBytes(folder / "d" / "e" / "kept.dat"), "kept");
    CHECK_EQ(ReadBytes(folder / "file"), "x");
}

// ---- OpenForWriting: a new name of its own, or an existing file appended to

TEST_CASE(OpenForWriting, CreatesOnlyNewNamesAndAppendsOnlyToFiles) {
    const fs::path folder = Fresh(kUnicodeFolder);
    WriteBytes(folder / "existing.dat", "old");
    fs::create_directory(folder / "folder.dat");
    const struct {
        const char* name;
        WriteMode mode;
        bool opens;
        const char* content;  // afterwards
    } rows[] = {
        {"new.dat", WriteMode::CreateNew, true, "new"},
        {"existing.dat", WriteMode::CreateNew, false, "old"},
        {"existing.dat", WriteMode::Append, true, "oldnew"},
        {"missing.dat", WriteMode::Append, false, ""},
        {"folder.dat", WriteMode::Append, false, ""},
    };
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    for (const auto& row : rows) {
        Result<std::unique_ptr<FileWriter>> writer = at->OpenForWriting(row.name, row.mode);
        CHECK_EQ(writer.ok(), row.opens);
        if (writer.ok()) {
            CHECK((*writer)->Write("new", 3).ok());
            CHECK((*writer)->Close().ok());
        } else {
            CHECK_EQ(writer.error().path(), row.name);
        }
        if (!fs::is_directory(folder / row.name)) CHECK_EQ(ReadBytes(folder / row.name), row.content);
    }
    CHECK(!fs::exists(folder / "missing.dat"));
}

// ---- Map: a whole file in memory, kept from writers -----------------------

TEST_CASE(Map, MapsRegularFilesOnly) {
    const fs::path folder = Fresh(kUnicodeFolder);
    std::string big;
    for (int k = 0; big.size() < 3 * 1024 * 1024 + 17; ++k) big += std::to_string(k) + ",";
    WriteBytes(folder / "big.dat", big);
    WriteBytes(folder / "empty.dat", "");
    WriteBytes(folder / "read-only.dat", "lu");
    SetAttributes(folder / "read-only.dat", FILE_ATTRIBUTE_READONLY);
    fs::create_directory(folder / "folder.dat");
    const struct {
        const char* name;
        bool maps;
        std::string content;
    } rows[] = {
        {"big.dat", true, big},     {"empty.dat", true, ""},   {"read-only.dat", true, "lu"},
        {"missing.dat", false, ""}, {"folder.dat", false, ""},
    };
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    for (const auto& row : rows) {
        const Result<std::unique_ptr<MappedFile>> mapped = at->Map(row.name);
        CHECK_EQ(mapped.ok(), row.maps);
        if (mapped.ok()) CHECK((*mapped)->Bytes() == row.content);
    }
    SetAttributes(folder / "read-only.dat", FILE_ATTRIBUTE_NORMAL);
}

TEST_CASE(Map, NoWriterWhileMappedNoMapWhileWritten) {
    const fs::path folder = Fresh(L"mapped");
    const fs::path file = folder / "old.pak";
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    WriteBytes(file, "old version");
    {
        const Result<std::unique_ptr<MappedFile>> mapped = at->Map("old.pak");
        REQUIRE(mapped.ok());
        HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        CHECK(writer == INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        // Other readers are welcome, and so is a second mapping.
        CHECK(at->Map("old.pak").ok());
        CHECK_EQ(ReadBytes(file), "old version");
        CHECK((*mapped)->Bytes() == "old version");
    }
    // Once unmapped, the file is free again.
    WriteBytes(file, "new version");
    CHECK_EQ(ReadBytes(file), "new version");
    // A file another program holds open for writing is not mapped.
    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(writer != INVALID_HANDLE_VALUE);
    CHECK(!at->Map("old.pak").ok());
    CloseHandle(writer);
    CHECK(at->Map("old.pak").ok());
}

// ---- Reading and removing ----------------------------------------------------

TEST_CASE(Read, FromAByteOnAndWhatTheFileIs) {
    const fs::path folder = Fresh(kUnicodeFolder);
    WriteBytes(folder / "data.dat", "0123456789");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    Result<std::unique_ptr<FileReader>> reader = at->OpenForReading("data.dat", Links::Followed);
    REQUIRE(reader.ok());
    CHECK((*reader)->Seek(4).ok());
    char bytes[16] = {};
    const Result<std::size_t> got = (*reader)->Read(bytes, sizeof bytes);
    REQUIRE(got.ok());
    CHECK_EQ(std::string(bytes, *got), "456789");
    CHECK_EQ((*reader)->Read(bytes, sizeof bytes).value(), 0u);
    CHECK_EQ((*reader)->Info().value().size, 10u);
    CHECK_EQ(ReadFile(*at, "data.dat", 3).value(), "012");
    CHECK(!at->OpenForReading("missing.dat", Links::Followed).ok());
    // Not following opens the file itself (FILE_FLAG_OPEN_REPARSE_POINT):
    // a plain file reads the same.
    Result<std::unique_ptr<FileReader>> itself = at->OpenForReading("data.dat", Links::NotFollowed);
    REQUIRE(itself.ok());
    CHECK_EQ((*itself)->Read(bytes, sizeof bytes).value(), 10u);
    CHECK_EQ(std::string(bytes, 10), "0123456789");
    CHECK(!at->OpenForReading("missing.dat", Links::NotFollowed).ok());
}

TEST_CASE(Remove, FilesAndEmptyFoldersOnly) {
    const fs::path folder = Fresh(L"remove");
    WriteBytes(folder / "file.dat", "x");
    fs::create_directories(folder / "full" / "inside");
    fs::create_directory(folder / "empty");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    CHECK(at->Remove("file.dat").ok());
    CHECK(at->Remove("empty").ok());
    CHECK(at->Remove("never-there").ok());
    CHECK(!at->Remove("full").ok());
    CHECK(!fs::exists(folder / "file.dat"));
    CHECK(!fs::exists(folder / "empty"));
    CHECK(fs::is_directory(folder / "full" / "inside"));
}

// ---- Replace ----------------------------------------------------------------

TEST_CASE(Replace, ReplacesAndCreates) {
    const fs::path folder = Fresh(L"replace");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    WriteBytes(folder / "new.~upd", "new content");
    WriteBytes(folder / "target.dat", "old content that is longer");
    CHECK(at->Replace("new.~upd", "target.dat").ok());
    CHECK_EQ(ReadBytes(folder / "target.dat"), "new content");
    CHECK(!fs::exists(folder / "new.~upd"));

    WriteBytes(folder / "other.~upd", "fresh");
    CHECK(at->Replace("other.~upd", "absent.dat").ok());
    CHECK_EQ(ReadBytes(folder / "absent.dat"), "fresh");
}

TEST_CASE(Replace, SharingViolationLeavesTargetIntact) {
    const fs::path folder = Fresh(L"replace_locked");
    WriteBytes(folder / "new.~upd", "new content");
    WriteBytes(folder / "locked.dat", "installed");
    // Open the way a running game holds its data: no delete sharing.
    HANDLE held = CreateFileW((folder / "locked.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    const IoStatus refused = OpenFolder(folder)->Replace("new.~upd", "locked.dat");
    CHECK(!refused.ok());
    CHECK_EQ(refused.path(), "locked.dat");
    CloseHandle(held);
    CHECK_EQ(ReadBytes(folder / "locked.dat"), "installed");
    CHECK_EQ(ReadBytes(folder / "new.~upd"), "new content");
}

TEST_CASE(Replace, ForwardSlashesFromListEntries) {
    const fs::path folder = Fresh(L"replace_slash");
    fs::create_directories(folder / "data" / "maps");
    WriteBytes(folder / "data" / "maps" / "town.map.~upd", "map");
    const std::string base = Relative("replace_slash");
    CHECK(Program().Replace(base + "/data/maps/town.map.~upd", base + "/data/maps/town.map").ok());
    CHECK_EQ(ReadBytes(folder / "data" / "maps" / "town.map"), "map");
}

// The running updater is named in a list: it moves aside, the new copy takes
// its name, and the next start removes the old one.
TEST_CASE(Replace, RunningExecutableMovesAside) {
    const fs::path folder = Fresh(L"self");
    const std::string original = ReadBytes(OwnExecutable());
    // Extra bytes after a PE image are ignored by the loader: still runnable.
    const std::string replacement = original + "\nreplacement copy\n";
    WriteBytes(folder / "updater.exe", original);
    WriteBytes(folder / "updater.exe.~upd", replacement);

    CHECK_EQ(Run(folder / "updater.exe", L"--replace-self"), 0u);
    CHECK(ReadBytes(folder / "updater.exe") == replacement);
    CHECK(ReadBytes(folder / "updater.exe.old") == original);
    CHECK(!fs::exists(folder / "updater.exe.~upd"));

    // The next start (the new copy) removes the old one.
    CHECK_EQ(Run(folder / "updater.exe", L"--next-start"), 0u);
    CHECK(!fs::exists(folder / "updater.exe.old"));
    CHECK(ReadBytes(folder / "updater.exe") == replacement);
}

TEST_CASE(Replace, FailedSelfReplacementKeepsTheRunningCopy) {
    const fs::path folder = Fresh(L"self_fail");
    const std::string original = ReadBytes(OwnExecutable());
    WriteBytes(folder / "updater.exe", original);
    // No updater.exe.~upd: the move into place fails.
    CHECK_EQ(Run(folder / "updater.exe", L"--replace-self-missing"), 0u);
    CHECK(ReadBytes(folder / "updater.exe") == original);
    CHECK(!fs::exists(folder / "updater.exe.old"));
}

// The commit of an update moves every replaced file to a backup name first,
// then the new copy in; the running updater's backup cannot be removed while
// it runs, and the next start removes it.
TEST_CASE(Replace, RunningExecutableToBackupThenNewCopy) {
    const fs::path folder = Fresh(L"self_commit");
    const std::string original = ReadBytes(OwnExecutable());
    const std::string replacement = original + "\nreplacement copy\n";
    WriteBytes(folder / "updater.exe", original);
    WriteBytes(folder / "updater.exe.~upd-1234abcd", replacement);
    WriteBytes(folder / "data.bin.~old-1234abcd", "another file's backup");

    CHECK_EQ(Run(folder / "updater.exe", L"--commit-self"), 0u);
    CHECK(ReadBytes(folder / "updater.exe") == replacement);
    CHECK(ReadBytes(folder / "updater.exe.~old-1234abcd") == original);
    CHECK(!fs::exists(folder / "updater.exe.~upd-1234abcd"));

    CHECK_EQ(Run(folder / "updater.exe", L"--next-start"), 0u);
    CHECK(!fs::exists(folder / "updater.exe.~old-1234abcd"));
    CHECK(ReadBytes(folder / "updater.exe") == replacement);
    CHECK_EQ(ReadBytes(folder / "data.bin.~old-1234abcd"), "another file's backup");
}

// ---- Lock: one updater per game folder --------------------------------------

TEST_CASE(Lock, HeldUntilReleasedAndGoneAfter) {
    const fs::path folder = Fresh(L"lock");
    const fs::path lockFile = folder / "updater.lock";
    Result<std::unique_ptr<FolderLock>> lock = OpenFolder(folder)->Lock("updater.lock");
    REQUIRE(lock.ok());
    CHECK(fs::exists(lockFile));
    // Another process, and this one again, find it taken.
    CHECK_EQ(Run(OwnExecutable(), L"--try-lock \"" + lockFile.native() + L"\""), kHeldElsewhere);
    const Result<std::unique_ptr<FolderLock>> again = OpenFolder(folder)->Lock("updater.lock");
    REQUIRE(!again.ok());
    CHECK(IsHeldElsewhere(again.error()));
    lock.value().reset();
    CHECK(!fs::exists(lockFile));
    CHECK_EQ(Run(OwnExecutable(), L"--try-lock \"" + lockFile.native() + L"\""), kLocked);
}

// A killed updater must not keep the folder locked.
TEST_CASE(Lock, ReleasedWhenTheHolderIsKilled) {
    const fs::path folder = Fresh(L"lock_killed");
    const fs::path lockFile = folder / "updater.lock";
    std::wstring commandLine =
        L"\"" + OwnExecutable().native() + L"\" --hold-lock \"" + lockFile.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION holder{};
    REQUIRE(CreateProcessW(OwnExecutable().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &holder));
    for (int waited = 0; waited < 200 && !fs::exists(folder / "held"); ++waited) Sleep(50);
    CHECK(fs::exists(folder / "held"));
    const Result<std::unique_ptr<FolderLock>> taken = OpenFolder(folder)->Lock("updater.lock");
    REQUIRE(!taken.ok());
    CHECK(IsHeldElsewhere(taken.error()));
    TerminateProcess(holder.hProcess, 9);
    WaitForSingleObject(holder.hProcess, 10000);
    CloseHandle(holder.hThread);
    CloseHandle(holder.hProcess);
    CHECK(!fs::exists(lockFile));
    CHECK(OpenFolder(folder)->Lock("updater.lock").ok());
}

TEST_CASE(Lock, NoFolderIsUnavailable) {
    const Result<std::unique_ptr<FolderLock>> lock = OpenFolder(Work() / "absent")->Lock("updater.lock");
    REQUIRE(!lock.ok());
    CHECK(!IsHeldElsewhere(lock.error()));
}

// ---- Flush --------------------------------------------------------------------

// Flushing the files named changes nothing, beside a file held open without
// write sharing (not named), a name gone and a folder missing.
TEST_CASE(Flush, ChangesNothing) {
    const fs::path folder = Fresh(L"sync");
    fs::create_directories(folder / "data" / "maps");
    WriteBytes(folder / "data" / "maps" / "town.map.~upd-0000aaaa", "staged");
    WriteBytes(folder / "old.dat", "installed long ago");
    WriteBytes(folder / "held.dat", "held by the game");
    HANDLE old = CreateFileW((folder / "old.dat").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(old != INVALID_HANDLE_VALUE);
    const FILETIME longAgo{0, 0x01D00000};
    SetFileTime(old, nullptr, nullptr, &longAgo);
    CloseHandle(old);
    HANDLE held = CreateFileW((folder / "held.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    const auto before = fs::last_write_time(folder / "data" / "maps" / "town.map.~upd-0000aaaa");

    CHECK(OpenFolder(folder)->Flush({"data\\maps\\town.map.~upd-0000aaaa", "old.dat", "gone.dat"}).ok());
    CHECK(OpenFolder(folder / "absent")->Flush({"x.dat"}).ok());

    CloseHandle(held);
    CHECK_EQ(ReadBytes(folder / "data" / "maps" / "town.map.~upd-0000aaaa"), "staged");
    CHECK_EQ(ReadBytes(folder / "old.dat"), "installed long ago");
    CHECK_EQ(ReadBytes(folder / "held.dat"), "held by the game");
    CHECK(fs::last_write_time(folder / "data" / "maps" / "town.map.~upd-0000aaaa") == before);
}

// ---- ANSI conversions -----------------------------------------------------

TEST_CASE(Ansi, RoundTripThroughCodePage1252) {
    REQUIRE(GetACP() == 1252);
    CHECK_EQ(AnsiToUtf8("caf\xe9 \x80 \x9c"), "caf\xc3\xa9 \xe2\x82\xac \xc5\x93");
    CHECK_EQ(Utf8ToAnsi("caf\xc3\xa9 \xe2\x82\xac \xc5\x93"), "caf\xe9 \x80 \x9c");
    // Outside the code page: "?", as the A functions would store it.
    CHECK_EQ(Utf8ToAnsi("\xce\xa9"), "?");
    CHECK_EQ(AnsiToUtf8(""), "");
    CHECK_EQ(AnsiToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

// ---- Settings through the kernel32 profile functions -----------------------

TEST_CASE(Settings, WriteThenReadAnsiFile) {
    const fs::path folder = Fresh(L"settings");
    fs::create_directory(folder / "Config");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    CHECK(at->WriteIni("UPDATER", "Fin", " 0").ok());
    CHECK(at->WriteIni("VERSION", "Game", "7").ok());
    CHECK(at->WriteIni("VERSION", "Nom", "\xc3\xa9t\xc3\xa9").ok());
    CHECK_EQ(at->ReadIni("version", "GAME"), "7");
    CHECK_EQ(at->ReadIni("VERSION", "Nom"), "\xc3\xa9t\xc3\xa9");
    CHECK_EQ(at->ReadIni("VERSION", "Missing"), "");
    CHECK_EQ(at->ReadIni("Missing", "Game"), "");
    const std::string bytes = ReadBytes(folder / "Config" / "Client.ini");
    // ANSI on disk, no byte-order mark, CR LF line ends.
    CHECK(bytes.find("Nom=\xe9t\xe9\r\n") != std::string::npos);
    CHECK(bytes.rfind("\xef\xbb\xbf", 0) != 0);
    CHECK(bytes.rfind("\xff\xfe", 0) != 0);
}

TEST_CASE(Settings, ValuesCutAt4999Characters) {
    const fs::path folder = Fresh(L"settings_long");
    const std::string file = Utf8(folder / "Client.ini");
    const std::string value(6000, 'v');
    WriteBytes(folder / "Client.ini", "[A]\r\nlong=" + value + "\r\nfit=" + std::string(4999, 'w') + "\r\n");
    CHECK_EQ(ReadIni(file, "A", "long").size(), 4999u);
    CHECK_EQ(ReadIni(file, "A", "long"), std::string(4999, 'v'));
    CHECK_EQ(ReadIni(file, "A", "fit"), std::string(4999, 'w'));
}

TEST_CASE(Settings, MissingFolderCreatesNothing) {
    const fs::path folder = Fresh(L"settings_nofolder");
    const std::unique_ptr<GameFolder> at = OpenFolder(folder);
    CHECK(at->WriteIni("UPDATER", "Fin", "1").ok());
    CHECK(!fs::exists(folder / "Config"));
    CHECK_EQ(at->ReadIni("UPDATER", "Fin"), "");
    CHECK(fs::is_empty(folder));
}

// A settings file that cannot be written is a failure that names it.
TEST_CASE(Settings, RefusedWriteNamesTheFile) {
    const fs::path folder = Fresh(L"settings_refused");
    fs::create_directories(folder / "Config" / "Client.ini");
    const IoStatus refused = OpenFolder(folder)->WriteIni("UPDATER", "Fin", "1");
    CHECK(!refused.ok());
    CHECK_EQ(refused.path(), kSettingsName);
}

// ---- A game folder whose name is outside the ANSI code page ----------------

TEST_CASE(UnicodeFolder, ProgramFolderFilesAndSettings) {
    const fs::path folder = Fresh(kUnicodeFolder);
    fs::create_directories(folder / "Config");
    fs::create_directories(folder / L"Sous-dossier \u00fc");
    WriteBytes(folder / "kestralon.exe", "game");
    WriteBytes(folder / L"Sous-dossier \u00fc" / L"donn\u00e9es.dat", "data");
    fs::copy_file(OwnExecutable(), folder / "updater.exe");
    CHECK_EQ(Run(folder / "updater.exe", L"--in-folder"), 0u);
    CHECK_EQ(ReadBytes(folder / "program_folder.txt"), Utf8(folder));
    CHECK_EQ(ReadBytes(folder / "exists.txt"), "110");
    CHECK_EQ(ReadBytes(folder / "read.txt"), "12");
    CHECK_EQ(ReadBytes(folder / "Config" / "Client.ini"), "[VERSION]\r\nGame=12\r\n");
}

// ---- Child modes ------------------------------------------------------------

namespace {

int ChildInFolder() {
    GameFolder& folder = Program();
    WriteBytes(folder.Where("program_folder.txt"), ProgramFolder());
    std::string exists;
    exists += folder.FileExists("kestralon.exe") ? '1' : '0';
    exists += folder.FileExists(
                  "Sous-dossier \xc3\xbc/donn\xc3\xa9"
                  "es.dat")
                  ? '1'
                  : '0';
    exists += folder.FileExists("absent.exe") ? '1' : '0';
    WriteBytes(folder.Where("exists.txt"), exists);
    // "12" rather than " 12": Wine drops a value's leading blanks, Windows
    // keeps them; this check is about the path, not that difference.
    if (!folder.WriteIni("VERSION", "Game", "12").ok()) return 1;
    WriteBytes(folder.Where("read.txt"), folder.ReadIni("VERSION", "Game"));
    return 0;
}

// Replace as the commit of an update calls it on the running updater.
int ChildCommitSelf() {
    GameFolder& folder = Program();
    if (!folder.Replace("updater.exe", "updater.exe.~old-1234abcd").ok() ||
        !folder.Replace("updater.exe.~upd-1234abcd", "updater.exe").ok()) {
        return 1;
    }
    // The backup is the running image: Windows refuses its removal.
    return folder.Remove("updater.exe.~old-1234abcd").ok() ? 3 : 0;
}

Result<std::unique_ptr<FolderLock>> LockAt(const char* path) {
    const fs::path file = FromUtf8(path);
    return OpenFolder(file.parent_path())->Lock(Utf8(file.filename()));
}

int ChildTryLock(const char* path) {
    const Result<std::unique_ptr<FolderLock>> lock = LockAt(path);
    if (lock.ok()) return kLocked;
    return IsHeldElsewhere(lock.error()) ? kHeldElsewhere : kUnavailable;
}

int ChildHoldLock(const char* path) {
    const Result<std::unique_ptr<FolderLock>> lock = LockAt(path);
    if (!lock.ok()) return 1;
    WriteBytes(FromUtf8(path).parent_path() / "held", "");
    Sleep(60000);
    return 0;
}

int ChildReplaceSelf(bool sourcePresent) {
    if (!Program().Replace("updater.exe.~upd", "updater.exe").ok()) return sourcePresent ? 1 : 0;
    return sourcePresent ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--in-folder") return ChildInFolder();
    if (mode == "--replace-self") return ChildReplaceSelf(true);
    if (mode == "--replace-self-missing") return ChildReplaceSelf(false);
    if (mode == "--commit-self") return ChildCommitSelf();
    if (mode == "--try-lock" && argc > 2) return ChildTryLock(argv[2]);
    if (mode == "--hold-lock" && argc > 2) return ChildHoldLock(argv[2]);
    if (mode == "--next-start") {
        RemoveReplacedExecutable();
        return 0;
    }
    const int result = check::RunAll(mode);
    std::error_code ignored;
    fs::remove_all(Work(), ignored);
    return result;
}
