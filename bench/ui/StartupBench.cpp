// Start-up of the main window: four stored databases that accept a connection and never answer,
// against four free slots, in the same run. Prints the time from creating the window to its
// first paint, and the longest gap between two ticks of a 5 ms UI timer while the four polls
// hang until their login time-out, end unreachable and write their error lines.
#include "app/MonitorApp.h"
#include "log/LogWriter.h"
#include "monitor/SlotMonitor.h"
#include "probe/DatabaseProbe.h"
#include "settings/SettingsStore.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/common/SilentListener.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/common/tray/TestProgram.h"
#include "ui/MonitorDlg.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kLoginTimeoutSeconds = 3;
constexpr int kRuns = 3;

struct Figures {
    double shownMs = 0;
    double longestStallMs = 0;
    int errorLines = 0;
    qint64 stallAtMs = 0;
};

class PaintWatcher : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(o, e);
    }
};

void Store(const QString& key, const QString& value) {
    SettingsStore::WriteString(SettingsStore::kSettings, key, value);
}

Figures RunOnce(bool silentDatabases, const QString& logDir) {
    QFile::remove(SettingsStore::FilePath());
    Store(QStringLiteral("SMTP"), QStringLiteral("127.0.0.1:1"));
    Store(QStringLiteral("AccessLogFile"), logDir + QStringLiteral("/access.log"));
    const QString errorLog = logDir + QStringLiteral("/error.log");
    QFile::remove(errorLog);
    Store(QStringLiteral("ErrorLogFile"), errorLog);
    std::vector<std::unique_ptr<SilentListener>> listeners;
    if (silentDatabases) {
        for (int i = 0; i < 4; ++i) {
            listeners.push_back(std::make_unique<SilentListener>());
            Store(QStringLiteral("lastDatabase%1").arg(i),
                  QStringLiteral("DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=%1;"
                                 "Database=db%2;UID=u;PWD=p")
                      .arg(listeners.back()->Port())
                      .arg(i));
            Store(QStringLiteral("lastDatabaseTitle%1").arg(i), QStringLiteral("silent %1").arg(i));
        }
    }

    Figures f;
    PaintWatcher watcher;
    QElapsedTimer clock;
    clock.start();
    TestProgram window(std::make_unique<CRecordingTrayShell>(),
                       WithLoginTimeout(kLoginTimeoutSeconds));
    window->installEventFilter(&watcher);
    CMonitorApp::LoadIntervalsAndThresholds(*window);
    window->OnInitDialog();
    window->show();
    while (!watcher.painted && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    f.shownMs = clock.nsecsElapsed() / 1e6;

    // The UI loop while the polls hang, give up and log: the longest gap between ticks.
    QElapsedTimer gap;
    gap.start();
    qint64 longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (gap.nsecsElapsed() > longest) {
            longest = gap.nsecsElapsed();
            f.stallAtMs = clock.elapsed();
        }
        gap.restart();
    });
    ticker.start(5);
    const qint64 watchMs = (kLoginTimeoutSeconds + 3) * 1000;
    QElapsedTimer watch;
    watch.start();
    while (watch.elapsed() < watchMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    ticker.stop();
    f.longestStallMs = longest / 1e6;

    QFile log(errorLog);
    if (log.open(QIODevice::ReadOnly))
        f.errorLines = log.readAll().count("Database unreachable");
    window->EndProgram();
    window.reset();
    return f;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    const QByteArray root = home.path().toLocal8Bit();
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_STATE_HOME", root + "/state");
    qputenv("XDG_RUNTIME_DIR", root + "/runtime");
    QDir().mkpath(home.path() + QStringLiteral("/runtime"));
    // Qt refuses a runtime folder that others can read.
    QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    OdbcTestEnv::Install();

    std::vector<double> shownSilent, shownFree, stallSilent, stallFree;
    int errorLines = 0;
    for (int run = 0; run < kRuns; ++run) {
        const Figures free = RunOnce(false, home.path());
        const Figures silent = RunOnce(true, home.path());
        shownFree.push_back(free.shownMs);
        stallFree.push_back(free.longestStallMs);
        shownSilent.push_back(silent.shownMs);
        stallSilent.push_back(silent.longestStallMs);
        errorLines = std::max(errorLines, silent.errorLines);
        std::printf("  run %d: stall %.1f ms at %lld ms (free), %.1f ms at %lld ms (silent)\n", run,
                    free.longestStallMs, free.stallAtMs, silent.longestStallMs, silent.stallAtMs);
    }
    // For reading the stalls: what one settings write (each tick writes the threshold) costs.
    QElapsedTimer writes;
    writes.start();
    for (int i = 0; i < 20; ++i)
        SettingsStore::WriteInt(SettingsStore::kSettings, QStringLiteral("Warn0"), 10000 + i);
    const double writeMs = writes.nsecsElapsed() / 1e6 / 20;
    const double sf = Median(shownFree), ss = Median(shownSilent);
    const double tf = Median(stallFree), ts = Median(stallSilent);
    std::printf("start-up, median of %d runs, login time-out %d s\n", kRuns, kLoginTimeoutSeconds);
    std::printf("  window shown:    four silent databases %8.1f ms, four free slots %8.1f ms, "
                "ratio %.2f\n",
                ss, sf, sf > 0 ? ss / sf : 0.0);
    std::printf("  longest UI stall: four silent databases %7.1f ms, four free slots %8.1f ms, "
                "ratio %.2f\n",
                ts, tf, tf > 0 ? ts / tf : 0.0);
    std::printf("  one settings write on the UI thread: %.1f ms\n", writeMs);
    std::printf("  unreachable lines written per silent run: %d (expected 4)\n", errorLines);
    return 0;
}
