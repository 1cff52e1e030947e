#pragma once

#include "monitor/PollOutcome.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <optional>

// Each slot's last poll and its running counts, kept for the metrics text. Recorded from the
// poll threads, rendered from any thread; a render never waits for a probe.
class MetricsBoard {
public:
    enum class Format {
        Text,       // Prometheus' classic text format (promtool, node_exporter's textfile)
        OpenMetrics // the same samples, counters typed by family name, ending in "# EOF"
    };

    // clock: UTC ms of a poll's end; the system clock when empty.
    explicit MetricsBoard(std::function<qint64()> clock = {});

    // A slot whose database has not been polled yet: shown as "not checked".
    void Expect(int slot, const QString& title);
    void Record(const PollOutcome& outcome);
    QByteArray Render(Format format) const;

    static QByteArray ContentType(Format format);
    // OpenMetrics when the Accept header names it, as Prometheus' own scraper does.
    static Format FormatFor(const QByteArray& accept);

private:
    struct Entry {
        QString title;
        std::optional<PollStatus> status; // none: not checked yet
        double probeMs = 0;               // of the last probe that answered
        bool answered = false;
        qint64 lastPollMs = 0;
        quint64 polls = 0;
        quint64 failures = 0;
        quint64 alerts = 0;
    };
    Entry& Slot(int slot, const QString& title);

    std::function<qint64()> m_clock;
    mutable std::mutex m_lock;
    std::map<int, Entry> m_slots;
};
