#pragma once

#include <QApplication>
#include <QString>

#include <memory>

class CMonitorDlg;
class IInstanceLock;

// The application object: prepares the settings store, finds the program directory, counts the
// running instances, loads the intervals and thresholds and runs the main window for the life
// of the program. SIGTERM, SIGINT and the end of the desktop session end the window the way
// Escape does, so its destruction steps always run.
class CMonitorApp : public QApplication {
    Q_OBJECT
public:
    // The file whose shared lock every running instance holds.
    static constexpr const char* kInstanceLockName = "CheckIfTrellionAlreadyRunning";

    CMonitorApp(int& argc, char** argv);
    ~CMonitorApp() override;

    // Runs the whole program; returns false when the window has ended.
    bool InitInstance();
    // Start-up step: the four intervals and thresholds from the store into the window.
    static void LoadIntervalsAndThresholds(CMonitorDlg& window);
    // Help requests of the windows: opens the help at data (HELP_CONTEXT) or its first topic.
    void WinHelp(quint32 data, int command);

    QString ProgramDirectory() const { return m_programDirectory; }
    QString HelpFile() const;

    // Takes this process's hold on the instance lock; true when another instance holds it.
    // A lock that cannot be made counts as no other instance.
    bool HoldInstanceLock();

private:
    QString m_programDirectory;
    std::unique_ptr<IInstanceLock> m_instanceLock;
    CMonitorDlg* m_window = nullptr;
};
