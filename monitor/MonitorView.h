#pragma once

#include <QString>
#include <QStringList>

// What the monitoring engine needs of the main window. The engine links QtCore only and sees
// the window through this interface alone; the main window implements it.
//
// Threads: the methods in the first group are called from poll threads (and sometimes from the
// UI thread). The implementation hands them to the UI thread in call order (for instance
// QMetaObject::invokeMethod with Qt::QueuedConnection on one receiver) and never blocks the
// caller on the UI thread: a poll must not wait for the window. Queue them also when called on
// the UI thread, so that a reset is not overtaken by updates a poll queued before it. None of
// them may call back into the engine. The second group is called on the UI thread only, from
// the scheduler's timer ticks and the slot commands.
//
// Slots are addressed by index 0 to 3 ("Database 1" to "Database 4"). A poll raises no message
// box of its own; the log writer and the SMTP client report through the window's INotice.
class IMonitorView {
public:
    enum class SlotField { LastAccess, BestAccess, WorstAccess, LastAlert, LastRecovery };

    // Colours of the Last access label, 0xRRGGBB.
    static constexpr int kColourReachable = 0x00FF00;
    static constexpr int kColourSlow = 0xFDFF30;
    static constexpr int kColourUnreachable = 0xFF0000;
    // The system's button-face colour (the label's default).
    static constexpr int kColourDefault = -1;

    virtual ~IMonitorView() = default;

    // --- Called from poll threads; queued to the UI thread in call order. ---

    // CStatusLabel::SetBackgroundColour of the slot's Last access label; -1 is the default.
    virtual void SetLabelColour(int slot, int rgb) = 0;
    // CAccessGraph::AddSample (value in ms, mark 1.0 for a slow probe else 0.0).
    virtual void AddGraphSample(int slot, double value, double mark) = 0;
    // The graph's legend texts 0 to 4 (top band first), as given.
    virtual void SetGraphLegend(int slot, const QStringList& texts) = 0;
    // CAccessGraph::SetScale: the value that fills the full bar height.
    virtual void SetGraphScale(int slot, double scale) = 0;
    // One of the slot's five text fields.
    virtual void SetSlotText(int slot, SlotField field, const QString& text) = 0;
    // CTrayIcon::UpdateIconWithTip (icon resource 128, 131..134, 138 or 142; tip text). The
    // engine paces the animation frames itself, so each call is shown as it arrives.
    virtual void SetTrayIcon(int iconResource, const QString& tip) = 0;
    // The graph's reset and start-up configuration, in this order: ClearSamples,
    // SetLegendWidth(50), SetLegendLineCount(5), legend texts 0 to 4 := "n/a",
    // SetLeftToRight(false), SetLegendOnLeft(false), then an immediate redraw.
    virtual void ResetGraph(int slot) = 0;

    // --- Called on the UI thread only. ---

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
