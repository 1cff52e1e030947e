#include "platform/SleepWatcher.h"

#include <QDBusConnection>

#include <ctime>

namespace {

qint64 ClockMs(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

qint64 SleepWatcher::SystemSleptMs() {
    return ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC);
}

SleepWatcher::SleepWatcher(SleptClock clock, int lookEveryMs, QObject* parent)
    : QObject(parent), m_clock(std::move(clock)), m_last(m_clock()) {
    connect(&m_timer, &QTimer::timeout, this, &SleepWatcher::Look);
    m_timer.start(lookEveryMs);
}

bool SleepWatcher::WatchLogind() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    return bus.connect(QStringLiteral("org.freedesktop.login1"),
                       QStringLiteral("/org/freedesktop/login1"),
                       QStringLiteral("org.freedesktop.login1.Manager"),
                       QStringLiteral("PrepareForSleep"), this, SLOT(OnPrepareForSleep(bool)));
}

void SleepWatcher::Look() {
    const qint64 now = m_clock();
    if (SleptBetween(m_last, now))
        Wake();
    m_last = now;
}

void SleepWatcher::OnPrepareForSleep(bool start) {
    if (start) {
        if (!m_sleeping.exchange(true))
            emit GoingToSleep();
        return;
    }
    // The clocks may have told of this wake already; then logind's word adds nothing.
    if (m_sleeping || SleptBetween(m_last, m_clock()))
        Wake();
    m_last = m_clock();
}

void SleepWatcher::Wake() {
    const qint64 slept = std::max<qint64>(m_clock() - m_last, 0);
    m_last = m_clock();
    m_sleeping = false;
    emit Woke(slept);
}
