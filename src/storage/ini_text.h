// One value of a Windows INI file held in memory, read and written with the
// rules of the Windows profile functions (GetPrivateProfileStringA and
// WritePrivateProfileStringA). The game reads the settings file with those
// functions, so every platform must see and change the file the way they do.
//
// Content and names are raw ANSI bytes: no byte-order mark is recognised or
// added, and any byte (NUL included) is accepted.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ini {

// The value of key in the first section named section, or nothing when the
// section or the key is missing. Names match without regard to ASCII case;
// spaces (not tabs) around the names passed in are ignored. The value comes
// back trimmed of spaces and tabs, without one pair of outer quotes, and cut
// at its first NUL byte, since the Windows call hands it back as a C string.
std::optional<std::string> ReadValue(std::string_view content, std::string_view section,
                                     std::string_view key);

// content after key of section has been set to value, written verbatim.
// Only the key's own line changes, or one line (a new key) or two lines (a new
// section) are added; every other byte is kept as it was.
std::string WriteValue(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view value);

}  // namespace ini
