#pragma once

#include <QString>

// What the poll scheduler needs of the main window, called on the UI thread only, from the
// scheduler's timer ticks and the slot commands. What polls show reaches the window as values
// (see PollOutcome.h), never through this interface.
class IMonitorView {
public:
    virtual ~IMonitorView() = default;

    // Captions of the slot's group box and of its Select Database button: the title for both,
    // or "Database N" and "Select Database" for a slot without a connected database.
    virtual void SetSlotCaptions(int slot, const QString& group, const QString& button) = 0;
    // Text of the slot's "Warning over" edit, read at every tick of the slot's timer.
    virtual QString ThresholdText(int slot) const = 0;
    // Text of the slot's interval edit, read at a spin click, and its new value.
    virtual QString IntervalText(int slot) const = 0;
    virtual void SetIntervalText(int slot, const QString& text) = 0;
    // Hides the main window (start-up with "Hid" set); it stays reachable from the tray.
    virtual void HideWindow() = 0;
    // The first-start e-mail prompt: opens the e-mail settings dialog modally and returns when
    // it is closed. The window hands any new e-mail settings to the engine before returning.
    virtual void RunEmailSettingsPrompt() = 0;
};
