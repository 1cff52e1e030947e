#pragma once

#include <QString>

#include <functional>
#include <memory>

class CDatabaseProbe;
class INotice;
class PollScheduler;
class QWidget;
class SlotMonitor;

// What the database commands need of the main window besides the engine. CMonitorDlg's own
// public ApplyWindowLayout() satisfies the second method as it is.
class IDatabaseCommandsWindow {
public:
    virtual ~IDatabaseCommandsWindow() = default;
    // A "Trellion" message box with Yes and No; true for Yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // The window's layout, which depends on which slots hold a probe.
    virtual void ApplyWindowLayout() = 0;
};

// Select Database, Del, Poll and "Reset Database N" for the four slots. Runs on the UI thread;
// polls may be running meanwhile (the engine keeps a replaced or removed probe alive until its
// poll ends).
class CDatabaseCommands {
public:
    // The user's choice with the selection's one connection attempt: the new probe whatever the
    // outcome, never null. The default runs the "Select Data Source" dialog over the window.
    using ProbeMaker = std::function<std::unique_ptr<CDatabaseProbe>(INotice* notice)>;

    // The scheduler, monitor and window must outlive this object. notice receives "Could not
    // connect to data source." when a selection fails with a driver message.
    CDatabaseCommands(PollScheduler* scheduler, SlotMonitor* monitor,
                      IDatabaseCommandsWindow* window, INotice* notice,
                      QWidget* dialogParent = nullptr);

    // Replaces the dialog (tests script the user's choice this way).
    void SetProbeMaker(ProbeMaker maker);

    // The Select Database button: ask, try once, and let the new probe take the slot whatever
    // the outcome; a connected one is stored, captioned and polled in 100 ms.
    void SelectDatabase(int slot);
    // The Del button: after a Yes, stop watching the slot's database. Nothing on an empty slot.
    void RemoveDatabase(int slot);
    // The Poll button: poll in 100 ms.
    void PollNow(int slot);
    // "Reset Database N": clear what the slot shows; the probe, timer and "Warned" stay.
    void ResetSlotDisplay(int slot);

    // True while a selection (its dialog or its connection attempt) is under way. Select and Del
    // are refused meanwhile: the tray menu still works while the dialog is open.
    bool SelectionRunning() const { return m_selecting; }

    static QString RemoveQuestion(const QString& title);

    // The title a selected database takes in the slot: a database file named by its file's name
    // gets as many parent folders as it needs to differ from another file's title in another
    // slot ("sales/ledger.db"); any other title is kept.
    QString DistinctTitle(int slot, const QString& title, const QString& connectionString) const;

private:
    static bool ValidSlot(int slot);

    PollScheduler* m_scheduler;
    SlotMonitor* m_monitor;
    IDatabaseCommandsWindow* m_window;
    INotice* m_notice;
    QWidget* m_dialogParent;
    ProbeMaker m_makeProbe;
    bool m_selecting = false;
};
