#include "app/Program.h"

#include "controls/Icons.h"
#include "history/HistoryFeed.h"
#include "history/HistoryStore.h"
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "metrics/MetricsExporter.h"
#include "monitor/ComputerState.h"
#include "monitor/ComputerWatch.h"
#include "monitor/PollScheduler.h"
#include "notify/DesktopNotifier.h"
#include "platform/MailPasswordKeyring.h"
#include "platform/Platform.h"
#include "settings/SettingKeys.h"
#include "ui/HistoryAvailability.h"
#include "ui/MonitorDlg.h"
#include "ui/NoticeBox.h"

Program::Program(ProgramOptions options) {
    // Notices may come before the window exists; they take it as their owner once it does.
    m_notice = std::make_shared<CNoticeBox>(nullptr);
    // The writer and the client report through the notice: keep it alive as long as either,
    // which a poll still running at shutdown may hold past the window.
    auto notice = m_notice;
    m_log = std::shared_ptr<LogWriter>(new LogWriter(notice.get(), options.logFaultAfter),
                                       [notice](LogWriter* p) { delete p; });
    m_smtp = std::shared_ptr<SmtpClient>(new SmtpClient(notice.get()),
                                         [notice](SmtpClient* p) { delete p; });
    m_keyring = std::make_unique<MailPasswordKeyring>();

    // Every poll is recorded off the UI thread; a file that cannot be written is told once in
    // the error log and over the window, and the polls go on.
    HistoryOptions history;
    history.stateDir = options.historyFolder.isEmpty()
                           ? CurrentPlatform().StateFolder() + QStringLiteral("/Trellion")
                           : options.historyFolder;
    history.historyDays = Config::Read(Config::kHistoryDays);
    std::shared_ptr<LogWriter> log = m_log;
    history.onFault = [notice, log](const QString& reason) {
        log->WriteLogLine(reason, log->Settings().errorLogPath, false);
        notice->ShowNotice(reason);
    };
    m_history = std::make_unique<HistoryStore>(std::move(history));
    m_feed = std::make_unique<HistoryFeed>(*m_history);
    m_availability = std::make_unique<HistoryAvailability>(*m_history);
    // Metrics for Prometheus: every outcome goes to the history first, then to the exporter.
    m_metrics = std::make_unique<MetricsExporter>([log](const QString& reason) {
        log->WriteLogLine(reason, log->Settings().errorLogPath, false);
    });
    m_metrics->ExpectSlots();
    m_metrics->Apply(MetricsSettings::Load());
    HistoryFeed* feed = m_feed.get();
    MetricsExporter* metrics = m_metrics.get();
    options.engine.outcomeTap = [feed, metrics](const PollOutcome& outcome) {
        feed->Record(outcome);
        metrics->Record(outcome);
    };

    // Polls made across a sleep or while the computer is offline are not held against a
    // database.
    std::shared_ptr<ComputerState> computer = std::make_shared<ComputerState>();
    options.engine.computer = computer;
    m_monitor = std::make_unique<SlotMonitor>(m_log, m_smtp, std::move(options.engine));
    // Alerts on the desktop beside the mail; mail failures of the polls reach the same notice.
    m_desktop =
        std::make_shared<DesktopNotifier>(TrellionIcon(IconId::Program).pixmap(64, 64).toImage());
    m_monitor->SetDesktopNotifier(m_desktop);
    m_monitor->SetNotice(m_notice.get());
    // A log that stays shut, and its reopening, reach the user on both channels too.
    std::shared_ptr<DesktopNotifier> desktop = m_desktop;
    m_log->SetFaultHandler([notice, desktop](const LogFault& fault) {
        notice->ShowNotice(fault.Text());
        desktop->Notify(fault.Summary(), fault.Text(), IDesktopNotifier::Urgency::Normal,
                        QStringLiteral("log ") + fault.path);
    });
    m_scheduler = std::make_unique<PollScheduler>(m_monitor.get());
    m_computerWatch = std::make_unique<ComputerWatch>(*m_scheduler, *m_monitor, computer);
    m_computerWatch->WatchThisComputer();

    MonitorParts parts;
    parts.monitor = m_monitor.get();
    parts.scheduler = m_scheduler.get();
    parts.log = m_log.get();
    parts.smtp = m_smtp.get();
    parts.notice = m_notice.get();
    parts.keyring = m_keyring.get();
    parts.history = m_history.get();
    parts.metrics = m_metrics.get();
    parts.availability = m_availability->Source();
    m_window = std::make_unique<CMonitorDlg>(parts, std::move(options.trayShell));
    CMonitorDlg* window = m_window.get();
    m_notice->SetOwner(window);

    QObject::connect(m_scheduler.get(), &PollScheduler::CaptionsChanged, window,
                     &CMonitorDlg::SetSlotCaptions);
    QObject::connect(m_scheduler.get(), &PollScheduler::HideRequested, window,
                     &CMonitorDlg::HideWindow);
    // Both on the UI thread, before the poll goes on: the typed threshold is the poll's, and the
    // first-start prompt comes before the first alert could need the settings.
    QObject::connect(m_scheduler.get(), &PollScheduler::PollStarted, window,
                     &CMonitorDlg::ApplyTypedThreshold, Qt::DirectConnection);
    QObject::connect(m_scheduler.get(), &PollScheduler::EmailPromptRequested, window,
                     &CMonitorDlg::RunEmailSettingsPrompt, Qt::DirectConnection);
    QObject::connect(m_desktop->Link(), &DesktopNotifierLink::activated, window,
                     [window] { window->OnCommand(CMonitorDlg::ID_OPEN); });
}

Program::~Program() {
    // The window first: it stops the polls it started and lets go of the slots.
    m_window.reset();
    m_computerWatch.reset();
    m_scheduler.reset();
    m_monitor.reset();
    m_availability.reset();
    m_metrics.reset();
    m_feed.reset();
    m_history.reset();
    m_desktop.reset();
    m_keyring.reset();
}
