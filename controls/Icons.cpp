#include "controls/Icons.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QThread>

#include <mutex>

// The icons are linked from a static library: nothing else refers to them, so the resource
// registration has to be pulled in by name (outside any namespace).
static void InitIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

// Sizes drawn for each icon; QIcon picks the nearest and scales from the larger ones.
constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kIconIds[] = {128, 131, 132, 133, 134, 138, 142};

const QHash<int, QIcon>& Icons() {
    static QHash<int, QIcon> icons;
    static std::once_flag once;
    std::call_once(once, [] {
        InitIconResources();
        for (int id : kIconIds) {
            QIcon icon;
            for (int size : kSizes) {
                const QString path = QStringLiteral(":/icons/%1-%2.png").arg(id).arg(size);
                if (QFile::exists(path))
                    icon.addFile(path, QSize(size, size));
            }
            icons.insert(id, icon);
        }
    });
    return icons;
}

} // namespace

QIcon TrellionIcon(int id) {
    const QIcon builtIn = Icons().value(id);
    // The icon theme may only be asked from the UI thread.
    if (id == IconId::Program && qApp && QThread::currentThread() == qApp->thread())
        return QIcon::fromTheme(QLatin1String(kThemeIconName), builtIn);
    return builtIn;
}

QString TrellionString(int id) {
    switch (id) {
    case 128:   // the program's icon
    case 57344: // the application's name
        return QStringLiteral("Trellion");
    default:
        return QString();
    }
}
