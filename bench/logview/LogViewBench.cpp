// Opens a 1,000,000-line log in the viewer and reports how soon the first screen shows, how soon
// the whole log is browsable (index built), the memory the viewer adds, the longest time the UI
// thread went without handling a timer, and how long a find takes for a text on the last line
// and for one near the start; beside the time to read the same file line by line into memory in
// the same run. Goals: first screen under 0.2 s, browsable within 3 times the read, memory under
// twice the file size, stalls under 50 ms, each find under 0.5 s.
#include "platform/LogFile.h"
#include "log/LogWriter.h"
#include "ui/DialogPrompt.h"
#include "ui/LogLinesView.h"
#include "ui/LogViewDlg.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <malloc.h>
#include <time.h>
#include <unistd.h>

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

qint64 ResidentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A fast timer on the UI thread: the longest gap between two ticks is the longest time the
// window could not have answered the user. On a busy machine that gap includes time the thread
// waited for a core, so the UI thread's own CPU time between two ticks is kept too: the longest
// piece of work the viewer gave it. It also samples the resident memory.
struct Heartbeat {
    QElapsedTimer clock;
    QTimer timer;
    qint64 lastTick = 0;
    double lastCpuMs = 0;
    double longestMs = 0;
    double longestCpuMs = 0;
    qint64 peakResident = 0;

    Heartbeat() {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] { Tick(); });
    }
    void Start() {
        longestMs = 0;
        longestCpuMs = 0;
        lastTick = clock.nsecsElapsed();
        lastCpuMs = ThreadCpuMs();
        timer.start(2);
    }
    void Tick() {
        const qint64 now = clock.nsecsElapsed();
        const double cpu = ThreadCpuMs();
        longestMs = std::max(longestMs, (now - lastTick) / 1e6);
        longestCpuMs = std::max(longestCpuMs, cpu - lastCpuMs);
        lastTick = now;
        lastCpuMs = cpu;
        peakResident = std::max(peakResident, ResidentBytes());
    }
    double Seconds() const { return clock.nsecsElapsed() / 1e9; }
};

// Runs the event loop until done() holds, at most two minutes.
void RunUntil(const std::function<bool()>& done) {
    QElapsedTimer limit;
    limit.start();
    while (!done() && limit.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

struct ViewerRun {
    double firstScreen = -1;
    double browsable = -1;
    double loadStallMs = 0;
    double loadBusyMs = 0;
    qint64 addedBytes = 0;
    qint64 peakAddedBytes = 0;
    qsizetype lines = 0;
    double findLast = -1;
    double findStart = -1;
    double findStallMs = 0;
    double findBusyMs = 0;
    qsizetype lastMatch = -1;
    qsizetype startMatch = -1;
};

class FirstPaint : public QObject {
public:
    FirstPaint(LogLinesView* view, Heartbeat* beat, double* at)
        : m_view(view), m_beat(beat), m_at(at) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && *m_at < 0 && m_view->Count() > 0)
            *m_at = m_beat->Seconds();
        return false;
    }

private:
    LogLinesView* m_view;
    Heartbeat* m_beat;
    double* m_at;
};

double TimeFind(CLogViewDlg& viewer, Heartbeat& beat, const QString& text, bool* found) {
    bool finished = false;
    const QMetaObject::Connection connection =
        QObject::connect(&viewer, &CLogViewDlg::FindFinished, [&](bool hit) {
            finished = true;
            *found = hit;
        });
    viewer.FindEdit()->setText(text);
    const double start = beat.Seconds();
    beat.Start();
    viewer.FindNext();
    RunUntil([&] { return finished; });
    QObject::disconnect(connection);
    return beat.Seconds() - start;
}

// A viewer on a short log first, so that the measured run does not pay for the first use of the
// fonts, the file watcher and the like, which the main window has long paid for.
void WarmUp(const QString& path) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("<12/06/2003 14:05:09> Database 1 reached in 5ms\r\n");
    file.close();
    LogWriter writer(nullptr);
    CLogViewDlg viewer(writer, DefaultDialogPrompt());
    viewer.SetLogPath(path);
    viewer.show();
    RunUntil([&] { return viewer.IsLoaded(); });
    QCoreApplication::processEvents();
    viewer.close();
}

ViewerRun RunViewer(const QString& path) {
    LogWriter writer(nullptr);
    ViewerRun run;
    malloc_trim(0);
    const qint64 residentBefore = ResidentBytes();
    Heartbeat beat;
    beat.peakResident = residentBefore;
    {
        CLogViewDlg viewer(writer, DefaultDialogPrompt());
        viewer.SetLogPath(path);
        FirstPaint firstPaint(viewer.View(), &beat, &run.firstScreen);
        viewer.View()->viewport()->installEventFilter(&firstPaint);
        bool loaded = false;
        QObject::connect(&viewer, &CLogViewDlg::LoadFinished, [&] {
            run.browsable = beat.Seconds();
            loaded = true;
        });

        beat.clock.start();
        beat.Start();
        viewer.show();
        RunUntil([&] { return loaded && run.firstScreen >= 0; });
        run.loadStallMs = beat.longestMs;
        run.loadBusyMs = beat.longestCpuMs;
        run.lines = viewer.View()->Count();
        run.addedBytes = ResidentBytes() - residentBefore;
        run.peakAddedBytes = beat.peakResident - residentBefore;

        // The view opens at the end, so a find from there reaches the start at once; the text on
        // the last line is then looked for from near the start, through the whole log.
        viewer.OpenFindBar();
        bool found = false;
        run.findStart = TimeFind(viewer, beat, QStringLiteral("(poll 12)"), &found);
        run.startMatch = found ? viewer.View()->CurrentLine() : -1;
        run.findStallMs = beat.longestMs;
        run.findBusyMs = beat.longestCpuMs;
        run.findLast = TimeFind(viewer, beat, QStringLiteral("(POLL 999999)"), &found);
        run.lastMatch = found ? viewer.View()->CurrentLine() : -1;
        run.findStallMs = std::max(run.findStallMs, beat.longestMs);
        run.findBusyMs = std::max(run.findBusyMs, beat.longestCpuMs);
        beat.timer.stop();
        viewer.close();
    }
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
    const qint64 fileBytes = QFile(path).size();

    WarmUp(dir.filePath("warm.log"));
    qsizetype read = 0;
    ReadIntoMemorySeconds(path, &read); // warm the page cache for both runs
    const double baseline = ReadIntoMemorySeconds(path, &read);
    const ViewerRun run = RunViewer(path);

    std::printf("log viewer, %d lines (%.1f MB)\n", kLines, fileBytes / 1e6);
    std::printf("  read into memory (baseline):  %8.3f s  (%lld lines)\n", baseline,
                static_cast<long long>(read));
    std::printf("  first screen:                 %8.3f s  (goal < 0.200 s)\n", run.firstScreen);
    std::printf("  whole log browsable:          %8.3f s  (%lld lines; ratio %.2fx, goal < 3x)\n",
                run.browsable, static_cast<long long>(run.lines),
                baseline > 0 ? run.browsable / baseline : 0);
    std::printf("  memory added by the viewer:   %8.1f MB (peak %.1f MB; ratio %.2fx of the file, "
                "goal < 2x)\n",
                run.addedBytes / 1e6, run.peakAddedBytes / 1e6,
                static_cast<double>(run.peakAddedBytes) / fileBytes);
    std::printf("  longest UI stall, loading:    %8.1f ms (goal < 50 ms; UI thread CPU %.1f ms)\n",
                run.loadStallMs, run.loadBusyMs);
    std::printf("  find on the last line:        %8.3f s  (line %lld; ratio %.2fx of baseline, "
                "goal < 0.5 s)\n",
                run.findLast, static_cast<long long>(run.lastMatch),
                baseline > 0 ? run.findLast / baseline : 0);
    std::printf("  find near the start:          %8.3f s  (line %lld; goal < 0.5 s)\n",
                run.findStart, static_cast<long long>(run.startMatch));
    std::printf("  longest UI stall, finding:    %8.1f ms (goal < 50 ms; UI thread CPU %.1f ms)\n",
                run.findStallMs, run.findBusyMs);
    double load[3] = {};
    if (getloadavg(load, 3) > 0)
        std::printf("  load average during the run:  %8.2f\n", load[0]);
    const bool ok = run.lines == kLines && run.firstScreen >= 0 && run.firstScreen < 0.2 &&
                    run.browsable < 3 * baseline && run.peakAddedBytes < 2 * fileBytes &&
                    run.loadStallMs < 50 && run.findStallMs < 50 && run.findLast < 0.5 &&
                    run.findStart < 0.5 && run.lastMatch == kLines - 1 && run.startMatch == 12;
    std::printf("  goals %s\n", ok ? "met" : "NOT met");
    return 0;
}
