#include "tests/common/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <atomic>

namespace TestSupport {

QString HomeDir() {
    return qEnvironmentVariable("TRELLION_TEST_HOME", QDir::tempPath());
}

QString MakeTempDir(const QString& prefix) {
    static std::atomic<int> counter{0};
    const QString path = HomeDir() + u'/' + prefix + u'-' + QString::number(counter++);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Only the thread that owns the application object may run its events.
        if (QCoreApplication::instance() &&
            QThread::currentThread() == QCoreApplication::instance()->thread())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

} // namespace TestSupport
