// Loads a 1,000,000-line log into the viewer and reports how soon the first lines show, how
// long the whole log takes, and the longest time the UI thread went without handling a timer,
// beside the time to read the same file line by line into memory (the floor for any viewer).
// Goals: first lines under 0.2 s, longest stall under 50 ms.
#include "log/LogFile.h"
#include "log/LogWriter.h"
#include "ui/DialogPrompt.h"
#include "ui/LogViewDlg.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kLines = 1000000;

bool WriteLog(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray chunk;
    for (int i = 0; i < kLines; ++i) {
        chunk += "<12/06/2003 14:05:09> Database " + QByteArray::number(i % 4 + 1) +
                 " reached in " + QByteArray::number(i % 997) + "ms (poll " +
                 QByteArray::number(i) + ")\r\n";
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return true;
}

double ReadIntoMemorySeconds(const QString& path, qsizetype* count) {
    QElapsedTimer clock;
    clock.start();
    LogFile file(path, LogFile::Mode::Read);
    QStringList lines;
    QString line;
    while (file.ReadLine(&line))
        lines.append(line);
    *count = lines.size();
    return clock.nsecsElapsed() / 1e9;
}

struct ViewerRun {
    double firstLines = -1;
    double loaded = -1;
    double longestStallMs = 0;
    qsizetype shown = 0;
};

ViewerRun RunViewer(const QString& path) {
    LogWriter writer(nullptr);
    ViewerRun run;
    CLogViewDlg viewer(writer, DefaultDialogPrompt());
    viewer.SetLogPath(path);

    QElapsedTimer clock;
    // A fast timer on the UI thread: the longest gap between two ticks is the longest time
    // the window could not have answered the user.
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    qint64 lastTick = 0;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        run.longestStallMs = std::max(run.longestStallMs, (now - lastTick) / 1e6);
        lastTick = now;
    });
    QObject::connect(&viewer, &CLogViewDlg::LinesAdded, [&](qsizetype) {
        if (run.firstLines < 0)
            run.firstLines = clock.nsecsElapsed() / 1e9;
    });
    QEventLoop loop;
    QObject::connect(&viewer, &CLogViewDlg::LoadFinished, [&] {
        run.loaded = clock.nsecsElapsed() / 1e9;
        loop.quit();
    });

    clock.start();
    heartbeat.start(2);
    viewer.show();
    // A paint of what has arrived, as a user would see it (the offscreen platform paints too).
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    heartbeat.stop();
    run.shown = viewer.LinesShown();
    viewer.close();
    return run;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("access.log");
    if (!dir.isValid() || !WriteLog(path)) {
        std::fprintf(stderr, "cannot write the log in %s\n", qPrintable(QDir::tempPath()));
        return 1;
    }

    qsizetype read = 0;
    ReadIntoMemorySeconds(path, &read); // warm the page cache for both runs
    const double baseline = ReadIntoMemorySeconds(path, &read);
    const ViewerRun run = RunViewer(path);

    std::printf("log viewer, %d lines (%.1f MB)\n", kLines, QFile(path).size() / 1e6);
    std::printf("  read into memory (baseline): %8.3f s  (%lld lines)\n", baseline,
                static_cast<long long>(read));
    std::printf("  viewer, first lines shown:    %8.3f s  (goal < 0.200 s)\n", run.firstLines);
    std::printf("  viewer, fully loaded:         %8.3f s  (%lld lines shown)\n", run.loaded,
                static_cast<long long>(run.shown));
    std::printf("  viewer, longest UI stall:     %8.1f ms (goal < 50 ms)\n", run.longestStallMs);
    std::printf("  ratio fully loaded / baseline: %.1fx\n",
                baseline > 0 ? run.loaded / baseline : 0);
    const bool ok = run.shown == kLines && run.firstLines >= 0 && run.firstLines < 0.2 &&
                    run.longestStallMs < 50;
    std::printf("  goals %s\n", ok ? "met" : "NOT met");
    return 0;
}
