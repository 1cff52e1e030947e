#include "monitor/SlotMonitorCore.h"

using namespace SlotMonitorDetail;

SlotMonitor::SlotMonitor(std::shared_ptr<LogWriter> log, std::shared_ptr<SmtpClient> smtp,
                         MonitorOptions options)
    : m_core(std::make_shared<Core>()), m_signals(std::make_unique<MonitorSignals>()) {
    m_core->signaller = m_signals.get();
    // Queued on the signaller, which dies with this object: no wake-up outlives the engine.
    QObject::connect(
        m_signals.get(), &MonitorSignals::eventsReady, m_signals.get(), [this] { DeliverEvents(); },
        Qt::QueuedConnection);
    m_core->minuteMs = options.minuteMs;
    m_core->earlyMs = options.earlyMs;
    m_core->watchdogBoundMs = options.watchdogBoundMs;
    m_core->probeOptions = options.probe;
    m_core->stateLockWaitMs = options.stateLockWaitMs;
    m_core->outcomeTap = std::move(options.outcomeTap);
    if (options.probeClock)
        m_core->probeClock = std::move(options.probeClock);
    m_core->computer = std::move(options.computer);
    m_core->log = std::move(log);
    m_core->smtp = std::move(smtp);
}

SlotMonitor::~SlotMonitor() {
    Shutdown(kShutdownWaitMs);
}

void SlotMonitor::LoadIntervalsAndThresholds() {
    for (int i = 0; i < kSlotCount; ++i) {
        const int interval = Config::Read(Config::kInterval[i], DatabaseSlot::kDefaultInterval);
        const int threshold = Config::Read(Config::kWarn[i], DatabaseSlot::kDefaultThreshold);
        std::lock_guard lock(m_core->mutex);
        m_core->slotData[i].interval = interval;
        m_core->slotData[i].warningThreshold = threshold;
    }
}

void SlotMonitor::RestoreSlots() {
    for (int i = 0; i < kSlotCount; ++i) {
        const QString connection = Config::Read(Config::kLastDatabase[i]);
        std::shared_ptr<CDatabaseProbe> probe;
        QString title;
        QString lastAlert;
        QString lastRecovery;
        if (!connection.isEmpty()) {
            // No connection attempt: a database that hangs must not freeze the start.
            title = Config::Read(Config::kLastDatabaseTitle[i]);
            probe.reset(CDatabaseProbe::FromStored(connection, title, m_core->probeOptions));
            lastAlert = SettingsStore::ReadString(title, QStringLiteral("lastAlert"));
            lastRecovery = SettingsStore::ReadString(title, QStringLiteral("lastRecovery"));
        }
        std::lock_guard lock(m_core->mutex);
        DatabaseSlot& s = m_core->slotData[i];
        s.probe = std::move(probe);
        s.title = title;
        s.connectionString = connection;
        s.lastAlert = s.storedAlert = lastAlert;
        s.lastRecovery = s.storedRecovery = lastRecovery;
        s.history.clear();
        s.graphScale = DatabaseSlot::kInitialScale;
        ++m_core->generation[i];
        m_core->Push(SlotCleared{i, true});
    }
}

void SlotMonitor::SetDesktopNotifier(std::shared_ptr<IDesktopNotifier> notifier) {
    std::lock_guard lock(m_core->mutex);
    m_core->desktop = std::move(notifier);
}

void SlotMonitor::SetNotice(INotice* notice) {
    m_core->notice = notice;
}

void SlotMonitor::SetEmailSettings(const EmailSettings& settings) {
    std::lock_guard lock(m_core->mutex);
    m_core->email = settings;
}

EmailSettings SlotMonitor::Email() const {
    return m_core->Email();
}

bool SlotMonitor::EmailSetUp() const {
    return !Email().server.isEmpty();
}

const ProbeOptions& SlotMonitor::OptionsForProbes() const {
    return m_core->probeOptions;
}

std::shared_ptr<CDatabaseProbe> SlotMonitor::Probe(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].probe;
}

bool SlotMonitor::HasProbe(int slot) const {
    return Probe(slot) != nullptr;
}

bool SlotMonitor::IsConfigured(int slot) const {
    const auto probe = Probe(slot);
    return probe && probe->HasConnection();
}

QString SlotMonitor::Title(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].title;
}

QString SlotMonitor::ConnectionString(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].connectionString;
}

int SlotMonitor::Interval(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].interval;
}

void SlotMonitor::SetInterval(int slot, int minutes) {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    m_core->slotData[slot].interval = minutes;
}

int SlotMonitor::Threshold(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].warningThreshold;
}

void SlotMonitor::SetThreshold(int slot, int milliseconds) {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    m_core->slotData[slot].warningThreshold = milliseconds;
}

QList<AccessRecord> SlotMonitor::History(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].history;
}

double SlotMonitor::GraphScale(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].graphScale;
}

QString SlotMonitor::LastAlert(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].lastAlert;
}

QString SlotMonitor::LastRecovery(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->slotData[slot].lastRecovery;
}

void SlotMonitor::SetProbe(int slot, std::shared_ptr<CDatabaseProbe> probe) {
    Core::CheckSlot(slot);
    // Read before the probe is shared: no poll uses it yet.
    const QString title = probe ? probe->Title() : QString();
    const QString connection = probe ? probe->ConnectionString() : QString();
    // The slot's texts stay until the new database's state changes, as in a single copy.
    const QString storedAlert = SettingsStore::ReadString(title, QStringLiteral("lastAlert"));
    const QString storedRecovery = SettingsStore::ReadString(title, QStringLiteral("lastRecovery"));
    std::shared_ptr<CDatabaseProbe> old;
    {
        std::lock_guard lock(m_core->mutex);
        const std::shared_ptr<CDatabaseProbe>& was = m_core->slotData[slot].probe;
        const int status = was ? was->GetStatus() : 0;
        DatabaseSlot& s = m_core->slotData[slot];
        old = std::move(s.probe);
        s.probe = std::move(probe);
        s.title = title;
        s.connectionString = connection;
        s.storedAlert = storedAlert;
        s.storedRecovery = storedRecovery;
        ++m_core->generation[slot];
        // A database that leaves the slot takes its mark off the tray.
        if (status == CDatabaseProbe::Unreachable || status == CDatabaseProbe::Slow)
            m_core->Push(
                m_core->Mark().value_or(TrayMark{TrayIcons::Main, QStringLiteral("Trellion")}));
    }
    // old goes out of scope here, outside the lock; a running poll still holds its own copy.
}

void SlotMonitor::ResetSlotDisplay(int slot) {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    DatabaseSlot& s = m_core->slotData[slot];
    s.lastAlert.clear();
    s.lastRecovery.clear();
    m_core->Push(SlotCleared{slot, false});
    s.graphScale = DatabaseSlot::kInitialScale;
    s.history.clear();
}

void SlotMonitor::PollSlot(int slot) {
    Core::CheckSlot(slot);
    {
        std::lock_guard lock(m_core->pollMutex);
        ++m_core->runningPolls;
    }
    m_core->RunPoll(slot);
}

void SlotMonitor::StartPoll(int slot) {
    Core::CheckSlot(slot);
    if (!m_core->accepting)
        return;
    {
        std::lock_guard lock(m_core->pollMutex);
        ++m_core->runningPolls;
    }
    auto core = m_core;
    try {
        std::thread([core, slot] {
            LowerThreadPriority();
            core->RunPoll(slot);
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: end the poll at once so that the timer is armed again.
        core->EndPoll(slot, core->MakeTicket(slot)->generation, false);
    }
}

std::vector<MonitorEvent> SlotMonitor::TakeEvents() {
    std::vector<MonitorEvent> taken;
    std::lock_guard lock(m_core->eventsMutex);
    taken.swap(m_core->events);
    return taken;
}

void SlotMonitor::DeliverEvents() {
    for (const MonitorEvent& event : TakeEvents())
        emit m_signals->delivered(event);
}

quint64 SlotMonitor::Generation(int slot) const {
    Core::CheckSlot(slot);
    std::lock_guard lock(m_core->mutex);
    return m_core->generation[slot];
}

MonitorSignals* SlotMonitor::Signals() const {
    return m_signals.get();
}

int SlotMonitor::RunningPolls() const {
    std::lock_guard lock(m_core->pollMutex);
    return m_core->runningPolls;
}

int SlotMonitor::HungCalls() const {
    std::lock_guard lock(m_core->pollMutex);
    return m_core->hungCalls;
}

bool SlotMonitor::WaitForPolls(int timeoutMs) const {
    std::unique_lock lock(m_core->pollMutex);
    return m_core->pollCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return m_core->runningPolls == 0; });
}

void SlotMonitor::Shutdown(int waitMs) {
    if (m_core->shutDown.exchange(true))
        return;
    m_core->accepting = false;
    WaitForPolls(waitMs);
    {
        std::lock_guard lock(m_core->mutex);
        m_core->closed = true;
    }
    {
        std::lock_guard lock(m_core->eventsMutex);
        m_core->signaller = nullptr;
    }
    {
        std::lock_guard lock(m_core->watchMutex);
        m_core->watchStop = true;
        m_core->tickets.clear();
    }
    m_core->watchCv.notify_all();
    if (m_core->watchThread.joinable())
        m_core->watchThread.join();
}

int SlotMonitor::MinuteMs() const {
    return m_core->minuteMs;
}
int SlotMonitor::WatchdogBoundMs() const {
    return m_core->BoundMs();
}
