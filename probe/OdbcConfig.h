#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The driver manager's configuration as plain values: the data sources (SQLDataSources) and the
// installed drivers (SQLDrivers), each read afresh; and the writing of a user data source.
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

// Splits SQLDrivers' attribute list ("key=value\0key=value\0\0", length in bytes without the
// last NUL) into pairs; an entry without '=' gets an empty value.
QList<QPair<QString, QString>> SplitDriverAttributes(const char* list, int bytes);

} // namespace OdbcConfig
