#include "tests/monitor/MonitorTestSupport.h"

#include "probe/DatabaseProbe.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"

#include <QFile>
#include <QRegularExpression>

#include <chrono>
#include <thread>

RecordingView::Call RecordingView::Last(const char* what, int slot, int field) const {
    Call last;
    for (const Call& c : Calls())
        if (c.what == QLatin1String(what) && c.slot == slot && (field < 0 || c.field == field))
            last = c;
    return last;
}

ConnectGate::ConnectGate(SteppedConnector& connector) : m_connector(connector) {
    m_connector.SetStep([this] {
        ++entered;
        for (int now = ++inside, max = maxInside; now > max;)
            maxInside.compare_exchange_weak(max, now);
        while (!open)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --inside;
    });
}

ConnectGate::~ConnectGate() {
    open = true;
    // Calls still inside the hook keep a copy of it; wait until they have left.
    WaitUntil([this] { return inside == 0; }, 30000);
    m_connector.SetStep({});
}

MonitorRig::MonitorRig() {
    OdbcTestEnv::Install();
    // Each test starts from an empty store; titles' sections would otherwise carry over.
    QFile::remove(SettingsStore::FilePath());
    log->SetSettings(LogSettings{accessLog, errorLog, true, true});
    smtp->SetTimeouts(10000, 10000);
    SetUpEmail(0);
    Restart();
}

MonitorRig::~MonitorRig() {
    view.presenter = nullptr;
    presenter.reset();
    monitor.reset();
    // A poll cut off at shutdown may still hold the log writer or client, which report through
    // the notice: give stragglers their time.
    WaitUntil([&] { return log.use_count() == 1 && smtp.use_count() == 1; }, 2000);
}

void MonitorRig::Restart() {
    const EmailSettings email = monitor ? monitor->Email() : EmailSettings{};
    view.presenter = nullptr;
    if (presenter)
        presenter->Drain(); // what the old monitor queued is shown before it goes
    presenter.reset();
    monitor.reset();
    options.probe.connector = connector;
    monitor = std::make_unique<SlotMonitor>(log, smtp, options);
    ends.clear();
    QObject::connect(monitor->Signals(), &MonitorSignals::delivered, [this](const MonitorEvent& e) {
        if (const auto* end = std::get_if<PollEnded>(&e))
            ends << *end;
    });
    presenter = std::make_unique<SlotPresenter>(*monitor, view, 0);
    view.presenter = presenter.get();
    monitor->SetNotice(&notice);
    monitor->SetEmailSettings(email);
    monitor->LoadIntervalsAndThresholds();
    monitor->RestoreSlots();
}

QList<PollEnded> MonitorRig::Ends() {
    monitor->DeliverEvents();
    return ends;
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
    if (monitor)
        monitor->SetEmailSettings(email);
}

void MonitorRig::StoreSlot(int slot, const QString& connectionString, const QString& title) {
    Config::Write(Config::kLastDatabase[slot], connectionString);
    Config::Write(Config::kLastDatabaseTitle[slot], title);
    monitor->RestoreSlots();
}

QStringList MonitorRig::LogMessages(const QString& path) {
    QStringList out;
    static const QRegularExpression prefix(QStringLiteral(R"(^<\d\d/\d\d/\d{4} \d\d:\d\d:\d\d> )"));
    for (QString line : QString::fromUtf8(TestSupport::ReadFile(path)).split("\r\n"))
        if (!line.isEmpty())
            out << line.remove(prefix);
    return out;
}

bool IsStamp(const QString& text) {
    static const QRegularExpression stamp(
        QStringLiteral(R"(^ on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d$)"));
    return stamp.match(text).hasMatch();
}
