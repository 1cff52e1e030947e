#include "check/CheckRunner.h"

#include "check/HealthQuerySeam.h"
#include "probe/ConnectionStrings.h"
#include "probe/Connector.h"
#include "probe/DatabaseProbe.h"
#include "probe/OdbcConfig.h"
#include "probe/OdbcHandles.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <memory>

namespace Check {

namespace {

using Clock = std::chrono::steady_clock;
using ConnectionStrings::FindAttribute;
using ConnectionStrings::ParseAttributes;

constexpr int kMaxMessageChars = 399;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The driver manager's connect, timed: the probe's connect time without the names and the
// catalogue listing that follow it.
class TimingConnector : public IConnector {
public:
    bool Connect(Odbc::Connection& connection, const QByteArray& connectionString,
                 std::vector<SQLCHAR>* completed, SQLSMALLINT* completedBytes) override {
        const Clock::time_point start = Clock::now();
        const bool ok = m_inner.Connect(connection, connectionString, completed, completedBytes);
        m_ms += MsSince(start);
        return ok;
    }
    double Ms() const { return m_ms; }

private:
    DriverManagerConnector m_inner;
    double m_ms = 0;
};

bool DataSourceExists(const QString& name) {
    for (const OdbcConfig::DataSource& source : OdbcConfig::DataSources())
        if (source.name.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// The password from the variable or file the options name; false with the reason in *error.
bool ReadPassword(const Options& options, QString* password, QString* error,
                  QStringList* warnings) {
    if (!options.passwordEnv.isEmpty()) {
        if (!qEnvironmentVariableIsSet(options.passwordEnv.toLocal8Bit().constData())) {
            *error = QStringLiteral("the variable %1 named by --password-env is not set")
                         .arg(options.passwordEnv);
            return false;
        }
        *password = qEnvironmentVariable(options.passwordEnv.toLocal8Bit().constData());
    } else if (!options.passwordFile.isEmpty()) {
        QFile file(options.passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the password file '%1': %2")
                         .arg(options.passwordFile, file.errorString());
            return false;
        }
        if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
            *warnings << QStringLiteral("warning: the password file '%1' can be read by other "
                                        "users; chmod 600 it")
                             .arg(options.passwordFile);
        QString line = QString::fromUtf8(file.readLine());
        while (line.endsWith(u'\n') || line.endsWith(u'\r'))
            line.chop(1);
        *password = line;
    }
    if (!options.passwordEnv.isEmpty() || !options.passwordFile.isEmpty()) {
        if (password->isEmpty()) {
            *error = QStringLiteral("the password given by %1 is empty")
                         .arg(options.passwordEnv.isEmpty() ? QStringLiteral("--password-file")
                                                            : QStringLiteral("--password-env"));
            return false;
        }
    }
    return true;
}

// The bare connect of --connect-only: the same attributes as the probe's, and nothing else.
void ConnectOnly(const QString& connectionString, int loginTimeout, ProbeReport* report) {
    const Clock::time_point start = Clock::now();
    Odbc::Environment env;
    Odbc::Connection dbc(env);
    if (!dbc.IsValid()) {
        report->unknown = true;
        report->failure = QStringLiteral("the ODBC driver manager gave no connection handle");
        return;
    }
    dbc.SetAttribute(SQL_ATTR_ODBC_CURSORS, SQL_CUR_USE_DRIVER);
    dbc.SetAttribute(SQL_ATTR_LOGIN_TIMEOUT, static_cast<SQLULEN>(loginTimeout));
    const Clock::time_point connectStart = Clock::now();
    report->answered =
        dbc.DriverConnect(OdbcConfig::WithNoCreat(connectionString).toUtf8(), nullptr, nullptr);
    report->connectMs = MsSince(connectStart);
    if (!report->answered)
        report->failure = dbc.FirstDiagnostic(kMaxMessageChars).value_or(QString());
    dbc.Disconnect();
    report->totalMs = MsSince(start);
}

void FullProbe(const Options& options, const QString& connectionString, ProbeReport* report) {
    auto timing = std::make_shared<TimingConnector>();
    ProbeOptions probeOptions;
    probeOptions.loginTimeoutSeconds = options.LoginTimeout();
    probeOptions.connector = timing;
    const std::unique_ptr<CDatabaseProbe> probe(
        CDatabaseProbe::FromStored(connectionString, report->title, probeOptions));

    const Clock::time_point start = Clock::now();
    QString error;
    report->answered = probe->Connect(connectionString, &error);
    report->connectMs = timing->Ms();
    if (!report->answered) {
        report->failure = error;
    } else {
        report->server = probe->ServerName();
        report->user = probe->UserName();
        report->schemas = probe->Schemas().size();
        report->catalogs = probe->Catalogs().size();
        if (!options.query.isEmpty()) {
            const Clock::time_point queryStart = Clock::now();
            QString queryError;
            const std::optional<HealthValue> value =
                RunHealthQuery(*probe, options.query, options.LoginTimeout(), &queryError);
            report->queryMs = MsSince(queryStart);
            if (value) {
                report->verdict = options.expect->Evaluate(*value);
            } else {
                report->queryFailed = true;
                report->failure = queryError;
            }
        }
    }
    probe->Disconnect();
    report->totalMs = MsSince(start);
    if (report->answered)
        report->steps << QStringLiteral("names and catalogue listing: %1 ms")
                             .arg(*report->totalMs - *report->connectMs -
                                      report->queryMs.value_or(0),
                                  0, 'f', 1);
}

} // namespace

QString WithoutPassword(const QString& connectionString) {
    QString out = connectionString;
    const QList<ConnectionStrings::Attribute> attributes = ParseAttributes(connectionString);
    for (qsizetype i = attributes.size() - 1; i >= 0; --i) {
        const ConnectionStrings::Attribute& a = attributes[i];
        if (a.key.compare(u"PWD", Qt::CaseInsensitive) != 0 &&
            a.key.compare(u"PASSWORD", Qt::CaseInsensitive) != 0)
            continue;
        qsizetype end = a.end;
        if (end < out.size() && out[end] == u';')
            ++end;
        out.remove(a.start, end - a.start);
    }
    while (out.endsWith(u';'))
        out.chop(1);
    return out;
}

QString TitleOf(const Options& options) {
    if (!options.title.isEmpty())
        return options.title;
    if (!options.dsn.isEmpty())
        return options.dsn;
    const QString shown = WithoutPassword(options.connectionString);
    const QList<ConnectionStrings::Attribute> attributes = ParseAttributes(shown);
    const auto value = [&attributes](std::initializer_list<const char*> keys) {
        const ConnectionStrings::Attribute* a = FindAttribute(attributes, keys);
        return a ? a->value.trimmed() : QString();
    };
    const QString dsn = value({"DSN"});
    if (!dsn.isEmpty())
        return dsn;
    const QString server = value({"SERVER", "SERVERNAME", "HOST"});
    const QString user = value({"UID", "USER", "USERNAME"});
    const QString database = value({"DATABASE", "DBQ", "DB"});
    // A file's driver: the file names the database.
    if (server.isEmpty() && user.isEmpty() && !database.isEmpty())
        return QFileInfo(database).fileName();
    if (server.isEmpty() && user.isEmpty())
        return CDatabaseProbe::DeriveTitle(shown, QString(), server, user, database);
    // The desktop's shape, "user@(server)/database", from the string's own words.
    QString title = server.isEmpty() ? QString() : u'(' + server + u')';
    if (!user.isEmpty())
        title = user + u'@' + title;
    return database.isEmpty() ? title : title + u'/' + database;
}

ProbeReport Run(const Options& options) {
    ProbeReport report;
    report.title = TitleOf(options);
    const auto unknown = [&report](const QString& why) {
        report.unknown = true;
        report.failure = why;
        return report;
    };
    if (!options.query.isEmpty() && !HealthQueryAvailable())
        return unknown(QStringLiteral("--query: health queries cannot be run by this build yet"));
    if (!options.dsn.isEmpty() && !DataSourceExists(options.dsn))
        return unknown(QStringLiteral("no ODBC data source is named '%1' (odbcinst -q -s lists "
                                      "them)")
                           .arg(options.dsn));
    QString password;
    QString error;
    if (!ReadPassword(options, &password, &error, &report.warnings))
        return unknown(error);

    QString connectionString =
        options.dsn.isEmpty() ? options.connectionString
                              : QStringLiteral("DSN=") + ConnectionStrings::QuoteValue(options.dsn);
    connectionString = ConnectionStrings::WithCredentials(connectionString, QString(), password);
    report.steps << QStringLiteral("connection string: %1")
                        .arg(WithoutPassword(connectionString) +
                             (password.isEmpty() ? QString() : QStringLiteral(";PWD=***")))
                 << QStringLiteral("login time-out: %1 s, plugin time-out: %2 s")
                        .arg(options.LoginTimeout())
                        .arg(options.timeoutSeconds);

    if (options.connectOnly)
        ConnectOnly(connectionString, options.LoginTimeout(), &report);
    else
        FullProbe(options, connectionString, &report);
    if (report.connectMs)
        report.steps << QStringLiteral("connect: %1 ms").arg(*report.connectMs, 0, 'f', 1);
    return report;
}

} // namespace Check
