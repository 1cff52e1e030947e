#include "probe/OdbcConfig.h"

#include "probe/ConnectionStrings.h"
#include "probe/OdbcHandles.h"

#include <odbcinst.h>

#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace OdbcConfig {

namespace {

using ConnectionStrings::Attribute;
using ConnectionStrings::FindAttribute;
using ConnectionStrings::ParseAttributes;

void AppendDataSources(const Odbc::Environment& env, SQLUSMALLINT first, bool system,
                       QList<DataSource>* out) {
    // Names and descriptions longer than these come back cut (SQL_SUCCESS_WITH_INFO), which
    // is still a listed data source.
    SQLCHAR name[512];
    SQLCHAR driver[1024];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT driverLength = 0;
    SQLUSMALLINT direction = first;
    while (SQL_SUCCEEDED(SQLDataSources(env.Get(), direction, name, sizeof name, &nameLength,
                                        driver, sizeof driver, &driverLength))) {
        out->append({Odbc::FromDriver(name), Odbc::FromDriver(driver), system});
        direction = SQL_FETCH_NEXT;
    }
}

// The installer's first error, for a write the driver manager refused.
QString InstallerError() {
    DWORD code = 0;
    char message[SQL_MAX_MESSAGE_LENGTH] = {};
    WORD length = 0;
    if (SQLInstallerError(1, &code, message, sizeof message, &length) != SQL_SUCCESS)
        return QStringLiteral("The driver manager could not write the data source.");
    return QString::fromUtf8(message);
}

static_assert(kMaxDataSourceNameBytes == SQL_MAX_DSN_LENGTH);

} // namespace

QList<DataSource> DataSources() {
    QList<DataSource> out;
    const Odbc::Environment env;
    if (!env.IsValid())
        return out;
    AppendDataSources(env, SQL_FETCH_FIRST_USER, false, &out);
    AppendDataSources(env, SQL_FETCH_FIRST_SYSTEM, true, &out);
    return out;
}

QList<Driver> Drivers() {
    QList<Driver> out;
    const Odbc::Environment env;
    if (!env.IsValid())
        return out;
    SQLCHAR name[512];
    char attributes[2048];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(env.Get(), direction, name, sizeof name, &nameLength,
                                    reinterpret_cast<SQLCHAR*>(attributes), sizeof attributes,
                                    &attributesLength))) {
        // A list longer than the buffer keeps what fits.
        const int bytes = std::min<int>(attributesLength, int(sizeof attributes) - 1);
        out.append({Odbc::FromDriver(name), SplitDriverAttributes(attributes, bytes)});
        direction = SQL_FETCH_NEXT;
    }
    return out;
}

QStringList DriverNames() {
    QStringList out;
    for (const Driver& driver : Drivers())
        out.append(driver.name);
    return out;
}

bool IsValidDataSourceName(const QString& name) {
    const QByteArray bytes = name.toUtf8();
    return bytes.size() <= kMaxDataSourceNameBytes && SQLValidDSN(bytes.constData());
}

bool WriteUserDataSource(const QString& name, const QString& driver,
                         const QList<QPair<QString, QString>>& attributes, QString* error) {
    const QByteArray dsn = name.toUtf8();
    const QByteArray driverName = driver.toUtf8();
    // The mode is the driver manager's, for the whole process: set for the write and put back
    // at once.
    SQLSetConfigMode(ODBC_USER_DSN);
    bool ok = SQLWriteDSNToIni(dsn.constData(), driverName.constData());
    for (qsizetype i = 0; ok && i < attributes.size(); ++i) {
        const QByteArray key = attributes[i].first.toUtf8();
        const QByteArray value = attributes[i].second.toUtf8();
        ok = SQLWritePrivateProfileString(dsn.constData(), key.constData(), value.constData(),
                                          "odbc.ini");
    }
    if (!ok && error)
        *error = InstallerError();
    SQLSetConfigMode(ODBC_BOTH_DSN);
    return ok;
}

QList<QPair<QString, QString>> SplitDriverAttributes(const char* list, int bytes) {
    QList<QPair<QString, QString>> out;
    int at = 0;
    while (at < bytes && list[at] != '\0') {
        const int length = int(qstrnlen(list + at, size_t(bytes - at)));
        const QString entry = QString::fromUtf8(list + at, length);
        const qsizetype equals = entry.indexOf(u'=');
        if (equals < 0)
            out.append({entry, QString()});
        else
            out.append({entry.left(equals), entry.mid(equals + 1)});
        at += length + 1;
    }
    return out;
}

QString ProfileString(const QString& section, const char* key, const char* file) {
    char value[1024] = {};
    const QByteArray name = section.toUtf8();
    if (SQLGetPrivateProfileString(name.constData(), key, "", value, sizeof value, file) <= 0)
        return QString();
    return QString::fromUtf8(value);
}

namespace {

// True when the text names the family: "psql" or "postgres" in a name or library, and so on.
DriverKind KindOfText(const QString& text) {
    const auto has = [&text](const char* word) {
        return text.contains(QLatin1String(word), Qt::CaseInsensitive);
    };
    if (has("sqlite"))
        return DriverKind::Sqlite;
    if (has("postgres") || has("psql"))
        return DriverKind::PostgreSql;
    if (has("mariadb") || has("maodbc") || has("mysql") || has("myodbc"))
        return DriverKind::MariaDb;
    return DriverKind::Other;
}

} // namespace

DriverKind KindOfDriver(QString driver) {
    driver = driver.trimmed();
    if (driver.startsWith(u'{') && driver.endsWith(u'}'))
        driver = driver.mid(1, driver.size() - 2);
    if (driver.isEmpty())
        return DriverKind::Other;
    if (const DriverKind byName = KindOfText(driver); byName != DriverKind::Other)
        return byName;
    return KindOfText(QFileInfo(ProfileString(driver, "Driver", "ODBCINST.INI")).fileName());
}

namespace {

// How the SQLite drivers read a switch.
bool IsTrue(const QString& value) {
    const QString v = value.trimmed();
    return !v.isEmpty() && QStringLiteral("Yy123456789Tt").contains(v[0]);
}

} // namespace

bool UsesSqliteDriver(const QString& connectionString) {
    const QList<Attribute> attributes = ParseAttributes(connectionString);
    if (const Attribute* driver = FindAttribute(attributes, {"DRIVER"}))
        return KindOfDriver(driver->value) == DriverKind::Sqlite;
    const Attribute* dsn = FindAttribute(attributes, {"DSN"});
    const QString dsnName = dsn ? dsn->value.trimmed() : QString();
    return !dsnName.isEmpty() &&
           KindOfDriver(ProfileString(dsnName, "Driver", "ODBC.INI")) == DriverKind::Sqlite;
}

// NoCreat goes first: the driver takes the first of two values, and stops reading at an
// attribute without '='.
QString WithNoCreat(const QString& connectionString) {
    if (!UsesSqliteDriver(connectionString))
        return connectionString;
    const QList<Attribute> attributes = ParseAttributes(connectionString);
    const Attribute* dsn = FindAttribute(attributes, {"DSN"});
    const QString dsnName = dsn ? dsn->value.trimmed() : QString();
    if (const Attribute* noCreat = FindAttribute(attributes, {"NoCreat"})) {
        if (IsTrue(noCreat->value))
            return connectionString;
    } else if (!dsnName.isEmpty() && IsTrue(ProfileString(dsnName, "NoCreat", "ODBC.INI"))) {
        return connectionString;
    }
    return QStringLiteral("NoCreat=1;") + connectionString;
}

} // namespace OdbcConfig
