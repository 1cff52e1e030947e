#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The driver manager's configuration: the data sources (SQLDataSources) and the installed
// drivers (SQLDrivers) as plain values, each read afresh; the values of odbc.ini and
// odbcinst.ini and what they say of a connection string; the writing of a user data source.
namespace OdbcConfig {

// The longest data source name the driver manager takes, in bytes.
constexpr int kMaxDataSourceNameBytes = 32;

struct DataSource {
    QString name;
    QString driver; // the driver's description, as the driver manager gives it
    bool system = false;
    bool operator==(const DataSource&) const = default;
};

struct Driver {
    QString name;
    // "key=value" pairs of its odbcinst.ini section, in the driver manager's order.
    QList<QPair<QString, QString>> attributes;
    bool operator==(const Driver&) const = default;
};

// User data sources first, then system ones, each in the driver manager's order.
QList<DataSource> DataSources();
QList<Driver> Drivers();
QStringList DriverNames();

// True when the driver manager takes the name for a data source (at most
// kMaxDataSourceNameBytes, none of its reserved characters).
bool IsValidDataSourceName(const QString& name);

// Writes a user data source with SQLWriteDSNToIni and SQLWritePrivateProfileString in the
// driver manager's user mode; false with *error set from the installer when it fails.
bool WriteUserDataSource(const QString& name, const QString& driver,
                         const QList<QPair<QString, QString>>& attributes, QString* error);

// A value of odbc.ini (section = data source) or odbcinst.ini (section = driver); empty when
// there is none.
QString ProfileString(const QString& section, const char* key, const char* file);

// The families of drivers the program knows how to describe and set up.
enum class DriverKind { Other, PostgreSql, MariaDb, Sqlite };

// The family of a driver from a DRIVER= value or a data source's "Driver": a name registered in
// odbcinst.ini (judged by its name, then by its library's file name) or a library path.
DriverKind KindOfDriver(QString driver);

// True when the string connects through a SQLite driver (named in it, or its data source's).
bool UsesSqliteDriver(const QString& connectionString);

// The SQLite drivers create a database file that is missing, and a poll would then find an
// empty new database reachable. NoCreat=1 makes them fail instead; it is put first unless the
// string or its data source already says so.
QString WithNoCreat(const QString& connectionString);

// Splits SQLDrivers' attribute list ("key=value\0key=value\0\0", length in bytes without the
// last NUL) into pairs; an entry without '=' gets an empty value.
QList<QPair<QString, QString>> SplitDriverAttributes(const char* list, int bytes);

} // namespace OdbcConfig
