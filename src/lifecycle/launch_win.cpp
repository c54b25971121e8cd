// Starting the game on Windows.
#include <windows.h>

#include "lifecycle/launch.h"

void LaunchGame(GameFolder& game, const std::string& name) {
    const std::filesystem::path program = game.Where(name);
    const std::wstring folder = program.parent_path().native();
    // CreateProcessW may write into the command line, so it gets its own
    // copy; the quotes keep a folder with blanks in one argument.
    std::wstring commandLine = L"\"" + program.native() + L"\"";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    // Minimised with focus: the game's first window opens that way.
    startup.wShowWindow = SW_SHOWMINIMIZED;
    PROCESS_INFORMATION process{};
    // The game expects its own folder as the current directory. Not waited
    // for, and a failure is ignored: the updater closes either way.
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}
