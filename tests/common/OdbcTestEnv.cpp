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

const QString kDriverFolder = QFileInfo::exists("/usr/lib/x86_64-linux-gnu/odbc")
                                  ? "/usr/lib/x86_64-linux-gnu/odbc/"
                                  : "/usr/lib/aarch64-linux-gnu/odbc/";

// Sets one section of one file and rewrites the file; a driver's library is loaded here and
// pinned: the driver manager unloads a driver with its last environment, and leaks inside it
// would then show up as "<unknown module>" and escape the sanitizer's suppressions.
void Set(const QString& name, const QString& section, const QMap<QString, QString>& values) {
    if (!section.isEmpty())
        g_files[name][section] = values;
    QByteArray text;
    for (auto it = g_files[name].cbegin(); it != g_files[name].cend(); ++it) {
        text += '[' + it.key().toUtf8() + "]\n";
        for (auto value = it->cbegin(); value != it->cend(); ++value)
            text += value.key().toUtf8() + " = " + value.value().toUtf8() + '\n';
    }
    QFile file(g_dir + u'/' + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        ADD_FAILURE() << "cannot write " << qPrintable(file.fileName());
    if (values.contains("Driver") && name == "odbcinst.ini")
        dlopen(values["Driver"].toLocal8Bit().constData(), RTLD_NOW | RTLD_NODELETE);
}

QString InstallLocked() {
    if (!g_dir.isEmpty())
        return g_dir;
    g_dir = TestSupport::MakeTempDir(QStringLiteral("odbc"));
    // Before the drivers are loaded: psqlodbc takes its data-source settings from the files
    // the environment named when it was loaded, and would read the machine's ones.
    qputenv("ODBCSYSINI", g_dir.toLocal8Bit());
    qputenv("ODBCINI", (g_dir + "/user-odbc.ini").toLocal8Bit());
    Set("odbc.ini", {}, {});
    Set("user-odbc.ini", {}, {});
    Set("odbcinst.ini", "SQLite3", {{"Driver", kDriverFolder + "libsqlite3odbc.so"}});
    Set("odbcinst.ini", "PostgreSQL Unicode",
        {{"Driver", kDriverFolder + "psqlodbcw.so"}, {"Debug", "0"}, {"CommLog", "0"}});
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
    Set("odbcinst.ini", name,
        {{"Description", name},
         {"Driver", library.contains(u'/') ? library : kDriverFolder + library}});
}

void AddDsn(const QString& name, const QString& driver, const QMap<QString, QString>& attrs,
            bool system) {
    std::lock_guard lock(g_mutex);
    InstallLocked();
    QMap<QString, QString> values = attrs;
    values["Driver"] = driver;
    Set(system ? "odbc.ini" : "user-odbc.ini", name, values);
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
