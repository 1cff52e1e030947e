#pragma once

#include <QString>

#include <atomic>
#include <functional>

// What the engine knows of the computer itself: written on the UI thread from the sleep and
// network watchers, read by the poll threads. A poll that says nothing about its database is
// "not checked": it draws no sample, sends nothing and changes no alert state.
struct ComputerState {
    // The system's clocks.
    ComputerState();

    enum Reach { Unknown, Online, Offline };
    std::atomic<int> reach{Unknown};
    std::atomic<bool> sleeping{false};
    // The steady clock (ms) when the computer last woke; -1 before.
    std::atomic<qint64> wokeAt{-1};
    // Ms of the boot clock minus the monotonic one (grows by every sleep), and a steady clock in
    // ms; both given so that tests can move them.
    std::function<qint64()> sleptClock;
    std::function<qint64()> steadyClock;
    // After a wake, a failure while the network is not known to be back is not checked.
    qint64 wakeGraceMs = 60000;
};

inline const QString kAsleepReason = QStringLiteral("this computer was asleep");
inline const QString kOfflineReason = QStringLiteral("this computer is offline");

struct PollCircumstances {
    bool failed = false;
    bool onThisComputer = false; // a file or a loopback address
    bool sleptDuring = false;    // the poll spans a sleep
    bool sleeping = false;       // logind said the computer is going to sleep
    bool justWoke = false;       // within the grace after a wake
    ComputerState::Reach reach = ComputerState::Unknown;
};

// Why the poll says nothing about the database; empty when it counts.
QString NotCheckedReason(const PollCircumstances& c);

// A database in a file, or behind localhost, a loopback address or a local socket.
bool IsOnThisComputer(const QString& connectionString);

// The circumstances of a poll that began at sleep clock `sleptAtStart`, as of now; a null state
// knows nothing (every poll counts).
PollCircumstances Circumstances(const ComputerState* state, qint64 sleptAtStart, bool failed,
                                const QString& connectionString);
