// The window's menus, its tray menu and the handlers of their commands.
#include "ui/MonitorDlg.h"

#include "controls/Icons.h"
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "metrics/MetricsExporter.h"
#include "monitor/SlotMonitor.h"
#include "platform/ProductInfo.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingKeys.h"
#include "ui/AlertSettingsDlg.h"
#include "ui/CommandActions.h"
#include "ui/DatabaseCommands.h"
#include "ui/DialogCommands.h"
#include "ui/HealthCheckDlg.h"
#include "ui/HelpWindow.h"
#include "ui/HistoryDlg.h"
#include "ui/LogonStart.h"
#include "ui/MetricsSettingsDlg.h"
#include "ui/NoticeBox.h"
#include "ui/SlotNumberBoxes.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

void CMonitorDlg::BuildMenus() {
    m_menuBar = new QMenuBar(this);
    m_menuBar->setProperty("controlId", 129);
    // The check marks follow the flags: each handler sets its mark after the toggle.
    QMenu* trellion = m_menuBar->addMenu(QStringLiteral("Trellion"));
    m_commandActions->Add(trellion, QStringLiteral("Show Details"), ID_SHOW_DETAILS, true);
    m_commandActions->Add(trellion, QStringLiteral("Compact Mode"), ID_COMPACT_MODE, true);
    trellion->addSeparator();
    m_commandActions->Add(trellion, QStringLiteral("Start Hidden"), ID_START_HIDDEN, true);
    m_commandActions->Add(trellion, QStringLiteral("Start at Login"), ID_AUTO_START, true);
    m_commandActions->Add(trellion, QStringLiteral("&Hide"), ID_HIDE);
    m_commandActions->Add(trellion, QStringLiteral("&Always on Top"), ID_ALWAYS_ON_TOP, true);
    trellion->addSeparator();
    m_commandActions->Add(trellion, QStringLiteral("E&xit"), ID_EXIT);

    QMenu* view = m_menuBar->addMenu(QStringLiteral("View"));
    m_commandActions->Add(view, QStringLiteral("Access log"), ID_ACCESS_LOG);
    m_commandActions->Add(view, QStringLiteral("Error log"), ID_ERROR_LOG);
    view->addSeparator();
    m_commandActions->Add(view, QStringLiteral("&History..."), ID_HISTORY);

    QMenu* setup = m_menuBar->addMenu(QStringLiteral("Setup"));
    m_commandActions->Add(setup, QStringLiteral("Email settings"), ID_EMAIL_SETTINGS);
    m_commandActions->Add(setup, QStringLiteral("Test Email Settings"), ID_TEST_EMAIL);
    // The polls read "DesktopNotify" whenever they would notify: no member to keep in step.
    QAction* desktop = setup->addAction(QStringLiteral("Desktop Notifications"));
    desktop->setObjectName(QStringLiteral("desktopNotifications"));
    desktop->setCheckable(true);
    desktop->setChecked(Config::Read(Config::kDesktopNotify));
    connect(desktop, &QAction::toggled, this,
            [](bool on) { Config::Write(Config::kDesktopNotify, on); });
    setup->addSeparator();
    m_commandActions->Add(setup, QStringLiteral("Log settings"), ID_LOG_SETTINGS);
    m_commandActions->Add(setup, QStringLiteral("Alert Settings..."), ID_ALERT_SETTINGS);
    m_commandActions->Add(setup, QStringLiteral("Metrics Settings..."), ID_METRICS_SETTINGS);
    setup->addSeparator();
    for (int i = 0; i < 4; ++i)
        m_commandActions->Add(setup, QStringLiteral("Reset Database %1").arg(i + 1),
                              ID_RESET_DATABASE[i]);
    QMenu* health = setup->addMenu(QStringLiteral("Health Check..."));
    health->setObjectName(QStringLiteral("healthCheckMenu"));
    for (int i = 0; i < 4; ++i)
        m_commandActions->Add(health, QStringLiteral("Database %1...").arg(i + 1),
                              ID_HEALTH_CHECK[i]);

    QMenu* help = m_menuBar->addMenu(QStringLiteral("Help"));
    m_commandActions->Add(help, QStringLiteral("Contents"), ID_HELP_CONTENTS);
    help->addSeparator();
    m_commandActions->Add(help, QStringLiteral("On the web..."), ID_ON_THE_WEB);
    help->addSeparator();
    m_commandActions->Add(help, QStringLiteral("Tell a friend..."), ID_TELL_A_FRIEND);
    help->addSeparator();
    m_commandActions->Add(help, QStringLiteral("&About"), ID_ABOUT);
}

QMenu* CMonitorDlg::BuildTrayMenu() {
    // The tray's own texts for three of the window's commands; "&Open Trellion" comes first, as
    // hosts that open the menu on a left click (GNOME's AppIndicator) leave no other way in.
    m_trayMenu = std::make_unique<QMenu>(QStringLiteral("&Tray"));
    m_commandActions->Add(m_trayMenu.get(), QStringLiteral("&Open Trellion"), ID_OPEN);
    m_commandActions->Add(m_trayMenu.get(), QStringLiteral("&History..."), ID_HISTORY);
    m_commandActions->Add(m_trayMenu.get(), QStringLiteral("&About Trellion..."), ID_ABOUT);
    m_trayMenu->addSeparator();
    m_commandActions->Add(m_trayMenu.get(), QStringLiteral("&Terminate Trellion"), ID_EXIT);
    return m_trayMenu.get();
}

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
    case ID_HISTORY:
        return OnHistory();
    case ID_ALERT_SETTINGS:
        return OnAlertSettings();
    case ID_METRICS_SETTINGS:
        return OnMetricsSettings();
    case ID_TELL_A_FRIEND:
        return OnTellAFriend();
    default:
        break;
    }
    for (int i = 0; i < 4; ++i) {
        if (id == ID_HEALTH_CHECK[i])
            return OnHealthCheck(i);
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
    Config::Write(Config::kAlwaysOnTop, m_alwaysOnTop);
}

void CMonitorDlg::OnHide() {
    HideToTray();
}

void CMonitorDlg::OnStartHidden() {
    m_startHidden = !m_startHidden;
    Config::Write(Config::kStartHidden, m_startHidden);
    Action(ID_START_HIDDEN)->setChecked(m_startHidden);
}

void CMonitorDlg::OnShowDetails() {
    m_details = !m_details;
    Config::Write(Config::kViewDetails, m_details);
    ApplyWindowLayout();
}

void CMonitorDlg::OnCompactMode() {
    m_compact = !m_compact;
    Config::Write(Config::kCompactMode, m_compact);
    ApplyWindowLayout();
}

void CMonitorDlg::OnAutoStart() {
    m_autoStart = !m_autoStart;
    Config::Write(Config::kAutoStart, m_autoStart);
    Action(ID_AUTO_START)->setChecked(m_autoStart);
    LogonStart::Apply(m_autoStart, ProgramPath(), m_parts.notice);
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
    EmailSettings email = m_parts.monitor->Email();
    RunEmailSettings(
        this, email, *m_parts.smtp, DefaultDialogPrompt(),
        [this](const EmailSettings& accepted) { m_parts.monitor->SetEmailSettings(accepted); },
        m_parts.keyring);
}

void CMonitorDlg::OnTestEmail() {
    TestEmailSettings(this, m_parts.monitor->Email(), *m_parts.smtp);
}

void CMonitorDlg::OnLogSettings() {
    RunLogSettings(this, *m_parts.log);
    const LogSettings logs = m_parts.log->Settings();
    m_accessLogPath = logs.accessLogPath;
    m_errorLogPath = logs.errorLogPath;
    m_doAccessLog = logs.doAccessLog;
    m_doErrorLog = logs.doErrorLog;
}

void CMonitorDlg::OnAccessLog() {
    ShowAccessLog(this, *m_parts.log);
}
void CMonitorDlg::OnErrorLog() {
    ShowErrorLog(this, *m_parts.log);
}
void CMonitorDlg::OnAlertSettings() {
    // The polls read the alert rules afresh each time: OK is all it takes.
    CAlertSettingsDlg dialog(this);
    dialog.exec();
}

void CMonitorDlg::OnMetricsSettings() {
    if (!m_parts.metrics)
        return;
    // The dialog checks the folder and the port; the exporter takes the stored values at once.
    CMetricsSettingsDlg dialog(this, m_parts.metrics->Port());
    if (dialog.exec() == QDialog::Accepted)
        m_parts.metrics->Apply(MetricsSettings::Load());
}

void CMonitorDlg::OnHealthCheck(int slot) {
    const std::shared_ptr<CDatabaseProbe> probe = m_parts.monitor->Probe(slot);
    if (!probe)
        return;
    // The keys live in the database's own section, beside its alert state; the next poll reads
    // them.
    CHealthCheckDlg dialog(probe->Title(), probe->ConnectionString(),
                           m_parts.monitor->OptionsForProbes(), this);
    dialog.exec();
}

void CMonitorDlg::OnHistory() {
    if (!m_parts.history)
        return;
    // One window at a time, brought forward when asked for again.
    if (!m_historyWindow) {
        QStringList titles;
        for (int i = 0; i < 4; ++i)
            titles << m_parts.monitor->Title(i);
        m_historyWindow = new CHistoryDlg(*m_parts.history, titles, this);
        m_historyWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_historyWindow->show();
    m_historyWindow->raise();
    m_historyWindow->activateWindow();
}
void CMonitorDlg::OnTellAFriend() {
    RunTellFriend(this, m_parts.monitor->Email(), *m_parts.smtp);
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
