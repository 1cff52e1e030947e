#pragma once

#include <sql.h>
#include <sqlext.h>

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

// ODBC handles owned by value. Each frees its handle when it goes; a connection disconnects
// first. They move and never copy. A handle must go before the one it was allocated from (a
// statement before its connection, a connection before its environment): declare the parent
// first where both are members.
namespace Odbc {

// The drivers here speak UTF-8 through the narrow calls (psqlodbcw via the driver manager,
// SQLite3 byte for byte); the wide calls garble text for narrow-only drivers.
QString FromDriver(const SQLCHAR* text);
QString FromDriver(const SQLCHAR* text, SQLLEN bytes);

// One handle of a fixed type; null until allocated.
template <SQLSMALLINT Type> class Handle {
public:
    Handle() = default;
    ~Handle() { Reset(); }
    Handle(Handle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool Allocate(SQLHANDLE parent) {
        Reset();
        if (!SQL_SUCCEEDED(SQLAllocHandle(Type, parent, &m_handle))) {
            m_handle = SQL_NULL_HANDLE;
            return false;
        }
        return true;
    }
    void Reset() {
        if (m_handle != SQL_NULL_HANDLE)
            SQLFreeHandle(Type, m_handle);
        m_handle = SQL_NULL_HANDLE;
    }
    SQLHANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle != SQL_NULL_HANDLE; }

private:
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
};

// The message of a handle's first diagnostic record, cut to maxChars characters (never inside
// a letter); nothing when there is none.
std::optional<QString> FirstDiagnostic(SQLSMALLINT type, SQLHANDLE handle, int maxChars);

// An environment for ODBC 3; IsValid() is false when the driver manager refused one.
class Environment {
public:
    Environment();
    bool IsValid() const { return m_handle.IsValid(); }
    SQLHENV Get() const { return m_handle.Get(); }

private:
    Handle<SQL_HANDLE_ENV> m_handle;
};

// A connection handle that knows whether it is connected, so that it is always disconnected
// before it is freed, and on every path.
class Connection {
public:
    explicit Connection(const Environment& environment);
    ~Connection() { Disconnect(); }
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool IsValid() const { return m_handle.IsValid(); }
    bool IsConnected() const { return m_connected; }
    SQLHDBC Get() const { return m_handle.Get(); }

    bool SetAttribute(SQLINTEGER attribute, SQLULEN value);
    // One SQLDriverConnect without prompting. The completed string goes into *completed (its
    // size is the room given, up to SHRT_MAX) and its whole length in bytes into
    // *completedBytes; completed may be null when the completion is not wanted.
    bool DriverConnect(const QByteArray& connectionString, std::vector<SQLCHAR>* completed,
                       SQLSMALLINT* completedBytes);
    void Disconnect();

    // A text the driver tells of the connection (SQLGetInfo); empty when it tells none.
    QString Info(SQLUSMALLINT type) const;
    // The database the connection is in, as the driver names it.
    QString DatabaseName() const;
    std::optional<QString> FirstDiagnostic(int maxChars) const {
        return Odbc::FirstDiagnostic(SQL_HANDLE_DBC, Get(), maxChars);
    }

private:
    Handle<SQL_HANDLE_DBC> m_handle;
    bool m_connected = false;
};

// A statement on a connected connection; freeing it closes any cursor left open.
class Statement {
public:
    explicit Statement(const Connection& connection);
    bool IsValid() const { return m_handle.IsValid(); }
    SQLHSTMT Get() const { return m_handle.Get(); }
    std::optional<QString> FirstDiagnostic(int maxChars) const {
        return Odbc::FirstDiagnostic(SQL_HANDLE_STMT, Get(), maxChars);
    }

private:
    Handle<SQL_HANDLE_STMT> m_handle;
};

} // namespace Odbc
