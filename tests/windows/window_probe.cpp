// The update window with given texts, for the end-to-end tests to compare
// the real updater's window with, pixel for pixel, and to check how the
// window cuts texts that do not fit.
//   window_probe <file>
// The file holds the texts of L2, L3 and Label4 in UTF-8, one per line ("\n"),
// of any length (a command line holds at most 32767 characters). The window
// stays until it is closed.
// Before <windows.h>, whose UpdateWindow function would take the class's name.
#include "lifecycle/window.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count != 2) return 2;
    std::ifstream in(arguments[1], std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) return 2;
    const std::unique_ptr<class UpdateWindow> window = MakeUpdateWindow();
    std::size_t start = 0;
    for (const Field field : {L2, L3, Label4}) {
        const std::size_t end = content.find('\n', start);
        window->SetText(field,
                        content.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? content.size() : end + 1;
    }
    window->Show();
    window->RunUntilUnloaded();
    return 0;
}
