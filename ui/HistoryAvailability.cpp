#include "ui/HistoryAvailability.h"

#include "history/HistoryStore.h"

#include <QDateTime>

#include <cmath>

HistoryAvailability::HistoryAvailability(HistoryStore& store, std::function<qint64()> clock,
                                         qint64 refreshMs)
    : m_store(store), m_clock(std::move(clock)), m_refreshMs(refreshMs) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

QString HistoryAvailability::PercentText(double percent) {
    const double floored = std::floor(percent * 100 + 1e-7) / 100;
    return QString::number(floored, 'f', 2) + QStringLiteral(" %");
}

QString HistoryAvailability::Text(const QString& title) {
    const qint64 now = m_clock();
    const auto cached = m_cache.constFind(title);
    if (cached != m_cache.cend() && now - cached->readAt < m_refreshMs && now >= cached->readAt)
        return cached->text;
    QString text;
    const auto sum = m_store.Summary(title, now - kDays * HistoryTime::kDayMs, now + 1);
    if (sum && sum->Checked() > 0)
        text = QStringLiteral("Available ") + PercentText(sum->AvailabilityPercent()) +
               QStringLiteral(" over %1 days").arg(kDays);
    m_cache.insert(title, {text, now});
    return text;
}

std::function<QString(const QString&)> HistoryAvailability::Source() {
    return [this](const QString& title) { return Text(title); };
}
