#include "probe/OdbcHandles.h"

#include <algorithm>
#include <climits>

namespace Odbc {

namespace {

constexpr SQLSMALLINT kInfoBytes = 1000;

} // namespace

QString FromDriver(const SQLCHAR* text) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text));
}

QString FromDriver(const SQLCHAR* text, SQLLEN bytes) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text), bytes);
}

std::optional<QString> FirstDiagnostic(SQLSMALLINT type, SQLHANDLE handle, int maxChars) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLCHAR> text(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, 1, state, &native, text.data(),
                                 static_cast<SQLSMALLINT>(text.size()), &length);
    if (!SQL_SUCCEEDED(rc))
        return std::nullopt;
    if (length >= static_cast<SQLSMALLINT>(text.size())) {
        text.resize(static_cast<size_t>(length) + 1);
        rc = SQLGetDiagRec(type, handle, 1, state, &native, text.data(),
                           static_cast<SQLSMALLINT>(text.size()), &length);
        if (!SQL_SUCCEEDED(rc))
            return std::nullopt;
    }
    // Cut by characters, not bytes, so a multi-byte letter is never split.
    return FromDriver(text.data()).left(maxChars);
}

Environment::Environment() {
    if (m_handle.Allocate(SQL_NULL_HANDLE) &&
        !SQL_SUCCEEDED(SQLSetEnvAttr(m_handle.Get(), SQL_ATTR_ODBC_VERSION,
                                     reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
        m_handle.Reset();
}

Connection::Connection(const Environment& environment) {
    if (environment.IsValid())
        m_handle.Allocate(environment.Get());
}

Connection::Connection(Connection&& other) noexcept
    : m_handle(std::move(other.m_handle)), m_connected(std::exchange(other.m_connected, false)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        Disconnect();
        m_handle = std::move(other.m_handle);
        m_connected = std::exchange(other.m_connected, false);
    }
    return *this;
}

bool Connection::SetAttribute(SQLINTEGER attribute, SQLULEN value) {
    return SQL_SUCCEEDED(
        SQLSetConnectAttr(Get(), attribute, reinterpret_cast<SQLPOINTER>(value), 0));
}

bool Connection::DriverConnect(const QByteArray& connectionString, std::vector<SQLCHAR>* completed,
                               SQLSMALLINT* completedBytes) {
    Disconnect();
    QByteArray in = connectionString; // Handed over whole, whatever its length.
    SQLCHAR* out = completed ? completed->data() : nullptr;
    const auto room =
        completed ? static_cast<SQLSMALLINT>(std::min<size_t>(completed->size(), SHRT_MAX)) : 0;
    const SQLRETURN rc = SQLDriverConnect(Get(), nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                          SQL_NTS, out, room, completedBytes, SQL_DRIVER_NOPROMPT);
    m_connected = SQL_SUCCEEDED(rc);
    return m_connected;
}

void Connection::Disconnect() {
    if (m_connected)
        SQLDisconnect(Get());
    m_connected = false;
}

QString Connection::Info(SQLUSMALLINT type) const {
    SQLCHAR buffer[kInfoBytes] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(Get(), type, buffer, sizeof buffer, &length)))
        return QString();
    return FromDriver(buffer);
}

QString Connection::DatabaseName() const {
    const QString name = Info(SQL_DATABASE_NAME);
    if (!name.isEmpty())
        return name;
    SQLCHAR buffer[kInfoBytes] = {};
    SQLINTEGER length = 0;
    if (!SQL_SUCCEEDED(
            SQLGetConnectAttr(Get(), SQL_ATTR_CURRENT_CATALOG, buffer, sizeof buffer, &length)))
        return QString();
    return FromDriver(buffer);
}

Statement::Statement(const Connection& connection) {
    if (connection.IsValid())
        m_handle.Allocate(connection.Get());
}

} // namespace Odbc
