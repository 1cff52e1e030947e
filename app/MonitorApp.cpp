#include "app/MonitorApp.h"

#include "app/ProductInfo.h"
#include "settings/SettingsStore.h"
#include "ui/HelpWindow.h"
#include "ui/MonitorDlg.h"

#include <QDir>
#include <QFile>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read by the UI thread's notifier.
int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

CMonitorApp::CMonitorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QLatin1String(SettingsStore::kApplication));
    setOrganizationName(QLatin1String(SettingsStore::kOrganisation));
    setApplicationVersion(QLatin1String(TRELLION_VERSION));
    setDesktopFileName(QLatin1String(ProductInfo::kDesktopFileName));
    // The window lives in the tray when hidden; only its end ends the program.
    setQuitOnLastWindowClosed(false);
}

CMonitorApp::~CMonitorApp() {
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString CMonitorApp::LockFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    const QString folder = QStringLiteral("/tmp/trellion-%1").arg(::getuid());
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return folder;
}

bool CMonitorApp::HoldInstanceLock() {
    const QString path = LockFolder() + u'/' + QLatin1String(kInstanceLockName);
    m_lockFd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        return false;
    // Every instance holds a shared lock for its life; an exclusive one is only to be had when
    // no other instance runs.
    const bool alone = ::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0;
    while (::flock(m_lockFd, LOCK_SH) != 0 && errno == EINTR) {
    }
    return !alone;
}

QString CMonitorApp::HelpFile() const {
    return CHelpWindow::DefaultHelpFile();
}

void CMonitorApp::WinHelp(quint32 data, int command) {
    // Context first; a context without a topic, or any other command, opens the first topic.
    CHelpWindow::Show(HelpFile(), data, command);
}

void CMonitorApp::LoadIntervalsAndThresholds(CMonitorDlg& window) {
    const QString settings = QLatin1String(SettingsStore::kSettings);
    for (int i = 0; i < 4; ++i) {
        window.SetInterval(
            i, SettingsStore::ReadInt(settings, QStringLiteral("Interval%1").arg(i), 15));
        window.SetThreshold(
            i, SettingsStore::ReadInt(settings, QStringLiteral("Warn%1").arg(i), 10000));
    }
}

void CMonitorApp::InstallSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    m_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, &CMonitorApp::OnSignal);
    struct sigaction sa = {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

void CMonitorApp::OnSignal() {
    char buffer[16];
    [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], buffer, sizeof buffer);
    if (m_window)
        m_window->EndProgram();
}

bool CMonitorApp::InitInstance() {
    // The settings store is named by the organisation and application set in the constructor.
    m_programDirectory = applicationDirPath();

    const bool another = HoldInstanceLock();
    const QString settings = QLatin1String(SettingsStore::kSettings);
    SettingsStore::WriteInt(
        settings, QStringLiteral("NumOpen"),
        another ? SettingsStore::ReadInt(settings, QStringLiteral("NumOpen"), 0) + 1 : 1);

    auto window = std::make_unique<CMonitorDlg>();
    m_window = window.get();
    window->SetProgramDirectory(m_programDirectory);
    window->SetHelpHook([this](quint32 data, int command) { WinHelp(data, command); });
    LoadIntervalsAndThresholds(*window);

    InstallSignalHandlers();
    // The end of the desktop session ends the program like Escape.
    connect(this, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
        if (m_window)
            m_window->EndProgram();
    });

    window->RunModal();
    m_window = nullptr;
    window.reset();
    return false;
}
