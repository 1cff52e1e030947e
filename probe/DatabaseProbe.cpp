#include "probe/DatabaseProbe.h"

#include "platform/Notice.h"
#include "probe/ConnectionStrings.h"
#include "probe/DataSourceChooser.h"

#include <sql.h>
#include <sqlext.h>

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using ConnectionStrings::StorableString;
using ConnectionStrings::UsesSqliteDriver;
using ConnectionStrings::WithNoCreat;

std::atomic<int> g_loginTimeoutSeconds{CDatabaseProbe::kLoginTimeoutSeconds};

std::mutex g_hookMutex;
std::function<void()> g_connectHook;

// First guess for the completed string. psqlodbc abbreviates its keywords when the buffer is
// under 1024 bytes and writes ~570 characters in full; a longer string costs one reconnect.
constexpr SQLSMALLINT kInitialOutputBytes = 1024;
// Column buffers of the catalogue listing: a longer name is cut by the driver, which reports
// SQL_SUCCESS_WITH_INFO and so ends the listing.
constexpr SQLLEN kNameBytes = 128;
constexpr SQLSMALLINT kInfoBytes = 1000;
constexpr int kMaxMessageChars = 399;

const QString kNotConnected = QStringLiteral("Not Connected");

// Owns one ODBC handle of a fixed type; freed on every path.
template <SQLSMALLINT Type> class OdbcHandle {
public:
    OdbcHandle() = default;
    ~OdbcHandle() { Reset(); }
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;

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

private:
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
};

using EnvHandle = OdbcHandle<SQL_HANDLE_ENV>;
using StmtHandle = OdbcHandle<SQL_HANDLE_STMT>;

// A connection handle that also remembers whether it is connected, so that freeing it always
// disconnects first.
class DbcHandle {
public:
    DbcHandle() = default;
    ~DbcHandle() { Reset(); }
    DbcHandle(const DbcHandle&) = delete;
    DbcHandle& operator=(const DbcHandle&) = delete;

    bool Allocate(SQLHENV env) { return m_handle.Allocate(env); }
    void Disconnect() {
        if (m_connected)
            SQLDisconnect(m_handle.Get());
        m_connected = false;
    }
    void Reset() {
        Disconnect();
        m_handle.Reset();
    }
    void SetConnected() { m_connected = true; }
    SQLHDBC Get() const { return m_handle.Get(); }

private:
    OdbcHandle<SQL_HANDLE_DBC> m_handle;
    bool m_connected = false;
};

QString FromDriver(const SQLCHAR* text, SQLLEN bytes) {
    // The drivers here speak UTF-8 through the narrow calls (psqlodbcw via the driver manager,
    // SQLite3 byte for byte); the wide calls garble text for narrow-only drivers.
    return QString::fromUtf8(reinterpret_cast<const char*>(text), bytes);
}

QString FromDriver(const SQLCHAR* text) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text));
}

// The first diagnostic of a connection or statement, or nothing when there is none.
bool FirstDiagnostic(SQLSMALLINT type, SQLHANDLE handle, QString* message) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLCHAR> text(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, 1, state, &native, text.data(),
                                 static_cast<SQLSMALLINT>(text.size()), &length);
    if (!SQL_SUCCEEDED(rc))
        return false;
    if (length >= static_cast<SQLSMALLINT>(text.size())) {
        text.resize(static_cast<size_t>(length) + 1);
        rc = SQLGetDiagRec(type, handle, 1, state, &native, text.data(),
                           static_cast<SQLSMALLINT>(text.size()), &length);
        if (!SQL_SUCCEEDED(rc))
            return false;
    }
    // Cut by characters, not bytes, so a multi-byte letter is never split.
    *message = FromDriver(text.data()).left(kMaxMessageChars);
    return true;
}

QString InfoString(SQLHDBC dbc, SQLUSMALLINT type) {
    SQLCHAR buffer[kInfoBytes] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(dbc, type, buffer, sizeof buffer, &length)))
        return QString();
    return FromDriver(buffer);
}

// The database the connection is in, as the driver names it.
QString DatabaseNameOf(SQLHDBC dbc) {
    const QString name = InfoString(dbc, SQL_DATABASE_NAME);
    if (!name.isEmpty())
        return name;
    SQLCHAR buffer[kInfoBytes] = {};
    SQLINTEGER length = 0;
    if (!SQL_SUCCEEDED(
            SQLGetConnectAttr(dbc, SQL_ATTR_CURRENT_CATALOG, buffer, sizeof buffer, &length)))
        return QString();
    return FromDriver(buffer);
}

// One connection with the string and nothing else, to see that it still connects.
bool ConnectsWith(SQLHENV env, const QString& connectionString) {
    DbcHandle dbc;
    if (!dbc.Allocate(env))
        return false;
    SQLSetConnectAttr(
        dbc.Get(), SQL_ATTR_LOGIN_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(CDatabaseProbe::LoginTimeoutSeconds())),
        0);
    QByteArray in = WithNoCreat(connectionString).toUtf8();
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc.Get(), nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
        return false;
    dbc.SetConnected();
    return true;
}

enum class Listing { Schemas, Catalogs };

QStringList ListNames(SQLHDBC dbc, Listing which) {
    QStringList names;
    StmtHandle stmt;
    if (!stmt.Allocate(dbc))
        return names;
    SQLCHAR percent[] = "%";
    SQLCHAR empty[] = "";
    const bool schemas = which == Listing::Schemas;
    const SQLRETURN rc =
        SQLTables(stmt.Get(), schemas ? empty : percent, SQL_NTS, schemas ? percent : empty,
                  SQL_NTS, empty, SQL_NTS, nullptr, SQL_NTS);
    if (SQL_SUCCEEDED(rc)) {
        SQLCHAR catalog[kNameBytes];
        SQLCHAR schema[kNameBytes];
        SQLLEN indicator = 0;
        SQLBindCol(stmt.Get(), 2, SQL_C_CHAR, schema, kNameBytes, &indicator);
        SQLBindCol(stmt.Get(), 1, SQL_C_CHAR, catalog, kNameBytes, &indicator);
        for (;;) {
            catalog[0] = schema[0] = '\0';
            // Only SQL_SUCCESS: a row the driver had to cut (SQL_SUCCESS_WITH_INFO) ends the
            // list.
            if (SQLFetch(stmt.Get()) != SQL_SUCCESS)
                break;
            const QString name = FromDriver(schemas ? schema : catalog).trimmed();
            if (!name.isEmpty())
                names.append(name);
        }
    }
    SQLFreeStmt(stmt.Get(), SQL_CLOSE);
    return names;
}

// The SQLite drivers open the file lazily and their catalogue calls hide a failed read, so a
// file that is no database would pass as reachable. One read of the header makes the driver
// say so; nothing is written.
bool ReadsAsSqliteDatabase(SQLHDBC dbc, QString* message) {
    const QString unreadable = QStringLiteral("The database file cannot be read.");
    StmtHandle stmt;
    if (!stmt.Allocate(dbc)) {
        *message = unreadable;
        return false;
    }
    SQLCHAR sql[] = "PRAGMA schema_version";
    const SQLRETURN rc = SQLExecDirect(stmt.Get(), sql, SQL_NTS);
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return true;
    if (!FirstDiagnostic(SQL_HANDLE_STMT, stmt.Get(), message))
        *message = unreadable;
    return false;
}

} // namespace

// The handles of one open connection, environment first so that the connection goes first.
struct CDatabaseProbe::Handles {
    EnvHandle env;
    DbcHandle dbc;
};

CDatabaseProbe::CDatabaseProbe(IDataSourceChooser* chooser, const QString& connectionString,
                               bool quiet, INotice* notice)
    : m_chooser(chooser), m_hasConnection(!connectionString.isEmpty()) {
    QString errorText;
    if (Connect(connectionString, &errorText)) {
        Disconnect();
        m_hasConnection = true;
    } else if (!errorText.isEmpty() && !quiet && notice) {
        notice->ShowNotice(QStringLiteral("Could not connect to data source.\n\n") + errorText);
    }
}

CDatabaseProbe* CDatabaseProbe::FromStored(const QString& connectionString, const QString& title) {
    auto* probe = new CDatabaseProbe();
    probe->m_hasConnection = true;
    probe->m_connectionString = connectionString;
    probe->m_title = title;
    return probe;
}

// Every Connect is followed by Disconnect; this only covers a caller that forgot.
CDatabaseProbe::~CDatabaseProbe() {
    delete m_handles;
}

bool CDatabaseProbe::Connect(const QString& connectionString, QString* errorText) {
    std::function<void()> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_connectHook;
    }
    if (hook)
        hook();

    delete m_handles; // A previous connection that was never disconnected.
    m_handles = nullptr;

    auto handles = std::make_unique<Handles>();
    if (!handles->env.Allocate(SQL_NULL_HANDLE) ||
        !SQL_SUCCEEDED(SQLSetEnvAttr(handles->env.Get(), SQL_ATTR_ODBC_VERSION,
                                     reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
        !handles->dbc.Allocate(handles->env.Get()))
        return false;
    const SQLHDBC dbc = handles->dbc.Get();
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc, SQL_ATTR_ODBC_CURSORS,
                                         reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_DRIVER), 0)))
        return false;
    // Not every driver takes a login time-out; one that refuses it can still connect.
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(LoginTimeoutSeconds())), 0);

    QString input = connectionString;
    if (input.isEmpty()) {
        // unixODBC has no data-source dialog: the chooser stands in for it. A cancel fails
        // like a cancelled dialog, without a diagnostic.
        const std::optional<QString> chosen =
            m_chooser ? m_chooser->ChooseDataSource() : std::nullopt;
        if (!chosen || chosen->isEmpty()) {
            if (!m_hasConnection)
                m_title = kNotConnected;
            return false;
        }
        input = *chosen;
    }

    const QString sent = WithNoCreat(input);
    QByteArray in = sent.toUtf8(); // Handed over whole, whatever its length.
    std::vector<SQLCHAR> out(kInitialOutputBytes);
    SQLSMALLINT outLength = 0;
    bool connected = false;
    constexpr int kAttempts = 3;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        outLength = 0;
        const SQLRETURN rc = SQLDriverConnect(
            dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS, out.data(),
            static_cast<SQLSMALLINT>(out.size()), &outLength, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc))
            break;
        handles->dbc.SetConnected();
        // The completed string only comes with a connection: when it did not fit, connect
        // again with room for the length the driver reported (a driver that keeps growing it
        // gets a cut string rather than a failed poll).
        if (outLength < static_cast<SQLSMALLINT>(out.size()) || out.size() >= SHRT_MAX ||
            attempt == kAttempts) {
            connected = true;
            break;
        }
        handles->dbc.Disconnect();
        out.assign(std::min<size_t>(static_cast<size_t>(outLength) + 1, SHRT_MAX), 0);
    }
    QString message;
    bool failed = !connected;
    bool haveMessage = failed && FirstDiagnostic(SQL_HANDLE_DBC, dbc, &message);
    if (!failed && UsesSqliteDriver(sent) && !ReadsAsSqliteDatabase(dbc, &message)) {
        failed = true;
        haveMessage = true;
    }
    if (failed) {
        if (haveMessage && errorText)
            *errorText = message;
        if (!m_hasConnection)
            m_title = kNotConnected;
        return false; // The handles go here, disconnected first.
    }

    const SQLLEN completedBytes =
        static_cast<SQLLEN>(qstrnlen(reinterpret_cast<const char*>(out.data()), out.size()));
    const QString completed = FromDriver(out.data(), completedBytes);
    m_connectionString = StorableString(completed, sent);
    // A selection keeps what it stores only if that connects too: the SQLite driver completes a
    // string it misread to one naming a data source that does not exist.
    if (!m_hasConnection && m_connectionString != sent &&
        !ConnectsWith(handles->env.Get(), m_connectionString))
        m_connectionString = sent;
    // The names still follow the driver's own completion where there is one.
    const QString& naming = completed.isEmpty() ? input : completed;
    m_dataSourceName = DataSourceNameOf(naming);
    m_serverName = InfoString(dbc, SQL_SERVER_NAME);
    m_userName = InfoString(dbc, SQL_USER_NAME);
    m_databaseName = DatabaseNameOf(dbc);
    if (!m_hasConnection)
        m_title = DeriveTitle(naming, m_dataSourceName, m_serverName, m_userName, m_databaseName);
    m_schemas = ListNames(dbc, Listing::Schemas);
    m_catalogs = ListNames(dbc, Listing::Catalogs);
    m_handles = handles.release();
    return true;
}

bool CDatabaseProbe::Disconnect() {
    // SQLDisconnect, then the connection handle, then the environment.
    if (m_handles) {
        m_handles->dbc.Reset();
        m_handles->env.Reset();
    }
    delete m_handles;
    m_handles = nullptr;
    return true;
}

void CDatabaseProbe::SetLoginTimeoutSeconds(int seconds) {
    g_loginTimeoutSeconds.store(seconds);
}

int CDatabaseProbe::LoginTimeoutSeconds() {
    return g_loginTimeoutSeconds.load();
}

void CDatabaseProbe::SetConnectHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(g_hookMutex);
    g_connectHook = std::move(hook);
}

QString CDatabaseProbe::DataSourceNameOf(const QString& completedConnectionString) {
    // Case-sensitive and anywhere: in "FILEDSN=x;DSN=y" the first match is inside FILEDSN.
    const qsizetype at = completedConnectionString.indexOf(QLatin1String("DSN="));
    if (at < 0)
        return QString();
    const QString rest = completedConnectionString.mid(at + 4).toUpper();
    const qsizetype semicolon = rest.indexOf(u';');
    return semicolon < 0 ? rest : rest.left(semicolon);
}

QString CDatabaseProbe::DeriveTitle(const QString& completedConnectionString,
                                    const QString& dataSourceName, const QString& serverName,
                                    const QString& userName, const QString& databaseName) {
    QString title;
    if (!dataSourceName.isEmpty() &&
        dataSourceName.compare(QLatin1String("DEFAULT"), Qt::CaseInsensitive) != 0) {
        title = dataSourceName;
        if (!serverName.isEmpty() && serverName != title)
            title += u'(' + serverName + u')';
        if (!userName.isEmpty())
            title = userName + u'@' + title;
        return title;
    }
    // Without a data source two databases of one server and user would share one title, and
    // with it one alert state. A file's driver names the database by the server's name (the
    // file), which the title already carries.
    const QString database =
        databaseName.isEmpty() || databaseName == serverName ? QString() : u'/' + databaseName;
    if (!serverName.isEmpty())
        title = u'(' + serverName + u')';
    if (!userName.isEmpty())
        return userName + u'@' + title + database;
    // No user: the first attribute's value, and the server name is dropped.
    const QString first = completedConnectionString.section(u';', 0, 0);
    const qsizetype equals = first.indexOf(u'=');
    title = equals < 0 ? first : first.mid(equals + 1);
    // A database file's driver completes to "DSN=;Database=...": an empty title would blank the
    // captions and put every such database into one shared section. The file names it instead.
    if (title.isEmpty())
        return QFileInfo(DatabaseFileOf(completedConnectionString)).fileName();
    return title + database;
}

QString CDatabaseProbe::DatabaseFileOf(const QString& connectionString) {
    const QList<ConnectionStrings::Attribute> attributes =
        ConnectionStrings::ParseAttributes(connectionString);
    const ConnectionStrings::Attribute* file =
        ConnectionStrings::FindAttribute(attributes, {"Database", "DBQ"});
    return file ? file->value.trimmed() : QString();
}
