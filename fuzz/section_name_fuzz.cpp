// Section names of the settings store: any title is a section of its own that round-trips
// through the file, and never reaches into another section, "Settings" or the top level.
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
QTemporaryDir* g_home = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where there is a tmpfs: every write syncs the file.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? "/dev/shm" : QDir::tempPath();
    g_home = new QTemporaryDir(base + QStringLiteral("/trellion-fuzz-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", g_home->path().toLocal8Bit());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two titles split at the first NUL; the second defaults to the first with its escapes
    // spelled out, the likeliest name to collide with it.
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = bytes.indexOf('\0');
    const QString first = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    QString second = split < 0 ? QString(first)
                                     .replace(u'%', QLatin1String("%25"))
                                     .replace(u'/', QLatin1String("%2F"))
                                     .replace(u'\\', QLatin1String("%5C"))
                               : QString::fromUtf8(bytes.mid(split + 1));
    if (second == first)
        second += u'/';
    using namespace SettingsStore;
    const QString key = QStringLiteral("Warned");
    if (!WriteString(first, key, QStringLiteral("first")) ||
        !WriteString(second, key, QStringLiteral("second")))
        std::abort();
    if (ReadString(first, key) != QLatin1String("first") ||
        ReadString(second, key) != QLatin1String("second"))
        std::abort();
    if (!first.isEmpty() && !second.isEmpty() && !ReadString(QString(), key).isEmpty())
        std::abort();
    if (first != QLatin1String(kSettings) && second != QLatin1String(kSettings) &&
        !ReadString(QLatin1String(kSettings), key).isEmpty())
        std::abort();
    QFile::remove(FilePath());
    return 0;
}
