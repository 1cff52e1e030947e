#include "app/MonitorApp.h"

#include "app/Program.h"
#include "platform/Platform.h"
#include "platform/ProductInfo.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsStore.h"
#include "ui/HelpWindow.h"
#include "ui/MonitorDlg.h"

#include <QSessionManager>

CMonitorApp::CMonitorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QLatin1String(SettingsStore::kApplication));
    setOrganizationName(QLatin1String(SettingsStore::kOrganisation));
    setApplicationVersion(QLatin1String(ProductInfo::kVersion));
    setDesktopFileName(QLatin1String(ProductInfo::kDesktopFileName));
    // The window lives in the tray when hidden; only its end ends the program.
    setQuitOnLastWindowClosed(false);
}

CMonitorApp::~CMonitorApp() = default;

bool CMonitorApp::HoldInstanceLock() {
    m_instanceLock = CurrentPlatform().HoldInstanceLock(QLatin1String(kInstanceLockName));
    return m_instanceLock->OthersRunning();
}

QString CMonitorApp::HelpFile() const {
    return CHelpWindow::DefaultHelpFile();
}

void CMonitorApp::WinHelp(quint32 data, int command) {
    // Context first; a context without a topic, or any other command, opens the first topic.
    CHelpWindow::Show(HelpFile(), data, command);
}

void CMonitorApp::LoadIntervalsAndThresholds(CMonitorDlg& window) {
    for (int i = 0; i < Config::kSlots; ++i) {
        window.SetInterval(i, Config::Read(Config::kInterval[i]));
        window.SetThreshold(i, Config::Read(Config::kWarn[i]));
    }
}

bool CMonitorApp::InitInstance() {
    // The settings store is named by the organisation and application set in the constructor.
    m_programDirectory = applicationDirPath();

    const bool another = HoldInstanceLock();
    Config::Write(Config::kNumOpen, another ? Config::Read(Config::kNumOpen) + 1 : 1);

    auto program = std::make_unique<Program>();
    CMonitorDlg* window = &program->Window();
    m_window = window;
    window->SetProgramDirectory(m_programDirectory);
    window->SetHelpHook([this](quint32 data, int command) { WinHelp(data, command); });
    LoadIntervalsAndThresholds(*window);

    CurrentPlatform().WatchEndSignals(this, [this] {
        if (m_window)
            m_window->EndProgram();
    });
    // The end of the desktop session ends the program like Escape.
    connect(this, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
        if (m_window)
            m_window->EndProgram();
    });

    window->RunModal();
    m_window = nullptr;
    program.reset();
    return false;
}
