#pragma once

#include "monitor/AlertPolicy.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <variant>

// What the engine hands the UI thread, as values: each poll's outcome and end and the slot
// commands' resets, queued in the order they happened. Nothing here touches a widget.

enum class SlotField { LastAccess, BestAccess, WorstAccess, LastAlert, LastRecovery };
inline constexpr int kSlotFieldCount = 5;

namespace SlotColour {
// Colours of the Last access label, 0xRRGGBB; Default is the system's button face.
inline constexpr int Reachable = 0x00FF00;
inline constexpr int Slow = 0xFDFF30;
inline constexpr int Unreachable = 0xFF0000;
inline constexpr int NotChecked = 0xC0C0C0;
inline constexpr int Default = -1;
} // namespace SlotColour

namespace TrayIcons {
inline constexpr int Main = 128;
inline constexpr int FirstFrame = 131;
inline constexpr int LastFrame = 134;
inline constexpr int Unreachable = 138;
inline constexpr int Slow = 142;
} // namespace TrayIcons

// The tray's red or yellow mark for the slots as they were, or the plain icon.
struct TrayMark {
    int icon = TrayIcons::Main;
    QString tip;
};

struct MailResult {
    MailEffect::Kind kind;
    bool sent = false;
    QString reason; // the failure on one line
};

struct PollOutcome {
    int slot = 0;
    quint64 generation = 0;
    QString title;
    double elapsed = 0.0; // ms; -99 when unreachable
    PollStatus status = PollStatus::Reachable;
    QString failure; // the driver's message when unreachable
    // The tray: the animation with this tip, then the mark for the slots as they were when the
    // probe ended (none: the tip stays with the plain icon).
    QString trayTip;
    std::optional<TrayMark> trayMark;
    // The graph and the label, in the order shown.
    bool checked = true; // false: the poll said nothing, and draws no sample
    double sampleValue = 0.0;
    double sampleMark = 0.0;
    int colour = SlotColour::Default;
    QStringList legend;
    double scale = 0.0;
    // The health query, when one ran: its part of elapsed (passed only), the value it found
    // made safe to show, and why it failed; toolTip is the slot's tip with these (empty without
    // a query).
    std::optional<double> queryMs;
    QString healthValue;
    QString healthReason;
    QString toolTip;
    // The five texts; a field without a value keeps what it shows.
    std::array<std::optional<QString>, kSlotFieldCount> texts;
    // What the alert rules decided, and how the mails among them went.
    QList<AlertEffect> decisions;
    QList<MailResult> mails;
};

// A slot's display cleared: colour, the five texts and the graph (the "Reset" command and a
// removal) or the graph alone (start-up).
struct SlotCleared {
    int slot = 0;
    bool graphOnly = false;
};

// A poll has ended, after its outcome: its slot's timer is armed again after delayMs, or stays
// stopped when delayMs < 0 (the slot was emptied during the poll).
struct PollEnded {
    int slot = 0;
    qint64 delayMs = 0;
};

using MonitorEvent = std::variant<PollOutcome, SlotCleared, TrayMark, PollEnded>;
