// What the update run needs of the window: its three text fields and its
// events. The window implements this; the run never looks further up, so the
// whole run can be driven by a window that draws nothing.
#pragma once

#include <string>

// The window's text fields: the current step, the detail or counter, and the
// percentage.
enum Field { L2, L3, Label4 };

class UpdateView {
public:
    virtual ~UpdateView() = default;

    // Makes the window visible without waiting for anything.
    virtual void Show() = 0;
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
    // True once the player has closed the window: the run stops.
    virtual bool Unloaded() const = 0;
};
