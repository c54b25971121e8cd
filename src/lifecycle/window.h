// The updater's only window, frmUpdate: a picture with three text fields and
// the "Fermer" click area. One backend per platform implements it; the
// program's logic only talks to this interface.
#pragma once

#include <memory>
#include <string>

enum Field { L2, L3, Label4 };

class UpdateWindow {
public:
    virtual ~UpdateWindow() = default;

    // Makes the window visible without waiting for anything.
    virtual void Show() = 0;
    // Closes the window; the program ends once the running handler returns.
    virtual void Unload() = 0;
    virtual bool Unloaded() const = 0;

    // Replaces a field's whole text (UTF-8). Visible at the next event processing.
    virtual void SetText(Field field, const std::string& text) = 0;
    virtual std::string Text(Field field) const = 0;

    // Handles the pending window events (repaints, clicks) and returns at once.
    virtual void ProcessEvents() = 0;
    // Sleeps until a window event arrives or the time has passed, then handles events.
    virtual void WaitEvents(double seconds) = 0;
    // A descriptor that becomes readable when window events arrive, so that
    // a wait on the network can wake for them too; -1 when the platform's
    // waits wake for window events by themselves (or there are none).
    virtual int EventDescriptor() const { return -1; }
    // Runs the window until it is unloaded.
    virtual void RunUntilUnloaded() = 0;

    // A message box with the program's title, the text, one OK button and no
    // icon. Returns when the player has dismissed it.
    virtual void MessageBox(const std::string& text) = 0;
};

// The program's window, set once by the entry point before anything else runs.
extern UpdateWindow* frmUpdate;

// The title of the window and of its message boxes.
inline constexpr const char* kAppTitle = "Mise à jours automatique";

// Creates the platform's window, loaded but not yet shown.
std::unique_ptr<UpdateWindow> MakeUpdateWindow();
