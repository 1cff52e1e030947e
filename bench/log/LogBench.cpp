// Four poll threads writing 10,000 lines each through WriteLogLine, against a baseline in the
// same run: four threads that each open, append one line and close per line, with no lock.
#include "log/LogWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kThreads = 4;
constexpr int kLines = 10000;

template <typename Work> double Seconds(Work work) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
    for (std::thread& thread : threads)
        thread.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

QString Message(int thread, int line) {
    return QStringLiteral("Database %1 reachable in %2ms").arg(thread + 1).arg(line % 997);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    if (!dir.isValid())
        return 1;
    const QString baselinePath = dir.filePath(QStringLiteral("baseline.log"));
    const QString accessPath = dir.filePath(QStringLiteral("access.log"));
    const QString errorPath = dir.filePath(QStringLiteral("error.log"));
    const QByteArray baselineNative = QFile::encodeName(baselinePath);

    const double baseline = Seconds([&](int t) {
        for (int i = 0; i < kLines; ++i) {
            const QByteArray line = LogWriter::FormatPrefix(std::time(nullptr)) +
                                    Message(t, i).toUtf8() + QByteArrayLiteral("\r\n");
            const int fd =
                ::open(baselineNative.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0)
                continue;
            if (::write(fd, line.constData(), static_cast<size_t>(line.size())) < 0)
                std::perror("write");
            ::close(fd);
        }
    });

    LogWriter writer(nullptr);
    writer.SetSettings({accessPath, errorPath, true, true});
    const double logged = Seconds([&](int t) {
        for (int i = 0; i < kLines; ++i)
            writer.WriteLogLine(Message(t, i), i % 8 ? accessPath : errorPath, false);
    });

    const int total = kThreads * kLines;
    std::printf("log writer: %d threads x %d lines\n", kThreads, kLines);
    std::printf("  baseline (open, append, close; no lock): %8.3f s  %8.2f us/line\n", baseline,
                baseline * 1e6 / total);
    std::printf("  WriteLogLine (flock, mutex, queue):     %8.3f s  %8.2f us/line\n", logged,
                logged * 1e6 / total);
    std::printf("  ratio WriteLogLine / baseline: %.2f\n", logged / baseline);
    return writer.MissedEntries().isEmpty() ? 0 : 1;
}
