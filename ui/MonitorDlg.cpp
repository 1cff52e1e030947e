#include "ui/MonitorDlg.h"

#include "app/ProductInfo.h"
#include "controls/AccessGraph.h"
#include "controls/Icons.h"
#include "controls/StatusLabel.h"
#include "controls/TrayIcon.h"
#include "controls/TrayShell.h"
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/PollScheduler.h"
#include "monitor/SlotMonitor.h"
#include "monitor/SlotStatus.h"
#include "notify/DesktopNotifier.h"
#include "settings/SettingsStore.h"
#include "ui/DialogCommands.h"
#include "ui/HelpWindow.h"
#include "ui/LogonStart.h"
#include "ui/MailPasswordKeyring.h"
#include "ui/NoticeBox.h"
#include "ui/SlotNumberBoxes.h"
#include "ui/UpDown.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>

#include <unistd.h>

namespace {

using SettingsStore::kSettings;

int ReadInt(const char* key, int def) {
    return SettingsStore::ReadInt(kSettings, QLatin1String(key), def);
}
QString ReadString(const char* key, const QString& def = {}) {
    return SettingsStore::ReadString(kSettings, QLatin1String(key), def);
}
void WriteInt(const char* key, int value) {
    SettingsStore::WriteInt(kSettings, QLatin1String(key), value);
}

// Geometry of one slot's group box. Four boxes fill the full height; the compact heights cut
// the window below the first one, two or three.
constexpr int kSlotTop = 4;
constexpr int kSlotPitch = 146;
constexpr int kSlotHeight = 142;
constexpr int kGraphHeight = 116;
// The graph keeps at least this width in the wide window; the narrow window gives it all.
constexpr int kGraphMinWidth = 290;

} // namespace

CMonitorDlg::CMonitorDlg(std::unique_ptr<ITrayShell> trayShell, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Trellion"));
    setWindowIcon(TrellionIcon(IconId::Program));
    setProperty("controlId", 102);
    // The program lives in the tray: hiding the last window must not end the event loops.
    QApplication::setQuitOnLastWindowClosed(false);

    m_notice = std::make_shared<CNoticeBox>(this);
    // The writer and the client report through the notice: keep it alive as long as either,
    // which a poll still running at shutdown may hold past the window.
    auto notice = m_notice;
    m_log = std::shared_ptr<LogWriter>(new LogWriter(notice.get()),
                                       [notice](LogWriter* p) { delete p; });
    m_smtp = std::shared_ptr<SmtpClient>(new SmtpClient(notice.get()),
                                         [notice](SmtpClient* p) { delete p; });
    m_keyring = new MailPasswordKeyring(this);
    m_monitor = std::make_unique<SlotMonitor>(m_log, m_smtp);
    // Alerts on the desktop beside the mail; mail failures of the polls reach the same notice.
    auto desktop =
        std::make_shared<DesktopNotifier>(TrellionIcon(IconId::Program).pixmap(64, 64).toImage());
    m_monitor->SetDesktopNotifier(desktop);
    connect(desktop->Link(), &DesktopNotifierLink::activated, this, [this] { OnCommand(ID_OPEN); });
    // A log that stays shut, and its reopening, reach the user on both channels too.
    m_log->SetFaultHandler([notice, desktop](const LogFault& fault) {
        notice->ShowNotice(fault.Text());
        desktop->Notify(fault.Summary(), fault.Text(), IDesktopNotifier::Urgency::Normal,
                        QStringLiteral("log ") + fault.path);
    });
    m_monitor->SetNotice(m_notice.get());
    m_scheduler = std::make_unique<PollScheduler>(m_monitor.get());
    connect(m_scheduler.get(), &PollScheduler::CaptionsChanged, this,
            &CMonitorDlg::SetSlotCaptions);
    connect(m_scheduler.get(), &PollScheduler::HideRequested, this, &CMonitorDlg::HideWindow);
    connect(m_scheduler.get(), &PollScheduler::PollStarted, this, &CMonitorDlg::ApplyTypedThreshold,
            Qt::DirectConnection);
    connect(m_scheduler.get(), &PollScheduler::EmailPromptRequested, this,
            &CMonitorDlg::RunEmailSettingsPrompt, Qt::DirectConnection);
    m_commands = std::make_unique<CDatabaseCommands>(m_scheduler.get(), m_monitor.get(), this,
                                                     m_notice.get(), this);

    BuildMenus();
    BuildSlots();

    // Creation: the tray icon gets this window as its owner and shows the program's icon.
    m_tray = std::make_unique<CTrayIcon>(CTrayIcon::kTrayMenu, std::move(trayShell));
    connect(m_tray.get(), &CTrayIcon::commandRequested, this, [this](int id) { OnCommand(id); });
    m_tray->BindWindow(this, 0x400);
    m_tray->UpdateIconWithTip(IconId::Program, QStringLiteral("Trellion"));
    // What the polls found reaches the slots and the tray through the presenter alone.
    m_presenter = std::make_unique<SlotPresenter>(*m_monitor, *this);
    // Started at logon, the program may come before the panel: until a tray takes the icon,
    // look again every few seconds for a while (every later tray update looks as well).
    m_tray->LookForTray(kTrayLookEveryMs, kTrayLookForMs);

    m_programDirectory = QCoreApplication::applicationDirPath();
    resize(kWidthDetails, kHeightFull);
}

CMonitorDlg::~CMonitorDlg() {
    if (m_initialised && !m_destroyed)
        OnDestroy();
    // The boxes apply typed values on losing the focus, which the closing window still sends.
    for (SlotWidgets& s : m_slots) {
        delete s.numbers;
        s.numbers = nullptr;
    }
    // Before the tray, the controls and the notice go: no poll may reach them any more.
    m_commands.reset();
    m_scheduler.reset();
    m_presenter.reset();
    m_monitor.reset();
    // The help window has no parent; it ends with the program instead of outliving it.
    delete CHelpWindow::Current();
}

// ---------------------------------------------------------------------------------------------
// Construction of the menus and the slots

QAction* CMonitorDlg::AddCommand(QMenu* menu, const QString& text, int id, bool checkable) {
    QAction* action = menu->addAction(text);
    action->setProperty("controlId", id);
    action->setCheckable(checkable);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_actions.insert(id, action);
    return action;
}

void CMonitorDlg::Tag(QWidget* widget, int id) {
    widget->setProperty("controlId", id);
    m_controls.insert(id, widget);
}

void CMonitorDlg::BuildMenus() {
    m_menuBar = new QMenuBar(this);
    m_menuBar->setProperty("controlId", 129);
    // The check marks follow the flags: each handler sets its mark after the toggle.
    QMenu* trellion = m_menuBar->addMenu(QStringLiteral("Trellion"));
    AddCommand(trellion, QStringLiteral("Show Details"), ID_SHOW_DETAILS, true);
    AddCommand(trellion, QStringLiteral("Compact Mode"), ID_COMPACT_MODE, true);
    trellion->addSeparator();
    AddCommand(trellion, QStringLiteral("Start Hidden"), ID_START_HIDDEN, true);
    AddCommand(trellion, QStringLiteral("Start at Login"), ID_AUTO_START, true);
    AddCommand(trellion, QStringLiteral("&Hide"), ID_HIDE);
    AddCommand(trellion, QStringLiteral("&Always on Top"), ID_ALWAYS_ON_TOP, true);
    trellion->addSeparator();
    AddCommand(trellion, QStringLiteral("E&xit"), ID_EXIT);

    QMenu* view = m_menuBar->addMenu(QStringLiteral("View"));
    AddCommand(view, QStringLiteral("Access log"), ID_ACCESS_LOG);
    AddCommand(view, QStringLiteral("Error log"), ID_ERROR_LOG);

    QMenu* setup = m_menuBar->addMenu(QStringLiteral("Setup"));
    AddCommand(setup, QStringLiteral("Email settings"), ID_EMAIL_SETTINGS);
    AddCommand(setup, QStringLiteral("Test Email Settings"), ID_TEST_EMAIL);
    // The polls read "DesktopNotify" whenever they would notify: no member to keep in step.
    QAction* desktop = setup->addAction(QStringLiteral("Desktop Notifications"));
    desktop->setObjectName(QStringLiteral("desktopNotifications"));
    desktop->setCheckable(true);
    desktop->setChecked(ReadInt("DesktopNotify", 1) != 0);
    connect(desktop, &QAction::toggled, this,
            [](bool on) { WriteInt("DesktopNotify", on ? 1 : 0); });
    setup->addSeparator();
    AddCommand(setup, QStringLiteral("Log settings"), ID_LOG_SETTINGS);
    setup->addSeparator();
    for (int i = 0; i < 4; ++i)
        AddCommand(setup, QStringLiteral("Reset Database %1").arg(i + 1), ID_RESET_DATABASE[i]);

    QMenu* help = m_menuBar->addMenu(QStringLiteral("Help"));
    AddCommand(help, QStringLiteral("Contents"), ID_HELP_CONTENTS);
    help->addSeparator();
    AddCommand(help, QStringLiteral("On the web..."), ID_ON_THE_WEB);
    help->addSeparator();
    AddCommand(help, QStringLiteral("Tell a friend..."), ID_TELL_A_FRIEND);
    help->addSeparator();
    AddCommand(help, QStringLiteral("&About"), ID_ABOUT);
}

void CMonitorDlg::BuildSlots() {
    // On a screen too small for the window (a large scale on a small display) the window is cut
    // to the screen and the slots scroll inside it, so every slot stays reachable; Compact Mode
    // would not do, as it keeps the full height once all four slots are in use.
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("slotScroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(false);
    m_content = new QWidget;
    m_scroll->setWidget(m_content);
    for (int i = 0; i < 4; ++i) {
        SlotWidgets& s = m_slots[i];
        s.group = new QGroupBox(QStringLiteral("Database %1").arg(i + 1), m_content);
        Tag(s.group, IDC_GROUP[i]);

        auto* row = new QHBoxLayout(s.group);
        row->setContentsMargins(8, 4, 8, 6);
        row->setSpacing(8);

        s.graph = new CAccessGraph(s.group);
        // The graph takes what the details leave; its own hint must not push them out.
        s.graph->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        s.graph->setMinimumWidth(kGraphMinWidth);
        s.graph->setFixedHeight(kGraphHeight);
        Tag(s.graph, IDC_GRAPH[i]);
        row->addWidget(s.graph, 1);

        s.details = new QWidget(s.group);
        row->addWidget(s.details, 0);
        auto* cols = new QHBoxLayout(s.details);
        cols->setContentsMargins(0, 0, 0, 0);
        cols->setSpacing(10);

        // Commands and the two numbers.
        auto* commands = new QGridLayout;
        commands->setSpacing(2);
        commands->setVerticalSpacing(2);
        s.select = new QPushButton(QStringLiteral("Select Database"), s.details);
        s.poll = new QPushButton(QStringLiteral("Poll"), s.details);
        s.del = new QPushButton(QStringLiteral("Del"), s.details);
        Tag(s.select, IDC_SELECT[i]);
        Tag(s.poll, IDC_POLL[i]);
        Tag(s.del, IDC_DEL[i]);
        for (QPushButton* b : {s.select, s.poll, s.del}) {
            // Enter is the window's OK action wherever the focus is.
            b->setAutoDefault(false);
            b->setDefault(false);
        }
        // Narrower than the style's default button width, so that the fields keep their room.
        const int column =
            std::max(s.select->sizeHint().width(),
                     fontMetrics().horizontalAdvance(QStringLiteral("Polling interval")));
        s.select->setFixedWidth(column);
        s.poll->setFixedWidth((column - 2) / 2);
        s.del->setFixedWidth((column - 2) / 2);
        commands->addWidget(s.select, 0, 0, 1, 4);
        commands->addWidget(s.poll, 1, 0, 1, 2);
        commands->addWidget(s.del, 1, 2, 1, 2);

        commands->addWidget(new QLabel(QStringLiteral("Polling interval"), s.details), 2, 0, 1, 4);
        s.interval = new QLineEdit(s.details);
        s.interval->setFixedWidth(40);
        Tag(s.interval, IDC_INTERVAL[i]);
        s.spin = new CUpDown(s.details);
        s.spin->setFixedSize(16, s.interval->sizeHint().height());
        Tag(s.spin, IDC_SPIN[i]);
        commands->addWidget(s.interval, 3, 0);
        commands->addWidget(s.spin, 3, 1);
        commands->addWidget(new QLabel(QStringLiteral("minutes "), s.details), 3, 2, 1, 2);

        commands->addWidget(new QLabel(QStringLiteral("Warning over"), s.details), 4, 0, 1, 4);
        s.threshold = new QLineEdit(s.details);
        s.threshold->setFixedWidth(62);
        Tag(s.threshold, IDC_THRESHOLD[i]);
        commands->addWidget(s.threshold, 5, 0, 1, 2);
        commands->addWidget(new QLabel(QStringLiteral("ms"), s.details), 5, 2, 1, 2);
        commands->setRowStretch(6, 1);
        cols->addLayout(commands);
        s.numbers = new CSlotNumberBoxes(i, s.interval, kIntervalMax, s.threshold, kThresholdMax,
                                         m_scheduler.get(), m_monitor.get(), this);

        // The five fields.
        auto* fields = new QGridLayout;
        fields->setHorizontalSpacing(6);
        fields->setVerticalSpacing(3);
        auto field = [&](int r, const char* caption, QLabel* value, int id) {
            fields->addWidget(new QLabel(QLatin1String(caption), s.details), r, 0);
            value->setParent(s.details);
            value->setFrameShape(QFrame::Panel);
            value->setFrameShadow(QFrame::Sunken);
            value->setMinimumWidth(fontMetrics().horizontalAdvance(
                                       QStringLiteral("(recovery not sent, missing email setup)")) +
                                   8);
            Tag(value, id);
            fields->addWidget(value, r, 1);
        };
        s.lastAccess = new CStatusLabel(s.details);
        s.bestAccess = new QLabel;
        s.worstAccess = new QLabel;
        s.lastAlert = new QLabel;
        s.lastRecovery = new QLabel;
        field(0, "Last access:", s.lastAccess, IDC_LAST_ACCESS[i]);
        field(1, "Best access:", s.bestAccess, IDC_BEST_ACCESS[i]);
        field(2, "Worst access:", s.worstAccess, IDC_WORST_ACCESS[i]);
        field(3, "Last alert:", s.lastAlert, IDC_LAST_ALERT[i]);
        field(4, "Last recovery:", s.lastRecovery, IDC_LAST_RECOVERY[i]);
        fields->setRowStretch(5, 1);
        cols->addLayout(fields);

        s.poll->setEnabled(false);
        s.del->setEnabled(false);
        connect(s.select, &QPushButton::clicked, this, [this, i] { OnCommand(IDC_SELECT[i]); });
        connect(s.poll, &QPushButton::clicked, this, [this, i] { OnCommand(IDC_POLL[i]); });
        connect(s.del, &QPushButton::clicked, this, [this, i] { OnCommand(IDC_DEL[i]); });
        connect(s.spin, &CUpDown::deltaPos, this, [this, i](int delta) { OnSpin(i, delta); });
    }
}

void CMonitorDlg::LayoutContent() {
    const int menuHeight = m_menuBar->sizeHint().height();
    m_menuBar->setGeometry(0, 0, width(), menuHeight);
    const QSize room(width(), std::max(0, height() - menuHeight));
    m_scroll->setGeometry(QRect(QPoint(0, menuHeight), room));
    // The slots keep their size whatever the window's: a compact window ends under the last
    // slot it shows; a window cut to the screen scrolls to the rest.
    const int slotsHeight = m_compactSlots > 0 ? m_compactSlots * kSlotPitch + kSlotTop
                                               : kSlotTop + 3 * kSlotPitch + kSlotHeight + kSlotTop;
    int slotsWidth = std::max(room.width(), m_layoutWidth);
    if (slotsHeight > room.height())
        slotsWidth = std::max(room.width() - m_scroll->verticalScrollBar()->sizeHint().width(),
                              m_layoutWidth);
    m_content->resize(slotsWidth, slotsHeight);
    for (int i = 0; i < 4; ++i)
        m_slots[i].group->setGeometry(4, kSlotTop + i * kSlotPitch, slotsWidth - 8, kSlotHeight);
}

void CMonitorDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    LayoutContent();
}

// ---------------------------------------------------------------------------------------------
// Start-up values and lookups

void CMonitorDlg::SetInterval(int slot, int minutes) {
    m_monitor->SetInterval(slot, minutes);
}
void CMonitorDlg::SetThreshold(int slot, int ms) {
    m_monitor->SetThreshold(slot, ms);
}
int CMonitorDlg::Interval(int slot) const {
    return m_monitor->Interval(slot);
}
int CMonitorDlg::Threshold(int slot) const {
    return m_monitor->Threshold(slot);
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
    return m_actions.value(id, nullptr);
}
QWidget* CMonitorDlg::Control(int id) const {
    return m_controls.value(id, nullptr);
}
INotice* CMonitorDlg::Notice() const {
    return m_notice.get();
}

bool CMonitorDlg::TrayAvailable() const {
    return m_tray->IsShown();
}

QString CMonitorDlg::DefaultLogFolder(const QString& programDirectory) {
    const QByteArray dir = QFile::encodeName(programDirectory);
    // The installed program never logs into a system folder, not even as root.
    const QString installed =
        QFileInfo(QStringLiteral(TRELLION_INSTALL_BINDIR)).canonicalFilePath();
    if (!programDirectory.isEmpty() && QFileInfo(programDirectory).isDir() &&
        ::access(dir.constData(), W_OK) == 0 &&
        (installed.isEmpty() || QFileInfo(programDirectory).canonicalFilePath() != installed))
        return programDirectory;
    // XDG_STATE_HOME, default ~/.local/state (Qt 6.4 has no standard location for it).
    QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    if (stateHome.isEmpty() || QDir::isRelativePath(stateHome))
        stateHome = QDir::homePath() + QStringLiteral("/.local/state");
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
        m_slots[i].interval->setText(QString::number(m_monitor->Interval(i)));
        m_slots[i].threshold->setText(QString::number(m_monitor->Threshold(i)));
    }
    m_alwaysOnTop = false;
    m_details = true;

    m_tray->UpdateIconFromResource(IconId::Program);
    setWindowIcon(TrellionIcon(IconId::Program));

    const int x = ReadInt("LocX", -32);
    const int y = ReadInt("LocY", -32);
    const bool placed = x != -32 && y != -32 && x > 0 && x < 2000 && y > 0 && y < 2000;
    if (placed) {
        move(x, y);
        raise();
    }

    m_compact = ReadInt("CompactMode", 0) != 0;
    if (ReadInt("AOT", 0) != 0)
        OnAlwaysOnTop();
    // Inverted here; the Show Details command below turns it back and lays the window out.
    m_details = ReadInt("ViewDetails", 1) == 0;
    m_startHidden = ReadInt("Hid", 0) != 0;
    m_autoStart = ReadInt("Auto", 1) != 0;
    Action(ID_START_HIDDEN)->setChecked(m_startHidden);
    Action(ID_AUTO_START)->setChecked(m_autoStart);
    LogonStart::Apply(m_autoStart, ProgramPath(), m_notice.get());

    m_doAccessLog = ReadInt("DoAccessLog", 1) != 0;
    m_doErrorLog = ReadInt("DoErrorLog", 1) != 0;

    EmailSettings email;
    email.senderName = ReadString("SMTPName", QStringLiteral("Trellion"));
    email.userName = ReadString("SMTPUsername");
    email.password = ReadString("SMTPPassword");
    email.server = ReadString("SMTP");
    email.authentication = ReadInt("SMTPAuth", 0) != 0;
    email.security = ReadInt("SMTPSecurity", 0);
    email.alertRecipient = ReadString("SMTPAlert");
    email.returnAddress = ReadString("SMTPEmail");
    email.recoveryRecipient = ReadString("SMTPRecovery");
    m_monitor->SetEmailSettings(email);
    m_smtp->SetSender(email.senderName, email.returnAddress);
    // A password moved to the keyring comes back in the background; no poll waits for it.
    if (email.authentication && email.password.isEmpty())
        m_keyring->StartRead(
            [smtp = m_smtp](const QString& password) { smtp->SetPassword(password); });

    const QString logFolder = DefaultLogFolder(m_programDirectory);
    m_accessLogPath = ReadString("AccessLogFile");
    if (m_accessLogPath.isEmpty()) {
        m_accessLogPath = QDir(logFolder).filePath(QStringLiteral("access.log"));
        SettingsStore::WriteString(kSettings, QStringLiteral("AccessLogFile"), m_accessLogPath);
    }
    m_errorLogPath = ReadString("ErrorLogFile");
    if (m_errorLogPath.isEmpty()) {
        m_errorLogPath = QDir(logFolder).filePath(QStringLiteral("error.log"));
        SettingsStore::WriteString(kSettings, QStringLiteral("ErrorLogFile"), m_errorLogPath);
    }
    LogSettings logs;
    logs.accessLogPath = m_accessLogPath;
    logs.errorLogPath = m_errorLogPath;
    logs.doAccessLog = m_doAccessLog;
    logs.doErrorLog = m_doErrorLog;
    m_log->SetSettings(logs);

    // No connection attempt here: a database that does not answer must not hold the window
    // back. The first poll, on its own thread, is the first contact.
    m_monitor->RestoreSlots();
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

    m_scheduler->Start();
    m_slots[0].select->setFocus();
    return true;
}

void CMonitorDlg::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    // Polls still running must not touch the slots being released.
    m_scheduler->Shutdown(SlotMonitor::kShutdownWaitMs);
    for (int i = 0; i < 4; ++i)
        m_monitor->SetProbe(i, nullptr);

    const QPoint pos = this->pos();
    WriteInt("LocX", pos.x());
    WriteInt("LocY", pos.y());

    int key = 0;
    for (const QString& entry : std::as_const(m_locationList)) {
        if (!entry.isEmpty())
            SettingsStore::WriteString(QStringLiteral("Location"), QString::number(key++), entry);
    }
    SettingsStore::WriteString(QStringLiteral("Location"), QString::number(key), QString());
    m_locationList.clear();

    WriteInt("NumOpen", ReadInt("NumOpen", 1) - 1);
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
        m_scheduler->PollNow(0);
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

// ---------------------------------------------------------------------------------------------
// Commands

void CMonitorDlg::OnCommand(int id) {
    switch (id) {
    case ID_OPEN:
        return OnOpen();
    case ID_EXIT:
        return OnExit();
    case ID_ABOUT:
        return OnAbout();
    case ID_ALWAYS_ON_TOP:
        return OnAlwaysOnTop();
    case ID_HIDE:
        return OnHide();
    case ID_START_HIDDEN:
        return OnStartHidden();
    case ID_SHOW_DETAILS:
        return OnShowDetails();
    case ID_COMPACT_MODE:
        return OnCompactMode();
    case ID_AUTO_START:
        return OnAutoStart();
    case ID_ON_THE_WEB:
        return OnOnTheWeb();
    case ID_HELP_CONTENTS:
        return OnHelpContents();
    case ID_EMAIL_SETTINGS:
        return OnEmailSettings();
    case ID_TEST_EMAIL:
        return OnTestEmail();
    case ID_LOG_SETTINGS:
        return OnLogSettings();
    case ID_ACCESS_LOG:
        return OnAccessLog();
    case ID_ERROR_LOG:
        return OnErrorLog();
    case ID_TELL_A_FRIEND:
        return OnTellAFriend();
    default:
        break;
    }
    for (int i = 0; i < 4; ++i) {
        if (id == ID_RESET_DATABASE[i])
            return OnResetDatabase(i);
        if (id == IDC_SELECT[i])
            return OnSelectDatabase(i);
        if (id == IDC_DEL[i])
            return OnDeleteDatabase(i);
        if (id == IDC_POLL[i])
            return OnPollButton(i);
    }
}

void CMonitorDlg::OnOpen() {
    showNormal();
    raise();
    activateWindow();
}

void CMonitorDlg::OnExit() {
    m_exitRequested = true;
    close();
}

void CMonitorDlg::OnAbout() {
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("About Trellion"));
    box.setIconPixmap(TrellionIcon(IconId::Program).pixmap(48, 48));
    box.setText(
        QStringLiteral("<b>%1</b> version %2")
            .arg(QLatin1String(ProductInfo::kProgramName), QLatin1String(TRELLION_VERSION)));
    box.setInformativeText(QLatin1String(ProductInfo::kDescription));
    box.setStandardButtons(QMessageBox::Ok);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.exec();
}

void CMonitorDlg::OnAlwaysOnTop() {
    m_alwaysOnTop = !m_alwaysOnTop;
    Action(ID_ALWAYS_ON_TOP)->setChecked(m_alwaysOnTop);
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, m_alwaysOnTop);
    // Changing a window flag hides the window; keep what it was.
    if (visible)
        show();
    WriteInt("AOT", m_alwaysOnTop ? 1 : 0);
}

void CMonitorDlg::OnHide() {
    HideToTray();
}

void CMonitorDlg::OnStartHidden() {
    m_startHidden = !m_startHidden;
    WriteInt("Hid", m_startHidden ? 1 : 0);
    Action(ID_START_HIDDEN)->setChecked(m_startHidden);
}

void CMonitorDlg::OnShowDetails() {
    m_details = !m_details;
    WriteInt("ViewDetails", m_details ? 1 : 0);
    ApplyWindowLayout();
}

void CMonitorDlg::OnCompactMode() {
    m_compact = !m_compact;
    WriteInt("CompactMode", m_compact ? 1 : 0);
    ApplyWindowLayout();
}

void CMonitorDlg::OnAutoStart() {
    m_autoStart = !m_autoStart;
    WriteInt("Auto", m_autoStart ? 1 : 0);
    Action(ID_AUTO_START)->setChecked(m_autoStart);
    LogonStart::Apply(m_autoStart, ProgramPath(), m_notice.get());
}

void CMonitorDlg::OnOnTheWeb() {
    OpenWebPage(this, QLatin1String(ProductInfo::kProductPageUrl));
}

void CMonitorDlg::OnHelpContents() {
    if (m_helpHook)
        m_helpHook(kHelpContext, CHelpWindow::kHelpContext);
    else
        CHelpWindow::Show(CHelpWindow::DefaultHelpFile(), kHelpContext, CHelpWindow::kHelpContext);
}

void CMonitorDlg::OnEmailSettings() {
    EmailSettings email = m_monitor->Email();
    RunEmailSettings(
        this, email, *m_smtp, DefaultDialogPrompt(),
        [this](const EmailSettings& accepted) { m_monitor->SetEmailSettings(accepted); },
        m_keyring);
}

void CMonitorDlg::OnTestEmail() {
    TestEmailSettings(this, m_monitor->Email(), *m_smtp);
}

void CMonitorDlg::OnLogSettings() {
    RunLogSettings(this, *m_log);
    const LogSettings logs = m_log->Settings();
    m_accessLogPath = logs.accessLogPath;
    m_errorLogPath = logs.errorLogPath;
    m_doAccessLog = logs.doAccessLog;
    m_doErrorLog = logs.doErrorLog;
}

void CMonitorDlg::OnAccessLog() {
    ShowAccessLog(this, *m_log);
}
void CMonitorDlg::OnErrorLog() {
    ShowErrorLog(this, *m_log);
}
void CMonitorDlg::OnTellAFriend() {
    RunTellFriend(this, m_monitor->Email(), *m_smtp);
}
void CMonitorDlg::OnResetDatabase(int slot) {
    m_commands->ResetSlotDisplay(slot);
}
void CMonitorDlg::OnSelectDatabase(int slot) {
    m_commands->SelectDatabase(slot);
}
void CMonitorDlg::OnDeleteDatabase(int slot) {
    m_commands->RemoveDatabase(slot);
}
void CMonitorDlg::OnPollButton(int slot) {
    m_commands->PollNow(slot);
}
void CMonitorDlg::OnSpin(int slot, int delta) {
    // Through the boxes, which hold the arrows to the box's range.
    m_slots[slot].numbers->Step(delta);
}

bool CMonitorDlg::AskYesNo(const QString& text) {
    return QMessageBox::question(this, QStringLiteral("Trellion"), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

// ---------------------------------------------------------------------------------------------
// Layout

bool CMonitorDlg::SlotHasProbe(int slot) const {
    return m_monitor->HasProbe(slot);
}

void CMonitorDlg::ApplyWindowLayout() {
    Action(ID_SHOW_DETAILS)->setChecked(m_details);
    QRect r = frameGeometry();
    if (m_details) {
        const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
        const QRect desktop = s ? s->geometry() : QRect(0, 0, 1 << 20, 1 << 20);
        const int oldRight = r.left() + r.width();
        r.setWidth(kWidthDetails);
        if (r.left() + r.width() > desktop.left() + desktop.width())
            r.moveLeft(oldRight - kWidthDetails);
    } else {
        r.setWidth(kWidthNarrow);
    }
    m_compactSlots = 0;
    if (m_compact) {
        Action(ID_COMPACT_MODE)->setChecked(true);
        // Cut below the last slot in use before the free ones at the end (slot 1 always shows).
        if (!SlotHasProbe(3)) {
            m_compactSlots = 3;
            if (!SlotHasProbe(2)) {
                m_compactSlots = 2;
                if (!SlotHasProbe(1))
                    m_compactSlots = 1;
            }
        }
    } else {
        Action(ID_COMPACT_MODE)->setChecked(false);
        r.setHeight(kHeightFull);
    }
    if (m_compactSlots > 0)
        r.setHeight(CompactInnerHeight() + frameGeometry().height() - geometry().height());
    for (const SlotWidgets& s : m_slots)
        s.details->setVisible(m_details);

    move(r.topLeft());
    m_outerSize = r.size();
    FitOuterSize();
    update();
}

void CMonitorDlg::FitOuterSize() {
    if (!m_outerSize.isValid())
        return;
    // The sizes are the outer window's; the frame, if the desktop draws one, comes off. A
    // window not shown yet has no frame, so this runs again when it is shown.
    const QSize frame = frameGeometry().size() - geometry().size();
    QSize inner = m_outerSize - frame;
    if (m_compactSlots > 0)
        inner.setHeight(CompactInnerHeight());
    m_layoutWidth = inner.width();
    // Never larger than the screen's free area: what does not fit scrolls.
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect desktop = s ? s->availableGeometry() : QRect();
    const QSize fitting = desktop.isValid() ? inner.boundedTo(desktop.size() - frame) : inner;
    if (size() != fitting)
        resize(fitting);
    LayoutContent();
    if (fitting == inner || !desktop.isValid())
        return;
    // Cut to the screen: all of it on the screen, title bar first.
    QRect outer = frameGeometry();
    outer.moveRight(std::min(outer.right(), desktop.right()));
    outer.moveBottom(std::min(outer.bottom(), desktop.bottom()));
    outer.moveLeft(std::max(outer.left(), desktop.left()));
    outer.moveTop(std::max(outer.top(), desktop.top()));
    if (outer.topLeft() != frameGeometry().topLeft())
        move(outer.topLeft());
}

int CMonitorDlg::CompactInnerHeight() const {
    // The cut lies in the margin under the last slot shown, whatever the menu bar's and the
    // frame's heights, so that no strip of the next slot shows.
    return m_menuBar->sizeHint().height() + m_compactSlots * kSlotPitch + kSlotTop;
}

void CMonitorDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitOuterSize();
    // Some window managers report the frame only after mapping the window.
    QTimer::singleShot(200, this, [this] { FitOuterSize(); });
}

// ---------------------------------------------------------------------------------------------
// ISlotSurface: the presenter's calls, on the UI thread.

void CMonitorDlg::SetLabelColour(int slot, int rgb) {
    m_slots[slot].lastAccess->SetBackgroundColour(rgb);
}

void CMonitorDlg::AddGraphSample(int slot, double value, double mark) {
    m_slots[slot].graph->AddSample(value, mark);
}

void CMonitorDlg::SetGraphLegend(int slot, const QStringList& texts) {
    for (int i = 0; i < texts.size() && i < CAccessGraph::kLegendTexts; ++i)
        m_slots[slot].graph->SetLegendText(i, texts[i]);
    m_slots[slot].graph->update();
}

void CMonitorDlg::SetGraphScale(int slot, double scale) {
    m_slots[slot].graph->SetScale(scale);
}

void CMonitorDlg::SetSlotText(int slot, SlotField field, const QString& text) {
    SlotWidgets& s = m_slots[slot];
    QLabel* label = nullptr;
    switch (field) {
    case SlotField::LastAccess:
        label = s.lastAccess;
        break;
    case SlotField::BestAccess:
        label = s.bestAccess;
        break;
    case SlotField::WorstAccess:
        label = s.worstAccess;
        break;
    case SlotField::LastAlert:
        label = s.lastAlert;
        break;
    case SlotField::LastRecovery:
        label = s.lastRecovery;
        break;
    }
    label->setText(text);
    label->setToolTip(text);
}

void CMonitorDlg::SetTrayIcon(int iconResource, const QString& tip) {
    m_tray->UpdateIconWithTip(iconResource, tip);
}

void CMonitorDlg::ResetGraph(int slot) {
    CAccessGraph* g = m_slots[slot].graph;
    g->ClearSamples();
    g->SetLegendWidth(50);
    g->SetLegendLineCount(5);
    for (int i = 0; i < 5; ++i)
        g->SetLegendText(i, QStringLiteral("n/a"));
    g->SetLeftToRight(false);
    g->SetLegendOnLeft(false);
    g->repaint();
}

// What the scheduler asks of the window.

void CMonitorDlg::ApplyTypedThreshold(int slot) {
    const QString text = ThresholdText(slot);
    if (text.isEmpty())
        return;
    const int value = LeadingInt(text);
    m_monitor->SetThreshold(slot, value);
    SettingsStore::WriteInt(QString::fromLatin1(SettingsStore::kSettings), SlotKeys::Warn(slot),
                            value);
}

void CMonitorDlg::SetSlotCaptions(int slot, const QString& group, const QString& button) {
    m_slots[slot].group->setTitle(group);
    // A long title would be clipped at both ends of the fixed-width button: elide its end.
    QPushButton* select = m_slots[slot].select;
    const int room =
        select->width() - 2 * select->style()->pixelMetric(QStyle::PM_ButtonMargin) - 4;
    select->setText(select->fontMetrics().elidedText(button, Qt::ElideRight, room));
    select->setToolTip(button);
    EnableSlotCommands(slot);
}

void CMonitorDlg::EnableSlotCommands(int slot) {
    // Select is the only thing to do with an empty slot.
    const bool configured = m_monitor->IsConfigured(slot);
    m_slots[slot].poll->setEnabled(configured);
    m_slots[slot].del->setEnabled(configured);
}

QString CMonitorDlg::ThresholdText(int slot) const {
    return m_slots[slot].threshold->text();
}
QString CMonitorDlg::IntervalText(int slot) const {
    return m_slots[slot].interval->text();
}
void CMonitorDlg::SetIntervalText(int slot, const QString& text) {
    m_slots[slot].interval->setText(text);
}

void CMonitorDlg::HideWindow() {
    HideToTray();
}

void CMonitorDlg::RunEmailSettingsPrompt() {
    OnEmailSettings();
}
