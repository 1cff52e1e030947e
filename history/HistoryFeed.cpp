#include "history/HistoryFeed.h"

#include <QDateTime>

HistoryFeed::HistoryFeed(HistoryStore& store, std::function<qint64()> clock)
    : m_store(store), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

PollResult HistoryFeed::ResultOf(PollStatus status) {
    switch (status) {
    case PollStatus::Reachable:
        return PollResult::Reachable;
    case PollStatus::Slow:
        return PollResult::Slow;
    case PollStatus::Unreachable:
        return PollResult::Unreachable;
    }
    return PollResult::NotChecked;
}

bool HistoryFeed::AlertSent(const PollOutcome& outcome) {
    for (const MailResult& mail : outcome.mails)
        if (mail.kind == MailEffect::Kind::Alert && mail.sent)
            return true;
    return false;
}

void HistoryFeed::Record(const PollOutcome& outcome) {
    PollRecord poll;
    poll.key = outcome.title;
    poll.outcome = ResultOf(outcome.status);
    // A failed probe's -99 is a marker, not a time.
    poll.elapsedMs = outcome.elapsed > 0 ? outcome.elapsed : 0;
    poll.reason = outcome.failure.simplified();
    const bool alerted = AlertSent(outcome);

    std::lock_guard lock(m_lock);
    poll.utcMs = m_clock();
    m_store.Record(poll);
    const auto known = m_outages.constFind(poll.key);
    if (poll.outcome == PollResult::Unreachable) {
        if (known == m_outages.cend() || *known != Outage::Open) {
            // Kept as it is when the file already holds this outage open (a restart during it).
            m_store.OpenOutage(poll.key, poll.utcMs, poll.reason, alerted);
            m_outages.insert(poll.key, Outage::Open);
        }
        // Also an alert retried at a later poll, or one sent for an outage begun before a restart.
        if (alerted)
            m_store.MarkOutageAlerted(poll.key);
    } else if (poll.outcome != PollResult::NotChecked &&
               (known == m_outages.cend() || *known != Outage::Closed)) {
        m_store.CloseOutage(poll.key, poll.utcMs);
        m_outages.insert(poll.key, Outage::Closed);
    }
}

std::function<void(const PollOutcome&)> HistoryFeed::Tap() {
    return [this](const PollOutcome& outcome) { Record(outcome); };
}
