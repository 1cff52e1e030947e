#include "tests/probe/ProbeTestSupport.h"

#include <sql.h>
#include <sqlext.h>

QString ExecSql(const QString& connectionString, const QStringList& statements) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    QString failure;
    auto diagnostic = [&](SQLSMALLINT type, SQLHANDLE handle) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[1024] = {};
        SQLSMALLINT length = 0;
        SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length);
        return QString::fromUtf8(reinterpret_cast<char*>(text));
    };
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    QByteArray in = connectionString.toUtf8();
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
        failure = QStringLiteral("connect: ") + diagnostic(SQL_HANDLE_DBC, dbc);
    } else {
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
        for (const QString& sql : statements) {
            QByteArray text = sql.toUtf8();
            SQLFreeStmt(stmt, SQL_CLOSE);
            const SQLRETURN rc =
                SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
            if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
                failure = sql + QStringLiteral(": ") + diagnostic(SQL_HANDLE_STMT, stmt);
                break;
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return failure;
}
