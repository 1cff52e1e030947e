#include "ui/DataSourceChooserDlg.h"

#include "probe/ConnectionStrings.h"

#include <QFile>
#include <QFileInfo>

#include <sql.h>
#include <sqlext.h>

namespace {

class EnvHandle {
public:
    EnvHandle() {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env))) {
            m_env = SQL_NULL_HENV;
            return;
        }
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    }
    ~EnvHandle() {
        if (m_env != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
    }
    EnvHandle(const EnvHandle&) = delete;
    EnvHandle& operator=(const EnvHandle&) = delete;
    SQLHENV Get() const { return m_env; }

private:
    SQLHENV m_env = SQL_NULL_HENV;
};

QString FromOdbc(const SQLCHAR* text) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text));
}

void AppendDataSources(SQLHENV env, SQLUSMALLINT first, bool system,
                       QList<CDataSourceChooserDlg::DataSourceEntry>* out) {
    // Names and descriptions longer than these come back cut (SQL_SUCCESS_WITH_INFO), which
    // is still a listed data source.
    SQLCHAR name[512];
    SQLCHAR driver[1024];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT driverLength = 0;
    SQLUSMALLINT direction = first;
    while (SQL_SUCCEEDED(SQLDataSources(env, direction, name, sizeof name, &nameLength, driver,
                                        sizeof driver, &driverLength))) {
        out->append({FromOdbc(name), FromOdbc(driver), system});
        direction = SQL_FETCH_NEXT;
    }
}

QString FirstKey(const QString& connectionString) {
    const QString first = connectionString.section(u';', 0, 0);
    const int eq = first.indexOf(u'=');
    return (eq < 0 ? QString() : first.left(eq)).trimmed().toUpper();
}

} // namespace

QList<CDataSourceChooserDlg::DataSourceEntry> CDataSourceChooserDlg::ListDataSources() {
    QList<DataSourceEntry> out;
    EnvHandle env;
    if (env.Get() == SQL_NULL_HENV)
        return out;
    AppendDataSources(env.Get(), SQL_FETCH_FIRST_USER, false, &out);
    AppendDataSources(env.Get(), SQL_FETCH_FIRST_SYSTEM, true, &out);
    return out;
}

QStringList CDataSourceChooserDlg::ListDrivers() {
    QStringList out;
    EnvHandle env;
    if (env.Get() == SQL_NULL_HENV)
        return out;
    SQLCHAR name[512];
    SQLCHAR attributes[2048];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(env.Get(), direction, name, sizeof name, &nameLength,
                                    attributes, sizeof attributes, &attributesLength))) {
        out.append(FromOdbc(name));
        direction = SQL_FETCH_NEXT;
    }
    return out;
}

QString CDataSourceChooserDlg::QuoteValue(const QString& value) {
    if (!value.contains(u';') && !value.startsWith(u'{'))
        return value;
    QString inner = value;
    inner.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return u'{' + inner + u'}';
}

QString CDataSourceChooserDlg::WithCredentials(const QString& connectionString, const QString& user,
                                               const QString& password) {
    QString out = connectionString;
    const auto add = [&out](const char* key, const QString& value) {
        if (value.isEmpty())
            return;
        if (!out.isEmpty() && !out.endsWith(u';'))
            out += u';';
        out += QString::fromLatin1(key) + u'=' + QuoteValue(value);
    };
    add("UID", user);
    add("PWD", password);
    return out;
}

QString CDataSourceChooserDlg::DatabaseFileString(const QString& path) {
    // Without NoCreat the driver creates a file that has gone, and the poll reports an empty new
    // database as reachable instead of the one that was lost.
    return QStringLiteral("DRIVER={") + QString::fromLatin1(kSqliteDriver) +
           QStringLiteral("};Database=") + path + QStringLiteral(";NoCreat=1");
}

QString CDataSourceChooserDlg::TypedString(const QString& driver, const QString& attributes) {
    QString rest = attributes.trimmed();
    while (rest.startsWith(u';'))
        rest.remove(0, 1);
    // A string typed whole is taken as it is.
    if (NamesItsOwnDriver(rest))
        return rest;
    QString name = driver;
    name.replace(QStringLiteral("}"), QStringLiteral("}}"));
    const QString base = QStringLiteral("DRIVER={") + name + u'}';
    return rest.isEmpty() ? base : base + u';' + rest;
}

bool CDataSourceChooserDlg::NamesItsOwnDriver(const QString& attributes) {
    const QString key = FirstKey(attributes.trimmed());
    return key == u"DRIVER" || key == u"DSN" || key == u"FILEDSN";
}

QString CDataSourceChooserDlg::ExampleAttributes(const QString& driver) {
    using Kind = ConnectionStrings::DriverKind;
    switch (ConnectionStrings::KindOfDriver(driver)) {
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
