#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>

// Knows when the computer sleeps and wakes: logind's PrepareForSleep on the system bus where
// there is one, and in every case a jump between CLOCK_BOOTTIME and CLOCK_MONOTONIC (the boot
// clock runs on through a sleep, the monotonic one stops). Neither follows the wall clock, so a
// clock set by hand is no sleep. Lives on the thread that made it.
class SleepWatcher : public QObject {
    Q_OBJECT
public:
    // Ms of CLOCK_BOOTTIME minus CLOCK_MONOTONIC: grows by the length of every sleep.
    using SleptClock = std::function<qint64()>;
    static qint64 SystemSleptMs();
    // More than this between two readings is a sleep; scheduling delays stay far below it.
    static constexpr qint64 kJumpMs = 3000;
    static bool SleptBetween(qint64 before, qint64 after) { return after - before > kJumpMs; }

    explicit SleepWatcher(SleptClock clock = &SystemSleptMs, int lookEveryMs = 2000,
                          QObject* parent = nullptr);

    // Listens to logind on the system bus; false when there is none (the clocks still serve).
    bool WatchLogind();
    // Reads the clocks; a jump since the last reading is a sleep that has ended.
    void Look();
    // Between logind's "going to sleep" and the wake.
    bool Sleeping() const { return m_sleeping; }

signals:
    void GoingToSleep();
    void Woke(qint64 sleptMs);

private slots:
    void OnPrepareForSleep(bool start);

private:
    void Wake();

    SleptClock m_clock;
    qint64 m_last;
    QTimer m_timer;
    std::atomic<bool> m_sleeping{false};
};
