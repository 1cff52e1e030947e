#include "metrics/MetricsBoard.h"

#include "check/CheckResult.h"

#include <QDateTime>
#include <QSet>
#include <QStringList>

namespace {

struct Sample {
    QString labels; // inside the braces
    QString value;
};

struct Family {
    const char* name; // without "_total" for a counter
    const char* help;
    bool counter;
    QList<Sample> samples;
};

void Append(QString& out, const Family& family, MetricsBoard::Format format) {
    if (family.samples.isEmpty())
        return;
    const QString base = QLatin1String(family.name);
    const QString sampleName = family.counter ? base + QStringLiteral("_total") : base;
    // promtool's lint wants a counter's family named like its samples; OpenMetrics names the
    // family without the "_total" its samples carry.
    const QString familyName = format == MetricsBoard::Format::OpenMetrics ? base : sampleName;
    out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
               .arg(familyName, QLatin1String(family.help),
                    family.counter ? QStringLiteral("counter") : QStringLiteral("gauge"));
    for (const Sample& sample : family.samples)
        out += QStringLiteral("%1{%2} %3\n").arg(sampleName, sample.labels, sample.value);
}

QString StateName(std::optional<PollStatus> status) {
    if (!status)
        return QStringLiteral("not checked");
    switch (*status) {
    case PollStatus::Reachable:
        return QStringLiteral("reachable");
    case PollStatus::Slow:
        return QStringLiteral("slow");
    case PollStatus::Unreachable:
        return QStringLiteral("unreachable");
    }
    return QStringLiteral("not checked");
}

} // namespace

MetricsBoard::MetricsBoard(std::function<qint64()> clock) : m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

MetricsBoard::Entry& MetricsBoard::Slot(int slot, const QString& title) {
    Entry& entry = m_slots[slot];
    // Another database in the slot starts its own series; its counters begin at zero.
    if (entry.title != title)
        entry = Entry{title, {}, 0, false, 0, 0, 0, 0};
    return entry;
}

void MetricsBoard::Expect(int slot, const QString& title) {
    std::lock_guard lock(m_lock);
    Slot(slot, title);
}

void MetricsBoard::Record(const PollOutcome& outcome) {
    const qint64 now = m_clock();
    std::lock_guard lock(m_lock);
    Entry& entry = Slot(outcome.slot, outcome.title);
    entry.status = outcome.status;
    entry.lastPollMs = now;
    ++entry.polls;
    entry.answered = outcome.status != PollStatus::Unreachable;
    if (entry.answered)
        entry.probeMs = outcome.elapsed;
    else
        ++entry.failures;
    for (const MailResult& mail : outcome.mails)
        if (mail.kind == MailEffect::Kind::Alert && mail.sent)
            ++entry.alerts;
}

QByteArray MetricsBoard::Render(Format format) const {
    Family up{
        "trellion_up", "Whether the database answered its last probe (1) or not (0).", false, {}};
    Family probe{"trellion_probe_seconds", "Time of the last probe that answered.", false, {}};
    Family lastPoll{"trellion_last_poll_timestamp_seconds",
                    "When the last poll of the database ended, in seconds since 1970.",
                    false,
                    {}};
    Family status{"trellion_status",
                  "The database's status: 1 for the current state, 0 for the others.",
                  false,
                  {}};
    Family polls{"trellion_polls", "Polls of the database since the program started.", true, {}};
    Family failures{"trellion_failures", "Polls the database did not answer.", true, {}};
    Family alerts{"trellion_alerts_sent", "Alert mails that went out for the database.", true, {}};

    {
        std::lock_guard lock(m_lock);
        QSet<QString> shown;
        for (const auto& [slot, entry] : m_slots) {
            // Two slots watching the same database would give two series with the same labels,
            // which a scrape refuses as a whole: the first slot speaks for it.
            if (entry.title.isEmpty() || shown.contains(entry.title))
                continue;
            shown.insert(entry.title);
            const QString labels =
                QStringLiteral("database=\"%1\"").arg(Check::LabelValue(entry.title));
            if (entry.status) {
                up.samples << Sample{labels,
                                     entry.answered ? QStringLiteral("1") : QStringLiteral("0")};
                lastPoll.samples << Sample{labels,
                                           QString::number(entry.lastPollMs / 1000.0, 'f', 3)};
            }
            if (entry.status && entry.probeMs > 0)
                probe.samples << Sample{labels, Check::Seconds(entry.probeMs)};
            const QString current = StateName(entry.status);
            for (const char* state : {"reachable", "slow", "unreachable", "not checked"})
                status.samples << Sample{labels + QStringLiteral(",state=\"%1\"").arg(state),
                                         current == QLatin1String(state) ? QStringLiteral("1")
                                                                         : QStringLiteral("0")};
            polls.samples << Sample{labels, QString::number(entry.polls)};
            failures.samples << Sample{labels, QString::number(entry.failures)};
            alerts.samples << Sample{labels, QString::number(entry.alerts)};
        }
    }

    QString out;
    for (const Family* family : {&up, &probe, &lastPoll, &status, &polls, &failures, &alerts})
        Append(out, *family, format);
    if (format == Format::OpenMetrics)
        out += QStringLiteral("# EOF\n");
    return out.toUtf8();
}

QByteArray MetricsBoard::ContentType(Format format) {
    return format == Format::OpenMetrics
               ? QByteArrayLiteral("application/openmetrics-text; version=1.0.0; charset=utf-8")
               : QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
}

MetricsBoard::Format MetricsBoard::FormatFor(const QByteArray& accept) {
    return accept.contains("application/openmetrics-text") ? Format::OpenMetrics : Format::Text;
}
