// The Linux side of the settings-file comparison: runs every case of
// profile_cases.h through the Linux build's ReadIni / WriteIni (ini_text on
// real files) and compares the outcome with what profile_probe.exe recorded
// under Wine, for the kernel32 A functions and for our Windows ReadIni.
//   profile_compare <work folder> <probe output>
// Prints one line per check and closes with "N passed, N failed".
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "profile_outcome.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;
using namespace profile_cases;

std::string Utf8Path(const fs::path& path) {
    return path.string();
}

Backend LinuxReadIni() {
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

// Control bytes shown as escapes, so a failure says what differs.
std::string Visible(const std::string& bytes) {
    std::string out;
    for (const unsigned char b : bytes) {
        if (b == '\r')
            out += "\\r";
        else if (b == '\n')
            out += "\\n";
        else if (b == '\t')
            out += "\\t";
        else if (b < 0x20 || b >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else
            out += static_cast<char>(b);
    }
    return out.size() > 300 ? out.substr(0, 300) + "...(" + std::to_string(bytes.size()) + " bytes)" : out;
}

class Checks {
public:
    void Expect(bool ok, const std::string& what, const std::string& detail = {}) {
        (ok ? passed_ : failed_)++;
        std::cout << (ok ? "ok   " : "FAIL ") << what << "\n";
        if (!ok && !detail.empty()) std::cout << detail;
    }
    void Same(const std::string& what, const std::string& expected, const std::string& actual,
              const std::string& expectedName, const std::string& actualName) {
        Expect(expected == actual, what,
               "     " + expectedName + ": " + Visible(expected) + "\n     " + actualName + ": " +
                   Visible(actual) + "\n");
    }
    int Finish() const {
        std::cout << passed_ << " passed, " << failed_ << " failed\n";
        return failed_ == 0 ? 0 : 1;
    }

private:
    int passed_ = 0;
    int failed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: profile_compare <work folder> <probe output>\n";
        return 2;
    }
    // mode -> case -> outcome recorded under Wine
    std::map<std::string, std::map<std::string, std::string>> wine;
    std::string acp;
    {
        std::ifstream in(argv[2]);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string mode, name, hex;
            fields >> mode >> name >> hex;
            if (mode == "acp")
                acp = name;
            else
                wine[mode][name] = Unhex(hex);
        }
    }

    Checks checks;
    // Our Linux code speaks Windows-1252; the comparison is only meaningful
    // when Wine's ANSI code page is the same.
    checks.Expect(acp == "1252", "Wine's ANSI code page is 1252 (got " + acp + ")");
    const fs::path work = argv[1];
    for (const Case& c : AllCases()) {
        const std::string name(c.name);
        const std::string onLinux = Outcome(c, work / "linux", LinuxReadIni());
        if (!c.wineDiffers.empty()) {
            checks.Same(name + ": Linux does what Windows does", std::string(c.windowsResult), onLinux,
                        "Windows", "Linux");
        }
        for (const std::string mode : {"kernel32A", "ReadIni"}) {
            const auto found = wine[mode].find(name);
            if (found == wine[mode].end()) {
                checks.Expect(false, name + " [" + mode + "]: no outcome recorded under Wine");
                continue;
            }
            if (c.wineDiffers.empty()) {
                checks.Same(name + " [" + mode + "]: Wine and Linux agree", onLinux, found->second, "Linux",
                            "Wine");
            } else {
                // Known difference (docs/ini-behaviour.md rule c.wineDiffers): Wine
                // must still behave the way we documented, so a Wine that
                // changes is noticed and the note updated.
                checks.Same(name + " [" + mode + "]: Wine differs as documented (rule " +
                                std::string(c.wineDiffers.substr(0, c.wineDiffers.find(':'))) + ")",
                            std::string(c.wineResult), found->second, "Wine expected", "Wine");
            }
        }
    }
    return checks.Finish();
}
