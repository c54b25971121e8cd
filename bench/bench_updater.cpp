// The update run as the program performs it, with a window that draws
// nothing: what remains is the cost of the run itself. Exits 0 when the run
// completed, 1 otherwise, and prints the two status lines.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "update/run_settings.h"

namespace {

class NullWindow : public UpdateWindow {
public:
    void Show() override {}
    void Unload() override { unloaded_ = true; }
    bool Unloaded() const override { return unloaded_; }
    void SetText(Field field, const std::string& text) override { texts_[field] = text; }
    std::string Text(Field field) const override { return texts_[field]; }
    void ProcessEvents() override {}
    void WaitEvents(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    void RunUntilUnloaded() override {}
    void MessageBox(const std::string& text) override { std::cout << text << "\n"; }

private:
    std::string texts_[3];
    bool unloaded_ = false;
};

}  // namespace

int main() {
    // The signed case of the benchmark: the operator's key it was signed with.
    RunSettings settings = CompiledSettings();
    if (const char* keys = std::getenv("UPDATER_BENCH_PUBLIC_KEY")) settings.publicKeys = keys;
    NullWindow window;
    const std::unique_ptr<GameFolder> folder = OpenProgramFolder();
    RunProgram(window, settings, *folder);
    std::cout << window.Text(L2) << "\n" << window.Text(L3) << "\n";
    return UpdateDone ? 0 : 1;
}
