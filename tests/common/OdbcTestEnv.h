#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// A private unixODBC configuration for one test process, so that tests neither depend on nor
// touch the machine's data sources (and leave out Debian's CommLog=1 for PostgreSQL).
namespace OdbcTestEnv {

// Writes odbcinst.ini (drivers "SQLite3" and "PostgreSQL Unicode") and empty odbc.ini files into a
// temp folder and points ODBCSYSINI/ODBCINI at them, before any ODBC call (unixODBC caches the
// paths); later calls return the same folder.
QString Install();

// Registers (or replaces) a driver; a bare file name is looked for in the system's driver folder.
void AddDriver(const QString& name, const QString& library);

// Adds (or replaces) a data source in the private user (or system) odbc.ini.
void AddDsn(const QString& name, const QString& driver, const QMap<QString, QString>& attrs,
            bool system = false);

// Runs statements on a connection with plain driver-manager calls; the first failure's
// diagnostic, or empty when all ran.
QString ExecSql(const QString& connectionString, const QStringList& statements);

// Creates a SQLite database file at path through the SQLite3 driver, holding one small table.
// Returns the path, or an empty string (with a gtest failure) when it could not be made.
QString CreateSqliteDatabase(const QString& path);

// "DRIVER={SQLite3};Database=<path>;NoCreat=1": a missing file fails instead of being created.
QString SqliteConnectionString(const QString& path);

} // namespace OdbcTestEnv
