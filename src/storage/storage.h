// Local files and the client settings file, all relative to the game folder.
//
// Names given to these routines may use "\" or "/" as folder separators; both
// are accepted on every platform. Strings are UTF-8 inside the program.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The folder that holds the running executable, without a trailing separator.
std::string ProgramFolder();

// The client settings file, shared with the game.
inline constexpr const char* kSettingsName = "Config\\Client.ini";
// ProgramFolder + "\Config\Client.ini".
std::string SettingsFile();

// ProgramFolder + "\" + name, as a path the standard library can open.
std::filesystem::path LocalPath(const std::string& name);

// A native path (absolute, either separator) as a path the standard library can open.
std::filesystem::path NativePath(const std::string& path);

// True when name (relative to ProgramFolder) is a normal file: folders, and on
// Windows hidden or system files, count as absent.
bool FileExists(const std::string& name);

// True when the absolute path exists and is a folder; never throws.
bool IsFolder(const std::string& path);

// Makes sure the absolute folder path exists, creating missing parents first.
// False when no existing ancestor was found. Throws std::system_error when a
// folder cannot be created (for example a file stands in the way). Linear in
// the path's length, however deep it is.
bool CreatePath(const std::string& path);

// Creates one folder whose parent exists; throws std::system_error on failure.
void MakeFolder(const std::string& path);

// Makes the folders files are written into, when they are needed, and
// remembers those it made: a run that fails takes away the ones it left
// empty, so that a long list whose first file fails leaves no tree of
// empty folders behind.
class MadeFolders {
public:
    // Makes the folder that holds `file` (an absolute path) and any missing
    // above it. False when it cannot be made.
    bool MakeFolderOf(const std::filesystem::path& file);
    // Removes the folders made here that are empty now, deepest first.
    void RemoveEmpty();

private:
    std::string lastReady_;          // the last folder seen to exist
    std::vector<std::string> made_;  // in the order made: parents first
};

// Moves a complete file over its target in one step (the target may exist).
// Throws std::system_error on failure; the target is then unchanged.
void ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// A file open for writing, closed when the object goes.
class FileWriter {
public:
    virtual ~FileWriter() = default;
    // False when the bytes could not all be written.
    virtual bool Write(const char* data, std::size_t size) = 0;
    // Asks the system to start writing what was written so far to disk, without waiting.
    virtual void StartWriteback() = 0;
    // False when closing found a write error.
    virtual bool Close() = 0;
};

enum class WriteMode {
    CreateNew,  // the name must not exist, not even as a link
    Append,     // the name must be an existing file, not a link
};

// Opens a file (an absolute path) for writing, never through a link at its
// own name: a link planted at a staged name cannot make the updater write
// outside the game folder. Nothing when the file cannot be opened so.
std::unique_ptr<FileWriter> OpenForWriting(const std::filesystem::path& file, WriteMode mode);

// Makes the data of files written so far durable, so that a commit recorded
// after it never points at files a power loss could still empty.
void SyncWrittenFiles(const std::filesystem::path& folder);

// Held while an updater works in a game folder. The system releases it when
// the process ends, however it ends.
class FolderLock {
public:
    virtual ~FolderLock() = default;
};

enum class LockOutcome {
    Locked,       // this process holds the lock
    Busy,         // another process holds it
    Unavailable,  // the lock file cannot be made (a read-only folder): nobody can write here
};

// Takes the lock that lockFile stands for, without waiting. The file exists
// only while the lock is held (it may survive a killed process; it is reused).
std::unique_ptr<FolderLock> LockFolder(const std::filesystem::path& lockFile, LockOutcome& outcome);

// Settings: one value of an INI file, read and written the way the Windows
// profile functions do. ReadIni returns "" for a missing file, section or key,
// and cuts values to 4999 characters. WriteIni does nothing when the file's
// folder is missing and never leaves a half-written file; it returns false
// when the folder exists but the value could not be written (no right to
// write, a full disk).
std::string ReadIni(const std::string& file, const std::string& section, const std::string& key);
bool WriteIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& file);

// Text of list files and of the settings file is in the ANSI code page.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
