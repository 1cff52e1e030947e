#include "ui/LogonStart.h"

#include "app/ProductInfo.h"
#include "controls/Icons.h"
#include "platform/Notice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace LogonStart {

namespace {

// The desktop entry spec wants reserved characters in Exec quoted; a path with a blank would
// otherwise split into arguments.
QString ExecField(const QString& path) {
    static const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (QChar c : path)
        quote = quote || reserved.contains(c);
    QString out = path;
    if (quote) {
        out = QStringLiteral("\"");
        for (QChar c : path) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                out += u'\\';
            out += c;
        }
        out += u'"';
    }
    // The file format escapes backslashes and line breaks once more (a raw break would start
    // a key of its own), and a '%' would be taken for a field code.
    out.replace(u'\\', QStringLiteral("\\\\"));
    out.replace(u'\n', QStringLiteral("\\n"));
    out.replace(u'\r', QStringLiteral("\\r"));
    out.replace(u'%', QStringLiteral("%%"));
    return out;
}

} // namespace

QString EntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + QLatin1String(ProductInfo::kProgramName) +
           QStringLiteral(".desktop");
}

bool Apply(bool on, const QString& programPath, INotice* notice) {
    const QString entry = EntryPath();
    if (!on) {
        QFile::remove(entry);
        return true;
    }
    const QString text =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=%1\n"
                       "Comment=%2\n"
                       "Exec=%3\n"
                       "Icon=%4\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n")
            .arg(QLatin1String(ProductInfo::kProgramName), QLatin1String(ProductInfo::kDescription),
                 ExecField(programPath), QLatin1String(kThemeIconName));
    bool ok = QDir().mkpath(QFileInfo(entry).absolutePath());
    if (ok) {
        QSaveFile file(entry);
        ok = file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
    }
    if (!ok && notice)
        notice->ShowNotice(QStringLiteral("Could not register Trellion."));
    return ok;
}

} // namespace LogonStart
