#include "ui/DataSourceChooserDlg.h"

#include "probe/OdbcConfig.h"

#include <QFile>
#include <QFileInfo>

QString CDataSourceChooserDlg::DatabaseFileString(const QString& path) {
    // Without NoCreat the driver creates a file that has gone, and the poll reports an empty new
    // database as reachable instead of the one that was lost.
    return QStringLiteral("DRIVER={") + QString::fromLatin1(kSqliteDriver) +
           QStringLiteral("};Database=") + path + QStringLiteral(";NoCreat=1");
}

QString CDataSourceChooserDlg::ExampleAttributes(const QString& driver) {
    using Kind = OdbcConfig::DriverKind;
    switch (OdbcConfig::KindOfDriver(driver)) {
    case Kind::PostgreSql:
        return QStringLiteral("Server=localhost;Port=5432;Database=name");
    case Kind::MariaDb:
        return QStringLiteral("Server=localhost;Port=3306;Database=name");
    case Kind::Sqlite:
        return QStringLiteral("Database=/path/to/file.db");
    case Kind::Other:
        break;
    }
    return QStringLiteral("Attribute=value;Attribute=value");
}

QString CDataSourceChooserDlg::DatabaseFileProblem(const QString& path) {
    // The SQLite driver makes a missing file and connects to it: a mistyped path would pass as
    // a reachable database.
    if (!QFileInfo(path).isFile())
        return QStringLiteral("The database file does not exist.");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("The database file '") + path + QStringLiteral("' cannot be read: ") +
               file.errorString();
    // An empty file is what SQLite makes of a new database before its first table, and the
    // driver opens it as one.
    static constexpr char kHeader[] = "SQLite format 3"; // with its NUL, 16 bytes
    const QByteArray head = file.read(sizeof kHeader);
    if (head.isEmpty() && file.atEnd())
        return QString();
    if (head != QByteArray(kHeader, sizeof kHeader))
        return QStringLiteral("The file '") + path + QStringLiteral("' is not a SQLite database.");
    return QString();
}
