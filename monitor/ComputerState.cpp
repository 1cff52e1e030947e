#include "monitor/ComputerState.h"

#include "platform/SleepWatcher.h"

#include <QHostAddress>

#include <chrono>

ComputerState::ComputerState()
    : sleptClock(&SleepWatcher::SystemSleptMs), steadyClock([] {
          return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
      }) {}

QString NotCheckedReason(const PollCircumstances& c) {
    if (c.sleptDuring || c.sleeping)
        return kAsleepReason;
    if (!c.failed || c.onThisComputer)
        return QString();
    if (c.reach == ComputerState::Offline)
        return kOfflineReason;
    // Just awake and the network not known to be back: the failure is the wake's, not the
    // database's.
    if (c.justWoke && c.reach != ComputerState::Online)
        return kAsleepReason;
    return QString();
}

namespace {

bool IsLocalHost(QString host) {
    host = host.trimmed();
    if (host.isEmpty() || host.startsWith(u'/'))
        return true; // a local socket, or the driver's default of this computer
    // "host:port", "host,port" and "[::1]:port"
    if (host.startsWith(u'[')) {
        host = host.mid(1, host.indexOf(u']') - 1);
    } else if (host.count(u':') == 1) {
        host = host.section(u':', 0, 0);
    }
    host = host.section(u',', 0, 0).trimmed();
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0 ||
        host == QStringLiteral("."))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

bool IsOnThisComputer(const QString& connectionString) {
    QString host;
    bool hasHost = false;
    bool hasFile = false;
    for (const QString& part : connectionString.split(u';', Qt::SkipEmptyParts)) {
        const QString key = part.section(u'=', 0, 0).trimmed().toUpper();
        const QString value = part.section(u'=', 1).trimmed();
        if (key == QLatin1String("SERVER") || key == QLatin1String("HOST") ||
            key == QLatin1String("SERVERNAME") || key == QLatin1String("ADDRESS")) {
            hasHost = true;
            host = value;
        } else if (key == QLatin1String("DBQ") ||
                   (key == QLatin1String("DATABASE") && value.startsWith(u'/'))) {
            hasFile = true;
        }
    }
    if (hasHost)
        return IsLocalHost(host);
    // A data source name alone says nothing of where it lives: it counts as remote.
    return hasFile;
}

PollCircumstances Circumstances(const ComputerState* state, qint64 sleptAtStart, bool failed,
                                const QString& connectionString) {
    PollCircumstances c;
    c.failed = failed;
    if (!state)
        return c;
    c.onThisComputer = IsOnThisComputer(connectionString);
    c.reach = ComputerState::Reach(state->reach.load());
    c.sleeping = state->sleeping;
    c.sleptDuring = SleepWatcher::SleptBetween(sleptAtStart, state->sleptClock());
    const qint64 woke = state->wokeAt;
    c.justWoke = woke >= 0 && state->steadyClock() - woke < state->wakeGraceMs;
    return c;
}
