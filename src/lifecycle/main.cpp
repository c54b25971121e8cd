#include "lifecycle/startup.h"
#include "lifecycle/window.h"

int main() {
    const std::unique_ptr<UpdateWindow> window = MakeUpdateWindow();
    return RunProgram(*window);
}
