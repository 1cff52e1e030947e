#include "monitor/PollScheduler.h"

#include "monitor/MonitorSignals.h"
#include "monitor/SlotMonitor.h"
#include "monitor/SlotStatus.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

QString EmptyGroupCaption(int slot) {
    return QStringLiteral("Database ") + QString::number(slot + 1);
}

} // namespace

PollScheduler::PollScheduler(SlotMonitor* monitor, QObject* parent)
    : QObject(parent), m_monitor(monitor), m_startupTimer(new QTimer(this)) {
    m_startupTimer->setSingleShot(true);
    connect(m_startupTimer, &QTimer::timeout, this, [this] { Tick(kStartupTimerId); });
    for (int i = 0; i < static_cast<int>(m_slots.size()); ++i) {
        QTimer* timer = new QTimer(this);
        timer->setSingleShot(true);
        // A coarse timer may fire 5 % late: over 15 minutes that is most of a minute.
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, i] { Tick(kSlotTimerBase + i); });
        m_slots[i].timer = timer;
    }
    // Poll ends come in the engine's queue after their outcomes, on this thread.
    connect(m_monitor->Signals(), &MonitorSignals::delivered, this,
            [this](const MonitorEvent& event) {
                if (const auto* end = std::get_if<::PollEnded>(&event))
                    OnPollEnded(end->slot, end->delayMs);
            });
}

PollScheduler::~PollScheduler() {
    Shutdown(SlotMonitor::kShutdownWaitMs);
}

void PollScheduler::Start() {
    m_firstStart = true;
    m_startupTimer->start(kFirstTickMs);
    for (int i = 0; i < static_cast<int>(m_slots.size()); ++i)
        Arm(i, kFirstTickMs);
}

void PollScheduler::Tick(int timerId) {
    if (m_shutDown)
        return;
    if (timerId == kStartupTimerId)
        OnStartupTick();
    else if (timerId >= kSlotTimerBase &&
             timerId < kSlotTimerBase + static_cast<int>(m_slots.size()))
        OnSlotTick(timerId - kSlotTimerBase);
}

void PollScheduler::OnStartupTick() {
    if (Config::Read(Config::kStartHidden))
        emit HideRequested();
    m_startupTimer->stop();
    for (int i = 0; i < static_cast<int>(m_slots.size()); ++i) {
        const QString title = m_monitor->Title(i);
        if (m_monitor->HasProbe(i) && !title.isEmpty())
            emit CaptionsChanged(i, title, title);
    }
}

void PollScheduler::OnSlotTick(int slot) {
    SlotTimer& st = m_slots[slot];
    st.timer->stop();
    if (st.polling) {
        // Never two polls of one slot: this tick runs when the current poll has ended.
        st.tickWaiting = true;
        return;
    }
    if (slot == 0 && m_firstStart && !m_monitor->EmailSetUp()) {
        m_firstStart = false;
        emit EmailPromptRequested();
        // Poll "Database 1" after the prompt instead of leaving its timer stopped.
        if (!m_shutDown)
            Arm(0, kFirstTickMs);
        return;
    }
    st.polling = true;
    st.tickWaiting = false;
    st.leaveTimer = false;
    emit PollStarted(slot);
    m_monitor->StartPoll(slot);
}

void PollScheduler::OnPollEnded(int slot, qint64 delayMs) {
    SlotTimer& st = m_slots[slot];
    st.polling = false;
    const bool leaveTimer = st.leaveTimer;
    st.leaveTimer = false;
    if (m_shutDown) {
        emit PollEnded(slot);
        return;
    }
    if (st.tickWaiting) {
        st.tickWaiting = false;
        emit PollEnded(slot);
        OnSlotTick(slot);
        return;
    }
    if (!leaveTimer && delayMs >= 0)
        Arm(slot, delayMs);
    emit PollEnded(slot);
}

void PollScheduler::Arm(int slot, qint64 delayMs) {
    QTimer* timer = m_slots[slot].timer;
    timer->stop();
    timer->start(static_cast<int>(std::clamp<qint64>(delayMs, 0, INT_MAX)));
}

void PollScheduler::PollNow(int slot) {
    if (m_shutDown)
        return;
    Arm(slot, kFirstTickMs);
    if (m_slots[slot].polling)
        m_slots[slot].leaveTimer = true;
}

void PollScheduler::Stop(int slot) {
    SlotTimer& st = m_slots[slot];
    st.timer->stop();
    st.tickWaiting = false;
    if (st.polling)
        st.leaveTimer = true;
}

int PollScheduler::SpinInterval(int slot, const QString& boxText, int proposedDelta) {
    QString text = boxText;
    if (text.isEmpty())
        text = QStringLiteral("5");
    qint64 value = static_cast<qint64>(LeadingInt(text)) - proposedDelta;
    value = std::clamp<qint64>(value, 1, INT_MAX);
    const int minutes = static_cast<int>(value);
    Config::Write(Config::kInterval[slot], minutes);
    m_monitor->SetInterval(slot, minutes);
    if (!m_shutDown) {
        Arm(slot, static_cast<qint64>(minutes) * m_monitor->MinuteMs());
        if (m_slots[slot].polling)
            m_slots[slot].leaveTimer = true;
    }
    return minutes;
}

void PollScheduler::SetIntervalNow(int slot, int minutes) {
    minutes = std::max(minutes, 1);
    Config::Write(Config::kInterval[slot], minutes);
    m_monitor->SetInterval(slot, minutes);
    if (m_shutDown)
        return;
    Arm(slot, static_cast<qint64>(minutes) * m_monitor->MinuteMs());
    if (m_slots[slot].polling)
        m_slots[slot].leaveTimer = true;
}

void PollScheduler::SelectDatabase(int slot, std::shared_ptr<CDatabaseProbe> probe) {
    const bool connected = probe && probe->HasConnection();
    const QString title = probe ? probe->Title() : QString();
    const QString connection = probe ? probe->ConnectionString() : QString();
    m_monitor->SetProbe(slot, std::move(probe));
    if (connected) {
        Config::Write(Config::kLastDatabase[slot], connection);
        Config::Write(Config::kLastDatabaseTitle[slot], title);
        emit CaptionsChanged(slot, title, title);
        PollNow(slot);
    } else {
        emit CaptionsChanged(slot, EmptyGroupCaption(slot), QStringLiteral("Select Database"));
    }
}

bool PollScheduler::RemoveDatabase(int slot) {
    if (!m_monitor->HasProbe(slot))
        return false;
    Stop(slot);
    m_monitor->SetProbe(slot, nullptr);
    Config::Write(Config::kLastDatabase[slot], QString());
    Config::Write(Config::kLastDatabaseTitle[slot], QString());
    emit CaptionsChanged(slot, EmptyGroupCaption(slot), QStringLiteral("Select Database"));
    m_monitor->ResetSlotDisplay(slot);
    return true;
}

void PollScheduler::ResetSlotDisplay(int slot) {
    m_monitor->ResetSlotDisplay(slot);
}

bool PollScheduler::IsArmed(int slot) const {
    return m_slots[slot].timer->isActive();
}

int PollScheduler::RemainingMs(int slot) const {
    return m_slots[slot].timer->remainingTime();
}

bool PollScheduler::IsPolling(int slot) const {
    return m_slots[slot].polling;
}

void PollScheduler::Shutdown(int waitMs) {
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_startupTimer->stop();
    for (SlotTimer& st : m_slots)
        st.timer->stop();
    m_monitor->Shutdown(waitMs);
}
