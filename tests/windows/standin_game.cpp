// Stands in for kestralon.exe in the end-to-end tests. Started normally, it
// records how it was started in "launched.txt" in its current folder (which
// the updater sets to the game folder) and exits:
//   cwd=<current folder>  show=<STARTUPINFO show state>  usesShow=<0|1>
// With "--hold <file> <seconds>" it instead keeps the file open the way a
// running game keeps its data (no delete sharing), writes "<file>.held" once
// it does, and lets go after the time or when "<file>.release" appears.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string Utf8(const std::wstring& wide) {
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string text(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), count, nullptr,
                        nullptr);
    return text;
}

int RecordLaunch() {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    std::ofstream out("launched.txt", std::ios::binary);
    out << "cwd=" << Utf8(folder) << "\n"
        << "show=" << startup.wShowWindow << "\n"
        << "usesShow=" << ((startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0) << "\n";
    return out.good() ? 0 : 1;
}

int Hold(const std::wstring& file, int seconds) {
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    std::ofstream(std::filesystem::path(file + L".held")) << "held\n";
    const std::wstring release = file + L".release";
    for (int waited = 0; waited < seconds * 10; ++waited) {
        if (GetFileAttributesW(release.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    CloseHandle(held);
    return 0;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count == 4 && std::wstring(arguments[1]) == L"--hold") {
        return Hold(arguments[2], std::stoi(arguments[3]));
    }
    return RecordLaunch();
}
