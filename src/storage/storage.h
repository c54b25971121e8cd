// Local files and the client settings file, all relative to the game folder.
//
// Names given to these routines may use "\" or "/" as folder separators; both
// are accepted on every platform. Strings are UTF-8 inside the program.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The folder that holds the running executable, without a trailing separator.
std::string ProgramFolder();

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
// folder cannot be created (for example a file stands in the way).
bool CreatePath(const std::string& path);

// Creates one folder whose parent exists; throws std::system_error on failure.
void MakeFolder(const std::string& path);

// Moves a complete file over its target in one step (the target may exist).
// Throws std::system_error on failure; the target is then unchanged.
void ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Settings: one value of an INI file, read and written the way the Windows
// profile functions do. ReadIni returns "" for a missing file, section or key,
// and cuts values to 4999 characters. WriteIni does nothing when the file's
// folder is missing and never leaves a half-written file.
std::string ReadIni(const std::string& file, const std::string& section, const std::string& key);
void WriteIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& file);

// Text of list files and of the settings file is in the ANSI code page.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
