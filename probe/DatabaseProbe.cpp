#include "probe/DatabaseProbe.h"

#include "platform/Notice.h"
#include "probe/ConnectionStrings.h"
#include "probe/Connector.h"
#include "probe/DataSourceChooser.h"
#include "probe/OdbcConfig.h"
#include "probe/OdbcHandles.h"

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>
#include <vector>

namespace {

using ConnectionStrings::StorableString;
using OdbcConfig::UsesSqliteDriver;
using OdbcConfig::WithNoCreat;

// First guess for the completed string. psqlodbc abbreviates its keywords when the buffer is
// under 1024 bytes and writes ~570 characters in full; a longer string costs one reconnect.
constexpr SQLSMALLINT kInitialOutputBytes = 1024;
// Column buffers of the catalogue listing: a longer name is cut by the driver, which reports
// SQL_SUCCESS_WITH_INFO and so ends the listing.
constexpr SQLLEN kNameBytes = 128;
constexpr int kMaxMessageChars = 399;

const QString kNotConnected = QStringLiteral("Not Connected");

IConnector& ConnectorOf(const ProbeOptions& options) {
    static DriverManagerConnector driverManager;
    return options.connector ? *options.connector : driverManager;
}

// Attributes every connection of a probe gets before its connect; false when the driver
// refuses the cursor library setting.
bool Prepare(Odbc::Connection& dbc, const ProbeOptions& options) {
    if (!dbc.IsValid() || !dbc.SetAttribute(SQL_ATTR_ODBC_CURSORS, SQL_CUR_USE_DRIVER))
        return false;
    // Not every driver takes a login time-out; one that refuses it can still connect.
    dbc.SetAttribute(SQL_ATTR_LOGIN_TIMEOUT, static_cast<SQLULEN>(options.loginTimeoutSeconds));
    return true;
}

enum class Listing { Schemas, Catalogs };

QStringList ListNames(const Odbc::Connection& dbc, Listing which) {
    QStringList names;
    Odbc::Statement stmt(dbc);
    if (!stmt.IsValid())
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
            const QString name = Odbc::FromDriver(schemas ? schema : catalog).trimmed();
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
bool ReadsAsSqliteDatabase(const Odbc::Connection& dbc, QString* message) {
    const QString unreadable = QStringLiteral("The database file cannot be read.");
    Odbc::Statement stmt(dbc);
    if (!stmt.IsValid()) {
        *message = unreadable;
        return false;
    }
    SQLCHAR sql[] = "PRAGMA schema_version";
    const SQLRETURN rc = SQLExecDirect(stmt.Get(), sql, SQL_NTS);
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return true;
    *message = stmt.FirstDiagnostic(kMaxMessageChars).value_or(unreadable);
    return false;
}

} // namespace

// The handles of one open connection, environment first so that the connection goes first.
struct CDatabaseProbe::Handles {
    Odbc::Environment env;
    Odbc::Connection dbc{env};
};

CDatabaseProbe::CDatabaseProbe(ProbeOptions options) : m_options(std::move(options)) {}

CDatabaseProbe::CDatabaseProbe(IDataSourceChooser* chooser, const QString& connectionString,
                               bool quiet, INotice* notice, ProbeOptions options)
    : m_chooser(chooser), m_hasConnection(!connectionString.isEmpty()),
      m_options(std::move(options)) {
    QString errorText;
    if (Connect(connectionString, &errorText)) {
        Disconnect();
        m_hasConnection = true;
    } else if (!errorText.isEmpty() && !quiet && notice) {
        notice->ShowNotice(QStringLiteral("Could not connect to data source.\n\n") + errorText);
    }
}

CDatabaseProbe* CDatabaseProbe::FromStored(const QString& connectionString, const QString& title,
                                           ProbeOptions options) {
    auto* probe = new CDatabaseProbe(std::move(options));
    probe->m_hasConnection = true;
    probe->m_connectionString = connectionString;
    probe->m_title = title;
    return probe;
}

// Every Connect is followed by Disconnect; the handles only outlive it for a caller that forgot.
CDatabaseProbe::~CDatabaseProbe() = default;

bool CDatabaseProbe::Connect(const QString& connectionString, QString* errorText) {
    m_handles.reset(); // A previous connection that was never disconnected.

    auto handles = std::make_unique<Handles>();
    Odbc::Connection& dbc = handles->dbc;
    if (!Prepare(dbc, m_options))
        return false;

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
    const QByteArray in = sent.toUtf8();
    IConnector& connector = ConnectorOf(m_options);
    std::vector<SQLCHAR> out(kInitialOutputBytes);
    SQLSMALLINT outLength = 0;
    bool connected = false;
    constexpr int kAttempts = 3;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        outLength = 0;
        if (!connector.Connect(dbc, in, &out, &outLength))
            break;
        // The completed string only comes with a connection: when it did not fit, connect
        // again with room for the length the driver reported (a driver that keeps growing it
        // gets a cut string rather than a failed poll).
        if (outLength < static_cast<SQLSMALLINT>(out.size()) || out.size() >= SHRT_MAX ||
            attempt == kAttempts) {
            connected = true;
            break;
        }
        dbc.Disconnect();
        out.assign(std::min<size_t>(static_cast<size_t>(outLength) + 1, SHRT_MAX), 0);
    }
    QString message;
    bool failed = !connected;
    bool haveMessage = false;
    if (failed) {
        const std::optional<QString> diagnostic = dbc.FirstDiagnostic(kMaxMessageChars);
        haveMessage = diagnostic.has_value();
        message = diagnostic.value_or(QString());
    }
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
    const QString completed = Odbc::FromDriver(out.data(), completedBytes);
    m_connectionString = StorableString(completed, sent);
    // A selection keeps what it stores only if that connects too: the SQLite driver completes a
    // string it misread to one naming a data source that does not exist.
    if (!m_hasConnection && m_connectionString != sent &&
        !ConnectsWith(*handles, m_connectionString))
        m_connectionString = sent;
    // The names still follow the driver's own completion where there is one.
    const QString& naming = completed.isEmpty() ? input : completed;
    m_dataSourceName = ConnectionStrings::DataSourceNameOf(naming);
    m_serverName = dbc.Info(SQL_SERVER_NAME);
    m_userName = dbc.Info(SQL_USER_NAME);
    m_databaseName = dbc.DatabaseName();
    if (!m_hasConnection)
        m_title = DeriveTitle(naming, m_dataSourceName, m_serverName, m_userName, m_databaseName);
    m_schemas = ListNames(dbc, Listing::Schemas);
    m_catalogs = ListNames(dbc, Listing::Catalogs);
    m_handles = std::move(handles);
    return true;
}

// One connection with the string and nothing else, to see that it still connects.
bool CDatabaseProbe::ConnectsWith(const Handles& handles, const QString& connectionString) const {
    Odbc::Connection dbc(handles.env);
    if (!dbc.IsValid())
        return false;
    dbc.SetAttribute(SQL_ATTR_LOGIN_TIMEOUT, static_cast<SQLULEN>(m_options.loginTimeoutSeconds));
    return ConnectorOf(m_options).Connect(dbc, WithNoCreat(connectionString).toUtf8(), nullptr,
                                          nullptr);
}

HealthVerdict CDatabaseProbe::CheckHealth(const HealthQuery& query) {
    if (!m_handles)
        return {false, QString(), QStringLiteral("Health query failed: not connected")};
    return HealthQueryRunner::Check(m_handles->dbc, query);
}

HealthRun CDatabaseProbe::RunQuery(const QString& sql, int timeoutSeconds) {
    if (!m_handles) {
        HealthRun run;
        run.error = QStringLiteral("not connected");
        return run;
    }
    return HealthQueryRunner::Run(m_handles->dbc, sql, timeoutSeconds);
}

bool CDatabaseProbe::Disconnect() {
    // SQLDisconnect, then the connection handle, then the environment.
    m_handles.reset();
    return true;
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
        return QFileInfo(ConnectionStrings::DatabaseFileOf(completedConnectionString)).fileName();
    return title + database;
}
