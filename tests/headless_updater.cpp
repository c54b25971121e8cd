// The updater's own logic with a window that draws nothing and records what
// it is told. The e2e suite copies this program into a game folder and runs
// it there, exactly like the real updater but without a display; on exit it
// prints the fields, the message boxes and the completion flag.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <thread>

#include "failing_folder.h"
#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "update/run_settings.h"

namespace {

class RecordingWindow : public UpdateWindow {
public:
    void Show() override { shown_ = true; }
    void Unload() override { unloaded_ = true; }
    bool Unloaded() const override { return unloaded_; }
    void SetText(Field field, const std::string& text) override {
        texts_[field] = text;
        if (field == Label4) ++percentUpdates_;
        // Every text as it is set, at once: a test that stops the program
        // midway still reads what it showed.
        static const char* const kNames[] = {"L2", "L3", "Label4"};
        std::cout << "set=" << kNames[field] << "=" << text << std::endl;
    }
    std::string Text(Field field) const override { return texts_[field]; }
    void ProcessEvents() override {}
    void WaitEvents(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    void RunUntilUnloaded() override {}
    void MessageBox(const std::string& text) override { std::cout << "messagebox=" << text << "\n"; }

    void Report() const {
        std::cout << "shown=" << shown_ << "\n"
                  << "L2=" << texts_[L2] << "\n"
                  << "L3=" << texts_[L3] << "\n"
                  << "Label4=" << texts_[Label4] << "\n"
                  << "percent_updates=" << percentUpdates_ << "\n"
                  << "UpdateDone=" << UpdateDone << "\n";
    }

private:
    std::string texts_[3] = {"", "", "0%"};
    bool shown_ = false;
    bool unloaded_ = false;
    int percentUpdates_ = 0;
};

// The faults the command line asks for, the test's own: --fail=write:3+:ENOSPC
// (see ParseFault, as many as wanted), --free-space=BYTES, --count-calls.
// False when an argument is not understood.
bool ReadFaults(int argc, char** argv, FailingFolder& folder, bool& wrapped) {
    for (int k = 1; k < argc; ++k) {
        const std::string_view argument = argv[k];
        if (argument.starts_with("--fail=")) {
            const std::optional<Fault> fault = ParseFault(argument.substr(7));
            if (!fault) return false;
            folder.Add(*fault);
        } else if (argument.starts_with("--free-space=")) {
            folder.SetFreeSpace(std::strtoull(argv[k] + 13, nullptr, 10));
        } else if (argument != "--count-calls") {
            continue;
        }
        wrapped = true;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The e2e suites point this driver at other servers (mirrors, https)
    // without a build per URL; the real updater reads nothing of the kind.
    RunSettings settings = CompiledSettings();
    if (const char* urls = std::getenv("UPDATER_TEST_URLS")) settings.repositoryUrls = urls;
    if (const char* authorities = std::getenv("UPDATER_TEST_CA_FILE")) settings.caFile = authorities;
    if (const char* parallel = std::getenv("UPDATER_TEST_PARALLEL"))
        settings.parallelTransfers = std::atoi(parallel);
    if (const char* keys = std::getenv("UPDATER_TEST_PUBLIC_KEY")) settings.publicKeys = keys;
    if (const char* keys = std::getenv("UPDATER_TEST_FRESHNESS_KEY")) settings.freshKeys = keys;
    if (const char* count = std::getenv("UPDATER_TEST_RELEASE_THRESHOLD"))
        settings.releaseThreshold = std::atoi(count);
    if (const char* channel = std::getenv("UPDATER_TEST_CHANNEL")) settings.channel = channel;
    settings.repair = AsksForRepair(argc, argv);
    RecordingWindow window;
    const std::unique_ptr<GameFolder> folder = OpenProgramFolder();
    FailingFolder failing(*folder);
    bool wrapped = false;
    if (!ReadFaults(argc, argv, failing, wrapped)) {
        std::cerr << "headless_updater: a --fail argument is not kind:n[+]:error\n";
        return 2;
    }
    // The power goes: nothing after it happens, not even the clean-up a
    // failure would make.
    failing.OnPowerCut([&] {
        std::cout << "powercut=1\ncalls=" << failing.Counts() << std::endl;
        std::_Exit(0);
    });
    RunProgram(window, settings, wrapped ? static_cast<GameFolder&>(failing) : *folder);
    window.Report();
    if (wrapped) std::cout << "calls=" << failing.Counts() << "\nfaults=" << failing.Failed() << "\n";
    return 0;
}
