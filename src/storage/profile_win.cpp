// The settings file through the kernel32 profile functions, which the game
// itself uses: whatever they do to the file is by definition what the game
// expects.
//
// The W forms are called so that the file's path reaches the system in full
// (a game folder whose name has characters outside the ANSI code page).
// Section, key and value are first narrowed to the ANSI code page and widened
// again, so they carry exactly what the A forms would see: characters the
// code page lacks become "?". The file itself stays ANSI, since both forms
// write ANSI text into a file that has no UTF-16 byte-order mark.
#include <windows.h>

#include <vector>

#include "storage/storage.h"
#include "storage/system_error.h"
#include "storage/text_win.h"

namespace {

// The value buffer holds 5000 characters, its terminating NUL included, so a
// longer value comes back cut to 4999 characters.
constexpr DWORD kBufferLength = 5000;

// The profile functions take a name without a backslash for a file in the
// Windows folder, so the path goes to them with Windows separators only.
std::wstring SettingsPath(const std::string& file) {
    return NativePath(file).make_preferred().native();
}

// The text as the A functions would receive it, in UTF-16 for the W functions.
std::wstring AsAnsiSees(const std::string& utf8) {
    return Widen(Utf8ToAnsi(utf8), CP_ACP);
}

}  // namespace

std::string ReadIni(const std::string& file, const std::string& section, const std::string& key) {
    std::vector<wchar_t> buffer(kBufferLength, L' ');
    const DWORD length = GetPrivateProfileStringW(AsAnsiSees(section).c_str(), AsAnsiSees(key).c_str(), L"",
                                                  buffer.data(), kBufferLength, SettingsPath(file).c_str());
    return Narrow(std::wstring_view(buffer.data(), length));
}

IoStatus WriteIni(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& file) {
    if (WritePrivateProfileStringW(AsAnsiSees(section).c_str(), AsAnsiSees(key).c_str(),
                                   AsAnsiSees(value).c_str(), SettingsPath(file).c_str())) {
        return {};
    }
    const DWORD error = GetLastError();
    // A missing Config folder makes the call fail and nothing is created,
    // which is what the game expects: nothing was lost.
    if (error == ERROR_PATH_NOT_FOUND) return {};
    return SystemError(file, static_cast<int>(error));
}
