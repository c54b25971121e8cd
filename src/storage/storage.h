// The game folder as the update run sees it. Everything the run does to the
// folder (files it writes, reads, maps, moves and removes, the folders it
// makes, its lock, the settings file it shares with the game) goes through
// one GameFolder object, made for the program's folder by the program and
// handed down to every layer. A test can wrap it (folder_wrapper.h) to make
// any of those calls fail on purpose.
//
// Names given to a GameFolder are relative to it, in UTF-8, and may use "\"
// or "/" as folder separators on every platform. Failures come back as an
// IoStatus (status.h) that carries the name and the system's own error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/mapped_file.h"
#include "storage/status.h"

// The client settings file, shared with the game.
inline constexpr const char* kSettingsName = "Config\\Client.ini";

enum class FileKind { Missing, Regular, Folder, Link, Other };

struct FileInfo {
    FileKind kind = FileKind::Missing;
    std::uint64_t size = 0;  // of a regular file
};

// Whether a link at a name is looked through, to what it leads to, or taken
// for what it is.
enum class Links { Followed, NotFollowed };

// A file open for writing, closed when the object goes.
class FileWriter {
public:
    virtual ~FileWriter() = default;
    // Writes every byte, or fails.
    virtual IoStatus Write(const char* data, std::size_t size) = 0;
    // Asks the system to start writing what was written so far to disk, without waiting.
    virtual void StartWriteback() = 0;
    // Closing may report a write that failed late (some file systems only do then).
    virtual IoStatus Close() = 0;
};

enum class WriteMode {
    CreateNew,  // the name must not exist, not even as a link
    Append,     // the name must be an existing file, not a link
};

// A file open for reading, from its first byte.
class FileReader {
public:
    virtual ~FileReader() = default;
    // At most size bytes from the present position on; 0 at the end.
    virtual Result<std::size_t> Read(char* data, std::size_t size) = 0;
    // The next Read starts at this byte.
    virtual IoStatus Seek(std::uint64_t offset) = 0;
    // What the open file is: Regular (and its size), Folder or Other.
    virtual Result<FileInfo> Info() = 0;
};

// Held while an updater works in a game folder. The system releases it when
// the process ends, however it ends.
class FolderLock {
public:
    virtual ~FolderLock() = default;
};

class GameFolder {
public:
    virtual ~GameFolder() = default;

    // Opens a file for writing, never through a link at its own name: a link
    // planted at a staged name cannot make the updater write outside the
    // game folder.
    virtual Result<std::unique_ptr<FileWriter>> OpenForWriting(const std::string& name, WriteMode mode) = 0;
    // Opens a file for reading, through a link at its name or not: with
    // Links::NotFollowed a link there fails the open, so that what it leads
    // to (a file outside the game folder) is never read. A FIFO does not make
    // it wait.
    virtual Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& name, Links links) = 0;
    // Maps a regular file read-only (through a link). On Windows the file
    // stays open, shared for reading only, while it is mapped: nobody can
    // write to it meanwhile, and a file another program holds open for
    // writing is not mapped. A POSIX system has no such lock: the caller maps
    // files nobody changes meanwhile (a file cut short while mapped would end
    // the program).
    virtual Result<std::unique_ptr<MappedFile>> Map(const std::string& name) = 0;

    // Moves a complete file over its target in one step (the target may
    // exist). On failure the target is unchanged.
    virtual IoStatus Replace(const std::string& from, const std::string& to) = 0;
    // Removes a file, a link (not what it leads to) or an empty folder. A
    // name that is not there is no failure.
    virtual IoStatus Remove(const std::string& name) = 0;
    // Makes one folder whose parent exists; an existing folder is no failure.
    virtual IoStatus MakeFolder(const std::string& name) = 0;

    // What the name is. A name that is not there, or whose folder is not, is
    // Missing, not a failure.
    virtual Result<FileInfo> Inspect(const std::string& name, Links links) = 0;
    // True when the name is a normal file: folders, and on Windows hidden or
    // system files, count as absent (what the game's own checks see).
    virtual bool FileExists(const std::string& name) = 0;

    // Takes the lock that the file `name` stands for, without waiting. The
    // file exists only while the lock is held (it may survive a killed
    // process; it is reused). IsHeldElsewhere() tells the failure when
    // another process holds it from any other (a folder that cannot take the
    // file: nobody can write here).
    virtual Result<std::unique_ptr<FolderLock>> Lock(const std::string& name) = 0;

    // Makes these files (names of the folder) durable, and their names in
    // the folders that hold them, so that a commit recorded after it never
    // points at files a power loss could still empty or lose. Only these:
    // other programs' writes to the same disk are not waited for. A name
    // that is gone meanwhile is passed over.
    virtual IoStatus Flush(const std::vector<std::string>& names) = 0;
    // The bytes this process may still write on the folder's file system.
    virtual Result<std::uint64_t> FreeSpace() = 0;

    // One value of the settings file (kSettingsName), read and written the
    // way the Windows profile functions do (see ReadIni and WriteIni below).
    virtual std::string ReadIni(const std::string& section, const std::string& key) = 0;
    virtual IoStatus WriteIni(const std::string& section, const std::string& key,
                              const std::string& value) = 0;

    // The name as a path the system takes, for handing to another program
    // (starting the game).
    virtual std::filesystem::path Where(const std::string& name) const = 0;
};

// The folder that holds the running executable.
std::unique_ptr<GameFolder> OpenProgramFolder();
// A folder on the disk (an absolute path), for the operators' tool and tests.
std::unique_ptr<GameFolder> OpenFolder(const std::filesystem::path& root);

// The failure of GameFolder::Lock when another process holds the lock.
bool IsHeldElsewhere(const IoStatus& failure);
// A write refused for lack of space: the disk is full, or the user's quota.
bool IsDiskFull(const IoStatus& failure);

// The file whole, or its first `most` bytes when it is longer.
Result<std::string> ReadFile(GameFolder& folder, const std::string& name, std::size_t most = SIZE_MAX);

// Makes the folders files are written into, when they are needed, and
// remembers those it made: a run that fails takes away the ones it left
// empty, so that a long list whose first file fails leaves no tree of
// empty folders behind.
class MadeFolders {
public:
    explicit MadeFolders(GameFolder& folder) : folder_(folder) {}

    // Makes the folder that holds the file `name` and any missing above it.
    // Linear in the name's length, however deep it is.
    IoStatus MakeFolderOf(const std::string& name);
    // Removes the folders made here that are empty now, deepest first.
    void RemoveEmpty();

private:
    GameFolder& folder_;
    std::string lastReady_;          // the last folder seen to exist
    std::vector<std::string> made_;  // in the order made: parents first
};

// The folder that holds the running executable, without a trailing separator.
std::string ProgramFolder();

// A native path (absolute, either separator) as a path the standard library can open.
std::filesystem::path NativePath(const std::string& path);

// The settings file's format as the Windows profile functions keep it, for a
// file anywhere (an absolute path). ReadIni returns "" for a missing file,
// section or key, and cuts values to 4999 characters. WriteIni does nothing
// when the file's folder is missing and never leaves a half-written file; it
// fails when the folder exists but the value could not be written (no right
// to write, a full disk).
std::string ReadIni(const std::string& file, const std::string& section, const std::string& key);
IoStatus WriteIni(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& file);

// Text of list files and of the settings file is in the ANSI code page.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
