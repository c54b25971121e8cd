#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "update/run_settings.h"

int main() {
    const std::unique_ptr<UpdateWindow> window = MakeUpdateWindow();
    return RunProgram(*window, CompiledSettings());
}
