#include "lifecycle/startup.h"

#include <exception>
#include <string_view>

#include "failure.h"
#include "lifecycle/launch.h"
#include "lifecycle/window.h"
#include "player_texts.h"
#include "update/modUpdate.h"
#include "update/records/settings_record.h"
#include "update/run_texts.h"

UpdateWindow* frmUpdate = nullptr;
bool UpdateDone = false;

namespace {

// What the run is given; set by RunProgram before the window's handlers run.
const RunSettings* runSettings = nullptr;
GameFolder* gameFolder = nullptr;

}  // namespace

void SetFinished() {
    // The window closes either way: a marker that cannot be written changes nothing.
    WriteFinishMarker(*gameFolder, "1").IgnoreError();
}

void Form_Load() {
    UpdateDone = false;
    if (!gameFolder->FileExists(kGameExecutable)) {
        frmUpdate->MessageBox(texts::GameMissing());
        frmUpdate->Unload();
        return;
    }
    try {
        RunUpdate(*runSettings, *frmUpdate, *gameFolder);
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
        LaunchGame(*gameFolder, kGameExecutable);
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

int RunProgram(UpdateWindow& window, const RunSettings& settings, GameFolder& folder) {
    frmUpdate = &window;
    runSettings = &settings;
    gameFolder = &folder;
    Form_Load();
    if (!window.Unloaded()) window.RunUntilUnloaded();
    return 0;
}
