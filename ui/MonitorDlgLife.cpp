// The window's life: start-up values, initialisation from the store, the modal run, hiding and
// the orderly end.
#include "ui/MonitorDlg.h"

#include "controls/Icons.h"
#include "controls/TrayIcon.h"
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "platform/MailPasswordKeyring.h"
#include "platform/Platform.h"
#include "settings/EmailSettings.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "ui/CommandActions.h"
#include "ui/LogonStart.h"
#include "ui/NoticeBox.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

// ---------------------------------------------------------------------------------------------
// Start-up values and lookups

void CMonitorDlg::SetInterval(int slot, int minutes) {
    m_parts.monitor->SetInterval(slot, minutes);
}
void CMonitorDlg::SetThreshold(int slot, int ms) {
    m_parts.monitor->SetThreshold(slot, ms);
}
int CMonitorDlg::Interval(int slot) const {
    return m_parts.monitor->Interval(slot);
}
int CMonitorDlg::Threshold(int slot) const {
    return m_parts.monitor->Threshold(slot);
}

void CMonitorDlg::SetProgramDirectory(const QString& dir) {
    m_programDirectory = dir;
}

QString CMonitorDlg::ProgramPath() const {
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return QDir(m_programDirectory).filePath(exe.isEmpty() ? QStringLiteral("trellion") : exe);
}

void CMonitorDlg::SetHelpHook(std::function<void(quint32, int)> hook) {
    m_helpHook = std::move(hook);
}

QAction* CMonitorDlg::Action(int id) const {
    return m_commandActions->Action(id);
}
QWidget* CMonitorDlg::Control(int id) const {
    return m_controls.value(id, nullptr);
}
INotice* CMonitorDlg::Notice() const {
    return m_parts.notice;
}

bool CMonitorDlg::TrayAvailable() const {
    return m_tray->IsShown();
}

QString CMonitorDlg::DefaultLogFolder(const QString& programDirectory) {
    // The installed program never logs into a system folder, not even as root.
    const QString installed =
        QFileInfo(QStringLiteral(TRELLION_INSTALL_BINDIR)).canonicalFilePath();
    if (CurrentPlatform().IsWritableFolder(programDirectory) &&
        (installed.isEmpty() || QFileInfo(programDirectory).canonicalFilePath() != installed))
        return programDirectory;
    const QString stateHome = CurrentPlatform().StateFolder();
    const QString state = stateHome + QStringLiteral("/Trellion");
    QDir().mkpath(state);
    return state;
}

// ---------------------------------------------------------------------------------------------
// Initialisation and destruction

bool CMonitorDlg::OnInitDialog() {
    if (m_initialised)
        return true;
    m_initialised = true;

    // The intervals and thresholds appear in their edit boxes.
    for (int i = 0; i < 4; ++i) {
        m_slots[i].interval->setText(QString::number(m_parts.monitor->Interval(i)));
        m_slots[i].threshold->setText(QString::number(m_parts.monitor->Threshold(i)));
    }
    m_alwaysOnTop = false;
    m_details = true;

    m_tray->UpdateIconFromResource(IconId::Program);
    setWindowIcon(TrellionIcon(IconId::Program));

    const int x = Config::Read(Config::kLocX);
    const int y = Config::Read(Config::kLocY);
    const bool placed = x != -32 && y != -32 && x > 0 && x < 2000 && y > 0 && y < 2000;
    if (placed) {
        move(x, y);
        raise();
    }

    m_compact = Config::Read(Config::kCompactMode);
    if (Config::Read(Config::kAlwaysOnTop))
        OnAlwaysOnTop();
    // Inverted here; the Show Details command below turns it back and lays the window out.
    m_details = !Config::Read(Config::kViewDetails);
    m_startHidden = Config::Read(Config::kStartHidden);
    m_autoStart = Config::Read(Config::kAutoStart);
    Action(ID_START_HIDDEN)->setChecked(m_startHidden);
    Action(ID_AUTO_START)->setChecked(m_autoStart);
    LogonStart::Apply(m_autoStart, ProgramPath(), m_parts.notice);

    m_doAccessLog = Config::Read(Config::kDoAccessLog);
    m_doErrorLog = Config::Read(Config::kDoErrorLog);

    const EmailSettings email = EmailSettingsStore::Load();
    m_parts.monitor->SetEmailSettings(email);
    // A password moved to the keyring comes back in the background; no poll waits for it.
    if (email.authentication && email.password.isEmpty())
        m_parts.keyring->StartRead([this](const QString& password) {
            EmailSettings held = m_parts.monitor->Email();
            held.password = password;
            m_parts.monitor->SetEmailSettings(held);
        });

    const QString logFolder = DefaultLogFolder(m_programDirectory);
    m_accessLogPath = Config::Read(Config::kAccessLogFile);
    if (m_accessLogPath.isEmpty()) {
        m_accessLogPath = QDir(logFolder).filePath(QStringLiteral("access.log"));
        Config::Write(Config::kAccessLogFile, m_accessLogPath);
    }
    m_errorLogPath = Config::Read(Config::kErrorLogFile);
    if (m_errorLogPath.isEmpty()) {
        m_errorLogPath = QDir(logFolder).filePath(QStringLiteral("error.log"));
        Config::Write(Config::kErrorLogFile, m_errorLogPath);
    }
    LogSettings logs;
    logs.accessLogPath = m_accessLogPath;
    logs.errorLogPath = m_errorLogPath;
    logs.doAccessLog = m_doAccessLog;
    logs.doErrorLog = m_doErrorLog;
    m_parts.log->SetSettings(logs);

    // No connection attempt here: a database that does not answer must not hold the window
    // back. The first poll, on its own thread, is the first contact.
    m_parts.monitor->RestoreSlots();
    for (int i = 0; i < 4; ++i)
        EnableSlotCommands(i);

    OnShowDetails();
    // No stored place: the middle of the primary screen, where the desktop would put a new
    // window, rather than its corner.
    if (const QScreen* primary = QGuiApplication::primaryScreen(); !placed && primary) {
        const QRect desktop = primary->availableGeometry();
        QRect frame(QPoint(), m_outerSize.boundedTo(desktop.size()));
        frame.moveCenter(desktop.center());
        // A window larger than the screen keeps its title bar and left edge on it.
        move(std::max(frame.left(), desktop.left()), std::max(frame.top(), desktop.top()));
    }

    m_parts.scheduler->Start();
    m_slots[0].select->setFocus();
    return true;
}

void CMonitorDlg::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    // Polls still running must not touch the slots being released.
    m_parts.scheduler->Shutdown(SlotMonitor::kShutdownWaitMs);
    for (int i = 0; i < 4; ++i)
        m_parts.monitor->SetProbe(i, nullptr);

    const QPoint pos = this->pos();
    Config::Write(Config::kLocX, pos.x());
    Config::Write(Config::kLocY, pos.y());

    // The location list is never filled, but files have always ended it with an empty entry.
    SettingsStore::WriteString(QLatin1String(Config::kLocationSection), QStringLiteral("0"),
                               QString());

    // A window started without the count (not through the program) counts itself as the one.
    Config::Write(Config::kNumOpen, Config::Read(Config::kNumOpen, 1) - 1);
}

int CMonitorDlg::RunModal() {
    OnInitDialog();
    if (!m_ended)
        show();
    int result = QDialog::Rejected;
    if (!m_ended) {
        QEventLoop loop;
        m_loop = &loop;
        result = loop.exec(QEventLoop::DialogExec);
        m_loop = nullptr;
    }
    OnDestroy();
    return result;
}

void CMonitorDlg::done(int r) {
    if (m_ended)
        return;
    m_ended = true;
    QDialog::done(r);
    if (m_loop)
        m_loop->exit(r);
}

void CMonitorDlg::EndProgram() {
    // A modal dialog open over the window runs its own loop; cancel every such dialog so that
    // the signal or the session end is not held up until the user answers it.
    for (int guard = 0; guard < 16; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == this)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    done(QDialog::Rejected);
}

void CMonitorDlg::accept() {
    if (!m_ended)
        m_parts.scheduler->PollNow(0);
}

void CMonitorDlg::reject() {
    // A stray Escape must not stop the monitoring: it does what the close box does.
    if (!m_ended)
        HideToTray();
}

void CMonitorDlg::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            accept();
            return;
        }
        if (event->key() == Qt::Key_Escape) {
            reject();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void CMonitorDlg::closeEvent(QCloseEvent* event) {
    if (m_exitRequested) {
        event->accept();
        done(QDialog::Rejected);
        return;
    }
    event->ignore();
    HideToTray();
}

void CMonitorDlg::HideToTray() {
    // Without a tray the hidden window could not be brought back: minimise instead.
    if (TrayAvailable())
        hide();
    else
        showMinimized();
}
