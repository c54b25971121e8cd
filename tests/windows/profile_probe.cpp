// The Windows side of the settings-file comparison: every case of
// profile_cases.h through the kernel32 profile functions, twice:
//   kernel32A - GetPrivateProfileStringA / WritePrivateProfileStringA called
//               directly, as the game does;
//   ReadIni   - our ReadIni / WriteIni (profile_win.cpp), which must leave
//               exactly the same bytes.
// Writes one line per case and mode, "<mode> <case> <outcome in hex>", to
// the file named by its second argument; the first names a work folder.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "profile_outcome.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;
using namespace profile_cases;

// ReadIni's buffer: 5000 characters, terminating NUL included.
constexpr DWORD kBuffer = 5000;

std::string AnsiPath(const fs::path& path) {
    // The work folder is ASCII, so the ANSI form names the same file.
    return path.string();
}

Backend Kernel32A() {
    return {
        [](const fs::path& file, const Step& step) {
            WritePrivateProfileStringA(std::string(step.section).c_str(), std::string(step.key).c_str(),
                                       std::string(step.value).c_str(), AnsiPath(file).c_str());
        },
        [](const fs::path& file, const Step& step) {
            std::string buffer(kBuffer, ' ');
            const DWORD length =
                GetPrivateProfileStringA(std::string(step.section).c_str(), std::string(step.key).c_str(), "",
                                         buffer.data(), kBuffer, AnsiPath(file).c_str());
            return buffer.substr(0, length);
        },
    };
}

std::string Utf8Path(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

Backend OurReadIni() {
    return {
        [](const fs::path& file, const Step& step) {
            WriteIni(AnsiToUtf8(step.section), AnsiToUtf8(step.key), AnsiToUtf8(step.value), Utf8Path(file))
                .IgnoreError();
        },
        [](const fs::path& file, const Step& step) {
            return Utf8ToAnsi(ReadIni(Utf8Path(file), AnsiToUtf8(step.section), AnsiToUtf8(step.key)));
        },
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: profile_probe <work folder> <output file>\n";
        return 2;
    }
    const fs::path work = argv[1];
    std::ofstream out(argv[2], std::ios::binary);
    // Which code page the A functions convert with; the comparison assumes
    // Windows-1252 like the Linux build.
    out << "acp " << GetACP() << "\n";
    for (const auto& [mode, backend] :
         {std::pair{"kernel32A", Kernel32A()}, std::pair{"ReadIni", OurReadIni()}}) {
        for (const Case& c : AllCases()) {
            out << mode << ' ' << c.name << ' ' << Hex(Outcome(c, work / mode, backend)) << "\n";
        }
    }
    out.flush();
    return out.good() ? 0 : 1;
}
