#include "tests/monitor/MonitorTestSupport.h"

#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"

#include <QFile>
#include <QRegularExpression>

#include <chrono>

QList<RecordingView::Call> RecordingView::CallsFor(int slot) const {
    QList<Call> out;
    for (const Call& c : Calls())
        if (c.slot == slot)
            out << c;
    return out;
}

RecordingView::Call RecordingView::Last(const char* what, int slot, int field) const {
    Call last;
    for (const Call& c : Calls())
        if (c.what == QLatin1String(what) && c.slot == slot && (field < 0 || c.field == field))
            last = c;
    return last;
}

ConnectGate::ConnectGate() {
    CDatabaseProbe::SetConnectHookForTesting([this] {
        std::unique_lock lock(m_mutex);
        ++m_entered;
        m_maxInside = std::max(m_maxInside, ++m_inside);
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_open; });
        --m_inside;
        m_cv.notify_all();
    });
}

ConnectGate::~ConnectGate() {
    Open();
    // Calls still inside the hook keep a copy of it; wait until they have left.
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_inside == 0; });
    lock.unlock();
    CDatabaseProbe::SetConnectHookForTesting(nullptr);
}

void ConnectGate::Open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
}

bool ConnectGate::WaitForEntered(int count, int timeoutMs) {
    return WaitUntil(
        [&] {
            std::lock_guard lock(m_mutex);
            return m_entered >= count;
        },
        timeoutMs);
}

int ConnectGate::MaxInside() const {
    std::lock_guard lock(m_mutex);
    return m_maxInside;
}

MonitorRig::MonitorRig() {
    OdbcTestEnv::Install();
    // Each test starts from an empty store; titles' sections would otherwise carry over.
    QFile::remove(SettingsStore::FilePath());
    dir = TestSupport::MakeTempDir(QStringLiteral("monitor"));
    accessLog = dir + QStringLiteral("/access.log");
    errorLog = dir + QStringLiteral("/error.log");
    log = std::make_shared<LogWriter>(&notice);
    log->SetSettings(LogSettings{accessLog, errorLog, true, true});
    smtp = std::make_shared<SmtpClient>(&notice);
    smtp->SetTimeouts(10000, 10000);
    SetUpEmail(0);
    Restart();
}

MonitorRig::~MonitorRig() {
    monitor.reset();
    // A poll cut off at shutdown may still hold the log writer or client, which report through
    // the notice: give stragglers their time.
    WaitUntil([&] { return log.use_count() == 1 && smtp.use_count() == 1; }, 2000);
}

void MonitorRig::Restart() {
    const EmailSettings email = monitor ? monitor->Email() : EmailSettings{};
    monitor.reset();
    monitor = std::make_unique<SlotMonitor>(&view, log, smtp);
    monitor->SetTrayFrameMs(0);
    monitor->SetNotice(&notice);
    monitor->SetEmailSettings(email);
    monitor->LoadIntervalsAndThresholds();
    monitor->RestoreSlots();
}

void MonitorRig::SetUpEmail(int port) {
    EmailSettings email;
    email.returnAddress = QString::fromLatin1(kSender);
    email.alertRecipient = QString::fromLatin1(kAlertTo);
    email.recoveryRecipient = QString::fromLatin1(kRecoveryTo);
    if (port > 0)
        email.server = QStringLiteral("127.0.0.1:%1").arg(port);
    SettingsStore::WriteString(QString::fromLatin1(SettingsStore::kSettings),
                               QStringLiteral("SMTP"), email.server);
    smtp->SetSender(email.senderName, email.returnAddress);
    if (monitor)
        monitor->SetEmailSettings(email);
}

void MonitorRig::StoreSlot(int slot, const QString& connectionString, const QString& title) {
    const QString settings = QString::fromLatin1(SettingsStore::kSettings);
    SettingsStore::WriteString(settings, SlotKeys::LastDatabase(slot), connectionString);
    SettingsStore::WriteString(settings, SlotKeys::LastDatabaseTitle(slot), title);
    monitor->RestoreSlots();
}

// Log lines without their "<date time> " prefix.
static QStringList ReadLogMessages(const QString& path) {
    QStringList out;
    static const QRegularExpression prefix(QStringLiteral(R"(^<\d\d/\d\d/\d{4} \d\d:\d\d:\d\d> )"));
    for (QString line : QString::fromUtf8(TestSupport::ReadFile(path)).split("\r\n"))
        if (!line.isEmpty())
            out << line.remove(prefix);
    return out;
}

QStringList MonitorRig::AccessLines() const {
    return ReadLogMessages(accessLog);
}
QStringList MonitorRig::ErrorLines() const {
    return ReadLogMessages(errorLog);
}

bool IsStamp(const QString& text) {
    static const QRegularExpression stamp(
        QStringLiteral(R"(^ on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d$)"));
    return stamp.match(text).hasMatch();
}
