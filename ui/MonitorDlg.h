#pragma once

#include "controls/TrayShell.h"
#include "ui/DatabaseCommands.h"
#include "ui/SlotPresenter.h"

#include <QDialog>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class CAccessGraph;
class CCommandActions;
class PollScheduler;
class INotice;
class CNoticeBox;
class CStatusLabel;
class CTrayIcon;
class CSlotNumberBoxes;
class CUpDown;
class CHistoryDlg;
class HistoryStore;
class MetricsExporter;
class LogWriter;
class MailPasswordKeyring;
class SlotMonitor;
class SmtpClient;
struct EmailSettings;
class QAction;
class QEventLoop;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QScrollArea;
class QWidget;

// The engine and the channels the window shows and commands; app/ makes them and outlives the
// window.
struct MonitorParts {
    SlotMonitor* monitor = nullptr;
    PollScheduler* scheduler = nullptr;
    LogWriter* log = nullptr;
    SmtpClient* smtp = nullptr;
    CNoticeBox* notice = nullptr;
    MailPasswordKeyring* keyring = nullptr;
    // The uptime history and each database's availability line for the tips; either may be
    // missing.
    HistoryStore* history = nullptr;
    std::function<QString(const QString& title)> availability;
    MetricsExporter* metrics = nullptr;
};

// The main window: four database slots, the menu bar, the tray icon, and the program's life
// from initialisation to destruction. Run modally for the whole life of the program; closing
// it or pressing Escape only hides it; Exit and Terminate end it.
//
// Every menu item, button and field carries its fixed command or control id as the property
// "controlId", and OnCommand dispatches by that id. The menu bar, the tray menu and the slot
// buttons share the commands' actions.
class CMonitorDlg : public QDialog, public ISlotSurface, public IDatabaseCommandsWindow {
    Q_OBJECT
public:
    // Menu and tray commands.
    static constexpr int ID_EMAIL_SETTINGS = 32771;
    static constexpr int ID_OPEN = 32772;
    static constexpr int ID_EXIT = 32773; // also "&Terminate Trellion" in the tray menu
    static constexpr int ID_HIDE = 32774;
    static constexpr int ID_SHOW_DETAILS = 32775;
    static constexpr int ID_LOG_SETTINGS = 32776;
    static constexpr int ID_ACCESS_LOG = 32777;
    static constexpr int ID_ERROR_LOG = 32778;
    static constexpr int ID_ON_THE_WEB = 32779;
    static constexpr int ID_TELL_A_FRIEND = 32783;
    static constexpr int ID_COMPACT_MODE = 32787;
    static constexpr int ID_START_HIDDEN = 32788;
    static constexpr int ID_AUTO_START = 32789;
    static constexpr int ID_TEST_EMAIL = 32790;
    static constexpr int ID_HISTORY = 32791;
    static constexpr int ID_ALERT_SETTINGS = 32796;
    static constexpr int ID_METRICS_SETTINGS = 32797;
    static constexpr int ID_ALWAYS_ON_TOP = 1116;
    static constexpr int ID_HELP_CONTENTS = 57670;
    static constexpr int ID_ABOUT = 57664;
    static constexpr std::array<int, 4> ID_RESET_DATABASE = {32781, 32784, 32785, 32786};
    static constexpr std::array<int, 4> ID_HEALTH_CHECK = {32792, 32793, 32794, 32795};

    // Control ids of the four slots.
    static constexpr std::array<int, 4> IDC_GROUP = {1040, 1041, 1042, 1043};
    static constexpr std::array<int, 4> IDC_SELECT = {1024, 1025, 1031, 1039};
    static constexpr std::array<int, 4> IDC_POLL = {1001, 1005, 1006, 1007};
    static constexpr std::array<int, 4> IDC_DEL = {1044, 1045, 1046, 1047};
    static constexpr std::array<int, 4> IDC_INTERVAL = {1009, 1010, 1022, 1032};
    static constexpr std::array<int, 4> IDC_SPIN = {1008, 1014, 1023, 1033};
    static constexpr std::array<int, 4> IDC_THRESHOLD = {1051, 1048, 1049, 1050};
    static constexpr std::array<int, 4> IDC_GRAPH = {1000, 1002, 1003, 1004};
    static constexpr std::array<int, 4> IDC_LAST_ACCESS = {1011, 1015, 1026, 1034};
    static constexpr std::array<int, 4> IDC_BEST_ACCESS = {1012, 1016, 1027, 1035};
    static constexpr std::array<int, 4> IDC_WORST_ACCESS = {1013, 1019, 1028, 1036};
    static constexpr std::array<int, 4> IDC_LAST_ALERT = {1017, 1020, 1029, 1037};
    static constexpr std::array<int, 4> IDC_LAST_RECOVERY = {1018, 1021, 1030, 1038};

    // The help context of this window (help-context base 0x20000 + template 102).
    static constexpr quint32 kHelpContext = 0x20000 + 102;

    // Outer window sizes.
    static constexpr int kWidthDetails = 812;
    static constexpr int kWidthNarrow = 398;
    static constexpr int kHeightFull = 652;

    // Largest values of the interval box (minutes whose milliseconds fit an int) and of
    // "Warning over" (ms).
    static constexpr int kIntervalMax = 35791;
    static constexpr int kThresholdMax = 999999;

    // Looking for a tray host that was not there at start.
    static constexpr int kTrayLookEveryMs = 3000;
    static constexpr int kTrayLookForMs = 5 * 60000;

    // trayShell: null for the desktop's tray; tests pass a recording one. probeOptions go to
    // every probe of the engine and of a selection.
    explicit CMonitorDlg(const MonitorParts& parts, std::unique_ptr<ITrayShell> trayShell = nullptr,
                         QWidget* parent = nullptr);
    ~CMonitorDlg() override;

    // Start-up (before initialisation): the values the application loaded.
    void SetInterval(int slot, int minutes);
    void SetThreshold(int slot, int milliseconds);
    int Interval(int slot) const;
    int Threshold(int slot) const;

    // The folder of the program: default log folder and logon start entry. The window finds its
    // own copy at initialisation unless one was given.
    void SetProgramDirectory(const QString& dir);
    QString ProgramDirectory() const { return m_programDirectory; }
    // The path the logon start entry runs.
    QString ProgramPath() const;

    // The help request goes to the application; without a hook the window opens help itself.
    void SetHelpHook(std::function<void(quint32 data, int command)> hook);

    // Restores settings and slots, arms the timers. Called once, before the window is shown.
    bool OnInitDialog();
    // Initialises, shows the window and returns when it has ended (Exit, Terminate,
    // EndProgram); the destruction steps have run by then.
    int RunModal();
    // Ends the program at once, the orderly way (signals, end of the desktop session).
    void EndProgram();
    bool HasEnded() const { return m_ended; }

    // Routes one menu, tray or button command.
    void OnCommand(int id);
    // The OK action (Enter): polls "Database 1" now.
    void accept() override;
    // The cancel action (Escape): hides the window as the close box does.
    void reject() override;
    void done(int r) override;

    void ApplyWindowLayout() override;
    bool AskYesNo(const QString& text) override;

    // Lookup by id (menus, tray commands, controls).
    QAction* Action(int id) const;
    QWidget* Control(int id) const;
    QMenuBar* MenuBar() const { return m_menuBar; }
    // The menu the tray host shows: "&Open Trellion", "&About Trellion...", "&Terminate Trellion".
    QMenu* TrayMenu() const { return m_trayMenu.get(); }
    INotice* Notice() const;

    SlotMonitor& Monitor() const { return *m_parts.monitor; }
    PollScheduler& Scheduler() const { return *m_parts.scheduler; }
    CDatabaseCommands& DatabaseCommands() const { return *m_commands; }
    LogWriter& Log() const { return *m_parts.log; }
    SmtpClient& Smtp() const { return *m_parts.smtp; }
    CTrayIcon& Tray() const { return *m_tray; }
    CAccessGraph* Graph(int slot) const { return m_slots[slot].graph; }
    CStatusLabel* LastAccessLabel(int slot) const { return m_slots[slot].lastAccess; }

    bool DetailsFlag() const { return m_details; }
    bool CompactFlag() const { return m_compact; }
    bool AlwaysOnTopFlag() const { return m_alwaysOnTop; }
    bool StartHiddenFlag() const { return m_startHidden; }
    bool AutoStartFlag() const { return m_autoStart; }
    QString AccessLogPath() const { return m_accessLogPath; }
    QString ErrorLogPath() const { return m_errorLogPath; }
    bool DoAccessLog() const { return m_doAccessLog; }
    bool DoErrorLog() const { return m_doErrorLog; }

    // Whether hiding leaves the program reachable (the tray shows the icon). Without one,
    // hiding minimises instead.
    bool TrayAvailable() const;

    // ISlotSurface (the presenter's calls, on the UI thread).
    void SetLabelColour(int slot, int rgb) override;
    void AddGraphSample(int slot, double value, double mark) override;
    void SetGraphLegend(int slot, const QStringList& texts) override;
    void SetGraphScale(int slot, double scale) override;
    void SetSlotText(int slot, SlotField field, const QString& text) override;
    void SetTrayIcon(int iconResource, const QString& tip) override;
    void ResetGraph(int slot) override;
    void SetSlotTip(int slot, const QString& tip) override;
    // What the scheduler asks of the window, and the slots' edit texts.
    void SetSlotCaptions(int slot, const QString& group, const QString& button);
    QString ThresholdText(int slot) const;
    QString IntervalText(int slot) const;
    void SetIntervalText(int slot, const QString& text);
    void HideWindow();
    void RunEmailSettingsPrompt();
    // The threshold box's text as it stands counts from the poll that starts now.
    void ApplyTypedThreshold(int slot);

    // The default folder of the two logs for a program folder: the folder itself when the user
    // may write there and it is not the installed program's, otherwise $XDG_STATE_HOME/Trellion
    // (created).
    static QString DefaultLogFolder(const QString& programDirectory);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct SlotWidgets {
        QGroupBox* group = nullptr;
        QPushButton* select = nullptr;
        QPushButton* poll = nullptr;
        QPushButton* del = nullptr;
        QLineEdit* interval = nullptr;
        CUpDown* spin = nullptr;
        QLineEdit* threshold = nullptr;
        CSlotNumberBoxes* numbers = nullptr;
        QWidget* details = nullptr; // everything right of the graph
        CAccessGraph* graph = nullptr;
        CStatusLabel* lastAccess = nullptr;
        QLabel* bestAccess = nullptr;
        QLabel* worstAccess = nullptr;
        QLabel* lastAlert = nullptr;
        QLabel* lastRecovery = nullptr;
    };

    // Each in the file of its part: menus and commands, slots and layout, life cycle.
    void BuildMenus();
    QMenu* BuildTrayMenu();
    void BuildSlots();
    void Tag(QWidget* widget, int id);

    // Handlers, one per command.
    void OnOpen();
    void OnExit();
    void OnAbout();
    void OnAlwaysOnTop();
    void OnHide();
    void OnStartHidden();
    void OnShowDetails();
    void OnCompactMode();
    void OnAutoStart();
    void OnOnTheWeb();
    void OnHelpContents();
    void OnEmailSettings();
    void OnTestEmail();
    void OnLogSettings();
    void OnAlertSettings();
    void OnMetricsSettings();
    void OnAccessLog();
    void OnErrorLog();
    void OnHistory();
    void OnTellAFriend();
    void OnResetDatabase(int slot);
    void OnHealthCheck(int slot);
    void OnSelectDatabase(int slot);
    void OnDeleteDatabase(int slot);
    void OnPollButton(int slot);
    void OnSpin(int slot, int delta);

    void OnDestroy();
    void HideToTray();
    bool SlotHasProbe(int slot) const;
    void EnableSlotCommands(int slot);
    void LayoutContent();
    // Gives the window the outer size of the last layout once the desktop's frame is known.
    void FitOuterSize();
    int CompactInnerHeight() const;

    QMenuBar* m_menuBar = nullptr;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_content = nullptr;
    std::array<SlotWidgets, 4> m_slots;
    CCommandActions* m_commandActions = nullptr;
    QHash<int, QWidget*> m_controls;
    const MonitorParts m_parts;
    std::unique_ptr<SlotPresenter> m_presenter;
    std::unique_ptr<CDatabaseCommands> m_commands;
    std::unique_ptr<QMenu> m_trayMenu; // outlives the icon that shows it
    std::unique_ptr<CTrayIcon> m_tray;
    QPointer<CHistoryDlg> m_historyWindow;

    QString m_accessLogPath;
    QString m_errorLogPath;
    bool m_alwaysOnTop = false;
    bool m_doAccessLog = true;
    bool m_doErrorLog = true;
    bool m_details = true;
    bool m_compact = false;
    bool m_startHidden = false;
    bool m_autoStart = true;
    QString m_programDirectory;
    bool m_exitRequested = false;
    QSize m_outerSize;
    int m_compactSlots = 0; // slots a compact window shows; 0 when its height is not cut
    int m_layoutWidth = 0;  // the inner width the slots are laid out for, shown or scrolled

    bool m_initialised = false;
    bool m_destroyed = false;
    bool m_ended = false;
    QEventLoop* m_loop = nullptr;
    std::function<void(quint32, int)> m_helpHook;
};
