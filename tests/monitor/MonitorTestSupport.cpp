#include "tests/monitor/MonitorTestSupport.h"

#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <chrono>

namespace {
RecordingView::Call Make(const char* what, int slot = -1, int field = -1) {
    RecordingView::Call c;
    c.what = QString::fromLatin1(what);
    c.slot = slot;
    c.field = field;
    return c;
}
} // namespace

void RecordingView::Add(const Call& call) {
    std::lock_guard lock(m_mutex);
    m_calls << call;
}

void RecordingView::SetLabelColour(int slot, int rgb) {
    Call c = Make("colour", slot);
    c.value = rgb;
    Add(c);
}

void RecordingView::AddGraphSample(int slot, double value, double mark) {
    Call c = Make("sample", slot);
    c.value = value;
    c.mark = mark;
    Add(c);
}

void RecordingView::SetGraphLegend(int slot, const QStringList& texts) {
    Call c = Make("legend", slot);
    c.texts = texts;
    Add(c);
}

void RecordingView::SetGraphScale(int slot, double scale) {
    Call c = Make("scale", slot);
    c.value = scale;
    Add(c);
}

void RecordingView::SetSlotText(int slot, SlotField field, const QString& text) {
    Call c = Make("text", slot, static_cast<int>(field));
    c.text = text;
    Add(c);
}

void RecordingView::SetTrayIcon(int iconResource, const QString& tip) {
    Call c = Make("tray");
    c.value = iconResource;
    c.text = tip;
    Add(c);
}

void RecordingView::ResetGraph(int slot) {
    Add(Make("resetGraph", slot));
}

void RecordingView::SetSlotCaptions(int slot, const QString& group, const QString& button) {
    Call c = Make("captions", slot);
    c.texts = {group, button};
    Add(c);
}

QString RecordingView::ThresholdText(int slot) const {
    std::lock_guard lock(m_mutex);
    return thresholdTexts[slot];
}

QString RecordingView::IntervalText(int slot) const {
    std::lock_guard lock(m_mutex);
    return intervalTexts[slot];
}

void RecordingView::SetIntervalText(int slot, const QString& text) {
    {
        std::lock_guard lock(m_mutex);
        intervalTexts[slot] = text;
    }
    Call c = Make("intervalText", slot);
    c.text = text;
    Add(c);
}

void RecordingView::HideWindow() {
    Add(Make("hide"));
}

void RecordingView::RunEmailSettingsPrompt() {
    Add(Make("prompt"));
    if (onPrompt)
        onPrompt();
}

QList<RecordingView::Call> RecordingView::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

QList<RecordingView::Call> RecordingView::CallsFor(int slot) const {
    QList<Call> out;
    for (const Call& c : Calls())
        if (c.slot == slot)
            out << c;
    return out;
}

void RecordingView::Clear() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

QString RecordingView::Text(int slot, SlotField field) const {
    QString text;
    for (const Call& c : Calls())
        if (c.what == u"text" && c.slot == slot && c.field == static_cast<int>(field))
            text = c.text;
    return text;
}

bool RecordingView::HasText(int slot, SlotField field) const {
    for (const Call& c : Calls())
        if (c.what == u"text" && c.slot == slot && c.field == static_cast<int>(field))
            return true;
    return false;
}

int RecordingView::LastColour(int slot) const {
    int colour = 0x1000000;
    for (const Call& c : Calls())
        if (c.what == u"colour" && c.slot == slot)
            colour = static_cast<int>(c.value);
    return colour;
}

QStringList RecordingView::Legend(int slot) const {
    QStringList legend;
    for (const Call& c : Calls())
        if (c.what == u"legend" && c.slot == slot)
            legend = c.texts;
    return legend;
}

double RecordingView::Scale(int slot) const {
    double scale = -1;
    for (const Call& c : Calls())
        if (c.what == u"scale" && c.slot == slot)
            scale = c.value;
    return scale;
}

ConnectGate::ConnectGate() {
    CDatabaseProbe::SetConnectHookForTesting([this] {
        std::unique_lock lock(m_mutex);
        ++m_entered;
        ++m_inside;
        m_maxInside = std::max(m_maxInside, m_inside);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(m_mutex);
            if (m_entered >= count)
                return true;
        }
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    std::lock_guard lock(m_mutex);
    return m_entered >= count;
}

int ConnectGate::Entered() const {
    std::lock_guard lock(m_mutex);
    return m_entered;
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
    // A poll cut off at shutdown may still hold the client; the notice outlives it here only if
    // it has ended, so give stragglers their time.
    for (int i = 0; i < 200 && (log.use_count() > 1 || smtp.use_count() > 1); ++i)
        QThread::msleep(10);
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
    SettingsStore::WriteString(settings, QStringLiteral("lastDatabase%1").arg(slot),
                               connectionString);
    SettingsStore::WriteString(settings, QStringLiteral("lastDatabaseTitle%1").arg(slot), title);
    monitor->RestoreSlots();
}

QStringList MonitorRig::AccessLines() const {
    return ReadLogMessages(accessLog);
}
QStringList MonitorRig::ErrorLines() const {
    return ReadLogMessages(errorLog);
}

QStringList ReadLogMessages(const QString& path) {
    QFile f(path);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    static const QRegularExpression prefix(QStringLiteral(R"(^<\d\d/\d\d/\d{4} \d\d:\d\d:\d\d> )"));
    for (const QByteArray& raw : f.readAll().split('\n')) {
        QString line = QString::fromUtf8(raw);
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        line.remove(prefix);
        out << line;
    }
    return out;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

QString SubjectOf(const QByteArray& data) {
    for (const QByteArray& line : data.split('\n')) {
        if (line.startsWith("Subject: "))
            return QString::fromUtf8(line.mid(9)).trimmed();
        if (line.trimmed().isEmpty())
            break;
    }
    return {};
}

QString BodyOf(const QByteArray& data) {
    const qsizetype split = data.indexOf("\r\n\r\n");
    if (split < 0)
        return {};
    QString body = QString::fromUtf8(data.mid(split + 4));
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return body;
}

bool IsStamp(const QString& text) {
    static const QRegularExpression stamp(
        QStringLiteral(R"(^ on \d\d/\d\d/\d{4} at \d\d:\d\d:\d\d$)"));
    return stamp.match(text).hasMatch();
}
