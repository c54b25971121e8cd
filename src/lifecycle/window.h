// The updater's only window, frmUpdate: a picture with three text fields and
// the "Fermer" click area. One backend per platform implements it; the
// program's logic only talks to this interface.
#pragma once

#include <memory>
#include <string>

#include "update/view.h"

// The update run's view, and what the program's start and close need on top.
class UpdateWindow : public UpdateView {
public:
    // Closes the window; the program ends once the running handler returns.
    virtual void Unload() = 0;
    // Runs the window until it is unloaded.
    virtual void RunUntilUnloaded() = 0;

    // A message box with the program's title, the text, one OK button and no
    // icon. Returns when the player has dismissed it.
    virtual void MessageBox(const std::string& text) = 0;
};

// The program's window, set once by the entry point before anything else runs.
extern UpdateWindow* frmUpdate;

// Creates the platform's window, loaded but not yet shown.
std::unique_ptr<UpdateWindow> MakeUpdateWindow();
