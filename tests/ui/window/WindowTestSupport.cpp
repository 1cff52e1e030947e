#include "tests/ui/window/WindowTestSupport.h"

#include "controls/RecordingTrayShell.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace WindowTest {

void ClearSettings() {
    QFile::remove(SettingsStore::FilePath());
}

void WriteInt(const QString& key, int value) {
    SettingsStore::WriteInt(SettingsStore::kSettings, key, value);
}
void WriteString(const QString& key, const QString& value) {
    SettingsStore::WriteString(SettingsStore::kSettings, key, value);
}
int ReadInt(const QString& key, int defaultValue) {
    return SettingsStore::ReadInt(SettingsStore::kSettings, key, defaultValue);
}
QString ReadString(const QString& key, const QString& defaultValue) {
    return SettingsStore::ReadString(SettingsStore::kSettings, key, defaultValue);
}

std::unique_ptr<CMonitorDlg> MakeWindow(CRecordingTrayShell** shell) {
    auto recording = std::make_unique<CRecordingTrayShell>();
    if (shell)
        *shell = recording.get();
    return std::make_unique<CMonitorDlg>(std::move(recording));
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void SetUpEmail() {
    WriteString(QStringLiteral("SMTP"), QStringLiteral("127.0.0.1:1"));
}

} // namespace WindowTest
