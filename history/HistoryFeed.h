#pragma once

#include "history/HistoryStore.h"
#include "monitor/PollOutcome.h"

#include <QHash>
#include <QString>

#include <functional>
#include <mutex>

// Turns the engine's poll outcomes into history: one poll row each, and outage intervals opened
// by the first unreachable poll, marked when the alert mail went out and closed by the next poll
// that answers. An outage the file holds open from an earlier run is carried on, not duplicated:
// the store keeps an open outage, and the first answered poll of a run closes whatever is open.
//
//     HistoryFeed feed(store);
//     options.outcomeTap = feed.Tap(); // the feed must outlive the monitor's Shutdown
class HistoryFeed {
public:
    // clock: UTC ms of a poll's end; the system clock when empty.
    explicit HistoryFeed(HistoryStore& store, std::function<qint64()> clock = {});
    HistoryFeed(const HistoryFeed&) = delete;
    HistoryFeed& operator=(const HistoryFeed&) = delete;

    // Queues the outcome's rows; safe from any thread, never waits for the disk.
    void Record(const PollOutcome& outcome);
    // Record, as the engine's outcome tap.
    std::function<void(const PollOutcome&)> Tap();

    static PollResult ResultOf(PollStatus status);
    // True when the outcome's alert mail went out.
    static bool AlertSent(const PollOutcome& outcome);

private:
    // What this run knows of a database's outage; a database not listed may have one open in
    // the file.
    enum class Outage { Open, Closed };

    HistoryStore& m_store;
    std::function<qint64()> m_clock;
    std::mutex m_lock; // orders the rows of polls that end at once
    QHash<QString, Outage> m_outages;
};
