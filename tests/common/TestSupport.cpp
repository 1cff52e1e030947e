#include "tests/common/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>

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

} // namespace TestSupport
