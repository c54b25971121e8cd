#include <string_view>

#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "update/run_settings.h"

int main(int argc, char** argv) {
    RunSettings settings = CompiledSettings();
    settings.repair = AsksForRepair(argc, argv);
    const std::unique_ptr<UpdateWindow> window = MakeUpdateWindow();
    const std::unique_ptr<GameFolder> folder = OpenProgramFolder();
    return RunProgram(*window, settings, *folder);
}
