#pragma once

#include "metrics/MetricsBoard.h"
#include "metrics/MetricsFile.h"
#include "metrics/MetricsServer.h"

#include <QString>

#include <functional>
#include <mutex>

// "MetricsFile" and "MetricsPort" of the section "Settings".
struct MetricsSettings {
    QString file; // empty: no file
    int port = 0; // 0: no endpoint
    static MetricsSettings Load();
};

// The board fed by the engine's outcome tap, the file written after each poll and the endpoint.
// Made and applied on the UI thread; Record runs on the poll threads and must outlive the
// monitor's Shutdown.
//
//     MetricsExporter metrics(report);
//     metrics.Apply(MetricsSettings::Load());
//     options.outcomeTap = [&](const PollOutcome& o) { metrics.Record(o); };
class MetricsExporter {
public:
    // onFault: a file that cannot be written (once) or a port that cannot be listened on.
    explicit MetricsExporter(std::function<void(const QString&)> onFault,
                             std::function<qint64()> clock = {});

    // Slots restored from the settings, shown as "not checked" until their first poll.
    void ExpectSlots();
    void Record(const PollOutcome& outcome);
    // Empty when both settings took effect; else what did not (also told through onFault).
    QString Apply(const MetricsSettings& settings);

    MetricsBoard& Board() { return m_board; }
    quint16 Port() const { return m_server.Port(); }
    QString FilePath() const { return m_file.Path(); }

private:
    std::function<void(const QString&)> m_onFault;
    MetricsBoard m_board;
    MetricsFile m_file;
    MetricsServer m_server;
    // Render and write as one step, so that the file never goes back to an older text when
    // two polls end at once.
    std::mutex m_writeLock;
};
