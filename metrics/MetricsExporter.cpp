#include "metrics/MetricsExporter.h"

#include "settings/SettingKeys.h"

MetricsSettings MetricsSettings::Load() {
    return {Config::Read(Config::kMetricsFile), Config::Read(Config::kMetricsPort)};
}

MetricsExporter::MetricsExporter(std::function<void(const QString&)> onFault,
                                 std::function<qint64()> clock)
    : m_onFault(std::move(onFault)), m_board(std::move(clock)), m_file(m_onFault),
      m_server(m_board) {}

void MetricsExporter::ExpectSlots() {
    for (int slot = 0; slot < Config::kSlots; ++slot) {
        const QString title = Config::Read(Config::kLastDatabaseTitle[slot]);
        if (!title.isEmpty())
            m_board.Expect(slot, title);
    }
}

void MetricsExporter::Record(const PollOutcome& outcome) {
    m_board.Record(outcome);
    std::lock_guard lock(m_writeLock);
    if (!m_file.Path().isEmpty())
        m_file.Write(m_board.Render(MetricsBoard::Format::Text));
}

QString MetricsExporter::Apply(const MetricsSettings& settings) {
    QStringList problems;
    std::unique_lock lock(m_writeLock);
    m_file.SetPath(settings.file);
    if (!settings.file.isEmpty()) {
        // Written at once, so that a collector sees the slots before the first poll ends; a
        // failure here is told by the file itself.
        if (!m_file.Write(m_board.Render(MetricsBoard::Format::Text)))
            problems << MetricsFile::Problem(settings.file);
    }
    lock.unlock();
    if (settings.port < 0 || settings.port > 65535) {
        problems << QStringLiteral("The metrics port %1 is not a port from 1 to 65535.")
                        .arg(settings.port);
        m_server.Close();
        m_onFault(problems.constLast());
    } else if (settings.port != m_server.Port()) {
        const QString error = m_server.Listen(quint16(settings.port));
        if (!error.isEmpty()) {
            problems << error;
            m_onFault(error);
        }
    }
    problems.removeAll(QString());
    return problems.join(u'\n');
}
