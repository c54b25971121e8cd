// Start and close: the two handlers of the window through which the program
// begins and ends, the completion flag and the finish marker.
#pragma once

#include <string>

#include "storage/storage.h"
#include "update/run_settings.h"

class UpdateWindow;

inline constexpr const char* kGameExecutable = "kestralon.exe";

// True once an update run has completed (files updated or already up to date).
extern bool UpdateDone;

void Form_Load();
void lblQuitter_Click();
// Records in the settings file that the updater has ended: UPDATER/Fin = 1.
void SetFinished();

// The program: loads the window's logic into `window`, runs Form_Load (whose
// update run gets `settings` and updates the game in `folder`) and then the
// window until it is unloaded.
int RunProgram(UpdateWindow& window, const RunSettings& settings, GameFolder& folder);

// "--repair" (or "/repair", as a Windows shortcut writes it) among the
// arguments: check and repair the installed files instead of updating.
// Every other argument is ignored, as the updater always did.
bool AsksForRepair(int argc, char** argv);
