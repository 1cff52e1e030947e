#include "tests/common/OdbcTestEnv.h"

#include "tests/common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <dlfcn.h>

#include <mutex>

namespace OdbcTestEnv {
namespace {

std::mutex g_mutex;
QString g_dir;
// File name -> section -> key -> value; each file is rewritten whole from here.
QMap<QString, QMap<QString, QMap<QString, QString>>> g_files;

QString DriverFolder() {
    return QFileInfo::exists("/usr/lib/x86_64-linux-gnu/odbc") ? "/usr/lib/x86_64-linux-gnu/odbc/"
                                                               : "/usr/lib/aarch64-linux-gnu/odbc/";
}

void WriteIni(const QString& name) {
    QByteArray text;
    for (auto section = g_files[name].cbegin(); section != g_files[name].cend(); ++section) {
        text += '[' + section.key().toUtf8() + "]\n";
        for (auto it = section->cbegin(); it != section->cend(); ++it)
            text += it.key().toUtf8() + " = " + it.value().toUtf8() + '\n';
    }
    QFile file(g_dir + u'/' + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        ADD_FAILURE() << "cannot write " << qPrintable(file.fileName());
}

QString InstallLocked() {
    if (!g_dir.isEmpty())
        return g_dir;
    g_dir = TestSupport::MakeTempDir(QStringLiteral("odbc"));
    const QString lib = DriverFolder();
    auto& drivers = g_files["odbcinst.ini"];
    drivers["SQLite3"] = {{"Driver", lib + "libsqlite3odbc.so"}};
    drivers["PostgreSQL Unicode"] = {
        {"Driver", lib + "psqlodbcw.so"}, {"Debug", "0"}, {"CommLog", "0"}};
    for (const char* name : {"odbcinst.ini", "odbc.ini", "user-odbc.ini"})
        WriteIni(QLatin1String(name));
    // Before the drivers are loaded: psqlodbc takes its data-source settings from the files
    // the environment named when it was loaded, and would read the machine's ones.
    qputenv("ODBCSYSINI", g_dir.toLocal8Bit());
    qputenv("ODBCINI", (g_dir + "/user-odbc.ini").toLocal8Bit());
    // The driver manager unloads a driver with its last environment; leaks inside the driver
    // then show up as "<unknown module>" and escape the sanitizer's suppressions. Pinning the
    // libraries keeps their names in the reports.
    for (const auto& driver : std::as_const(drivers))
        dlopen(driver["Driver"].toLocal8Bit().constData(), RTLD_NOW | RTLD_NODELETE);
    return g_dir;
}

QString Diagnostic(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {}, text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length);
    return QString::fromUtf8(reinterpret_cast<char*>(text));
}

} // namespace

QString Install() {
    std::lock_guard lock(g_mutex);
    return InstallLocked();
}

void AddDriver(const QString& name, const QString& library) {
    std::lock_guard lock(g_mutex);
    InstallLocked();
    const QString path = library.contains(u'/') ? library : DriverFolder() + library;
    g_files["odbcinst.ini"][name] = {{"Description", name}, {"Driver", path}};
    WriteIni("odbcinst.ini");
    dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_NODELETE); // as in InstallLocked()
}

void AddDsn(const QString& name, const QString& driver, const QMap<QString, QString>& attrs,
            bool system) {
    std::lock_guard lock(g_mutex);
    InstallLocked();
    const QString file = system ? QStringLiteral("odbc.ini") : QStringLiteral("user-odbc.ini");
    g_files[file][name] = attrs;
    g_files[file][name]["Driver"] = driver;
    WriteIni(file);
}

QString ExecSql(const QString& connectionString, const QStringList& statements) {
    Install();
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    QByteArray in = connectionString.toUtf8();
    QString failure;
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
        failure = "connect: " + Diagnostic(SQL_HANDLE_DBC, dbc);
    else
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    for (qsizetype i = 0; stmt != SQL_NULL_HSTMT && failure.isEmpty() && i < statements.size();
         ++i) {
        QByteArray sql = statements[i].toUtf8();
        SQLFreeStmt(stmt, SQL_CLOSE);
        const SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
            failure = statements[i] + ": " + Diagnostic(SQL_HANDLE_STMT, stmt);
    }
    if (stmt != SQL_NULL_HSTMT) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return failure;
}

QString SqliteConnectionString(const QString& path) {
    return QStringLiteral("DRIVER={SQLite3};Database=%1;NoCreat=1").arg(path);
}

QString CreateSqliteDatabase(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Without NoCreat the driver creates the file.
    const QString failure =
        ExecSql("DRIVER={SQLite3};Database=" + path,
                {"CREATE TABLE IF NOT EXISTS sample (id INTEGER PRIMARY KEY, name TEXT)",
                 "INSERT INTO sample (name) VALUES ('alpha')"});
    if (failure.isEmpty() && QFileInfo::exists(path))
        return path;
    ADD_FAILURE() << "cannot create SQLite database " << qPrintable(path) << ": "
                  << qPrintable(failure);
    return QString();
}

} // namespace OdbcTestEnv
