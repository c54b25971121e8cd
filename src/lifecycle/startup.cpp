#include "lifecycle/startup.h"

#include <exception>
#include <string_view>

#include "failure.h"
#include "lifecycle/launch.h"
#include "lifecycle/window.h"
#include "player_texts.h"
#include "storage/storage.h"
#include "update/modUpdate.h"
#include "update/records/settings_record.h"
#include "update/run_texts.h"

UpdateWindow* frmUpdate = nullptr;
bool UpdateDone = false;

namespace {

// What the run is given; set by RunProgram before the window's handlers run.
const RunSettings* runSettings = nullptr;

}  // namespace

void SetFinished() {
    WriteFinishMarker("1");
}

void Form_Load() {
    UpdateDone = false;
    if (!FileExists(kGameExecutable)) {
        frmUpdate->MessageBox(texts::GameMissing());
        frmUpdate->Unload();
        return;
    }
    try {
        RunUpdate(*runSettings, *frmUpdate);
        // The run's last act: the game may now be started.
        UpdateDone = true;
    } catch (const UpdateFailure& failure) {
        ShowFailure(*frmUpdate, failure.what());
    } catch (const RunCancelled&) {
        // The player closed the window; the transfer has been abandoned.
    } catch (const std::exception&) {
        ShowFailure(*frmUpdate, texts::UnexpectedError());
    }
}

void lblQuitter_Click() {
    if (UpdateDone) {
        frmUpdate->Unload();
        SetFinished();
        LaunchGame(LocalPath(kGameExecutable));
        return;
    }
    frmUpdate->MessageBox(texts::UpdateNotFinished());
    SetFinished();
    frmUpdate->Unload();
}

bool AsksForRepair(int argc, char** argv) {
    for (int k = 1; k < argc; ++k) {
        const std::string_view argument = argv[k];
        if (argument == "--repair" || argument == "/repair" || argument == "/REPAIR") return true;
    }
    return false;
}

int RunProgram(UpdateWindow& window, const RunSettings& settings) {
    frmUpdate = &window;
    runSettings = &settings;
    Form_Load();
    if (!window.Unloaded()) window.RunUntilUnloaded();
    return 0;
}
