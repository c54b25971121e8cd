#include "lifecycle/startup.h"

#include <exception>

#include "failure.h"
#include "lifecycle/launch.h"
#include "lifecycle/window.h"
#include "storage/storage.h"
#include "update/modUpdate.h"

UpdateWindow* frmUpdate = nullptr;
bool UpdateDone = false;

namespace {

// A run that stopped early leaves the window open with the reason, so the
// player sees why the game was not updated.
void ShowFailure(const std::string& reason) {
    if (frmUpdate->Unloaded()) return;
    frmUpdate->Show();
    frmUpdate->SetText(L2, "Échec de la mise à jour.");
    frmUpdate->SetText(L3, reason);
}

}  // namespace

void SetFinished() {
    WriteIni("UPDATER", "Fin", "1", SettingsFile());
}

void Form_Load() {
    UpdateDone = false;
    if (!FileExists(kGameExecutable)) {
        frmUpdate->MessageBox("kestralon.exe est introuvable!");
        frmUpdate->Unload();
        return;
    }
    try {
        RunUpdate();
    } catch (const UpdateFailure& failure) {
        ShowFailure(failure.what());
    } catch (const RunCancelled&) {
        // The player closed the window; the transfer has been abandoned.
    } catch (const std::exception&) {
        ShowFailure("Erreur inattendue.");
    }
}

void lblQuitter_Click() {
    if (UpdateDone) {
        frmUpdate->Unload();
        SetFinished();
        LaunchGame(LocalPath(kGameExecutable));
        return;
    }
    frmUpdate->MessageBox(
        "La mise à jour ne semble pas terminée, certains fichiers risquent d'être invalides.");
    SetFinished();
    frmUpdate->Unload();
}

int RunProgram(UpdateWindow& window) {
    frmUpdate = &window;
    Form_Load();
    if (!window.Unloaded()) window.RunUntilUnloaded();
    return 0;
}
