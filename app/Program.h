#pragma once

#include "controls/TrayShell.h"
#include "monitor/SlotMonitor.h"

#include <chrono>
#include <memory>

class CMonitorDlg;
class HistoryAvailability;
class HistoryFeed;
class HistoryStore;
class CNoticeBox;
class ComputerWatch;
class DesktopNotifier;
class IDesktopNotifier;
class LogWriter;
class MailPasswordKeyring;
class MetricsExporter;
class PollScheduler;
class SmtpClient;

// What may differ between the program a user runs and one a test or a benchmark drives.
struct ProgramOptions {
    // Null: the system tray.
    std::unique_ptr<ITrayShell> trayShell;
    // The probe's bounds and connector, the engine's clock and time scale.
    MonitorOptions engine;
    // How long a log may stay shut before the user hears of it.
    std::chrono::milliseconds logFaultAfter = std::chrono::minutes(3);
    // The folder of the uptime history file; empty: Trellion's folder in the user's state folder.
    QString historyFolder;
};

// The whole monitor, built in the order its parts depend on each other and torn down in the
// reverse: the notice box, the log writer and the mail client (which report through it), the
// keyring, the desktop notifier, the uptime history and the feed that records every poll in it,
// the engine, its scheduler and the watch on the computer's sleep and network, then the window
// that shows them.
class Program {
public:
    explicit Program(ProgramOptions options = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    CMonitorDlg& Window() const { return *m_window; }
    CNoticeBox& Notice() const { return *m_notice; }
    HistoryStore& History() const { return *m_history; }
    // After the Metrics dialog's OK: Metrics().Apply(MetricsSettings::Load()).
    MetricsExporter& Metrics() const { return *m_metrics; }

private:
    std::shared_ptr<CNoticeBox> m_notice;
    std::shared_ptr<LogWriter> m_log;
    std::shared_ptr<SmtpClient> m_smtp;
    std::unique_ptr<MailPasswordKeyring> m_keyring;
    std::shared_ptr<DesktopNotifier> m_desktop;
    // The monitor shuts down before these go: its last poll may still be recorded.
    std::unique_ptr<HistoryStore> m_history;
    std::unique_ptr<HistoryFeed> m_feed;
    std::unique_ptr<MetricsExporter> m_metrics;
    std::unique_ptr<HistoryAvailability> m_availability;
    std::unique_ptr<SlotMonitor> m_monitor;
    std::unique_ptr<PollScheduler> m_scheduler;
    std::unique_ptr<ComputerWatch> m_computerWatch;
    std::unique_ptr<CMonitorDlg> m_window;
};
