#include "probe/ConnectionStrings.h"

#include <odbcinst.h>

#include <QByteArray>
#include <QFileInfo>

namespace ConnectionStrings {

QList<Attribute> ParseAttributes(const QString& s) {
    QList<Attribute> attributes;
    qsizetype i = 0;
    const qsizetype n = s.size();
    while (i < n) {
        const qsizetype equals = s.indexOf(u'=', i);
        if (equals < 0)
            break;
        Attribute a;
        a.start = i;
        a.key = s.mid(i, equals - i).trimmed();
        i = equals + 1;
        if (i < n && s[i] == u'{') {
            for (++i; i < n; ++i) {
                if (s[i] == u'}') {
                    if (i + 1 < n && s[i + 1] == u'}') {
                        a.value += u'}';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                a.value += s[i];
            }
            while (i < n && s[i] != u';')
                ++i;
        } else {
            const qsizetype semicolon = s.indexOf(u';', i);
            i = semicolon < 0 ? n : semicolon;
            a.value = s.mid(equals + 1, i - equals - 1);
        }
        a.end = i;
        attributes.append(a);
        ++i; // Past the ';'.
    }
    return attributes;
}

const Attribute* FindAttribute(const QList<Attribute>& attributes,
                               std::initializer_list<const char*> keys) {
    for (const Attribute& a : attributes) {
        for (const char* key : keys) {
            if (a.key.compare(QLatin1String(key), Qt::CaseInsensitive) == 0)
                return &a;
        }
    }
    return nullptr;
}

QString QuoteValue(const QString& value) {
    if (!value.contains(u';') && !value.startsWith(u'{'))
        return value;
    QString inner = value;
    inner.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return u'{' + inner + u'}';
}

QString WithCredentials(const QString& connectionString, const QString& user,
                        const QString& password) {
    QString out = connectionString;
    const auto add = [&out](const char* key, const QString& value) {
        if (value.isEmpty())
            return;
        if (!out.isEmpty() && !out.endsWith(u';'))
            out += u';';
        out += QString::fromLatin1(key) + u'=' + QuoteValue(value);
    };
    add("UID", user);
    add("PWD", password);
    return out;
}

bool NamesItsOwnDriver(const QString& attributes) {
    const QList<Attribute> all = ParseAttributes(attributes.trimmed());
    if (all.isEmpty())
        return false;
    const QString key = all.first().key;
    return key.compare(u"DRIVER", Qt::CaseInsensitive) == 0 ||
           key.compare(u"DSN", Qt::CaseInsensitive) == 0 ||
           key.compare(u"FILEDSN", Qt::CaseInsensitive) == 0;
}

QString WithDriver(const QString& driver, const QString& attributes) {
    QString rest = attributes.trimmed();
    while (rest.startsWith(u';'))
        rest.remove(0, 1);
    // A string typed whole is taken as it is.
    if (NamesItsOwnDriver(rest))
        return rest;
    QString name = driver;
    name.replace(QStringLiteral("}"), QStringLiteral("}}"));
    const QString base = QStringLiteral("DRIVER={") + name + u'}';
    return rest.isEmpty() ? base : base + u';' + rest;
}

QString DataSourceNameOf(const QString& completedConnectionString) {
    const qsizetype at = completedConnectionString.indexOf(QLatin1String("DSN="));
    if (at < 0)
        return QString();
    const QString rest = completedConnectionString.mid(at + 4).toUpper();
    const qsizetype semicolon = rest.indexOf(u';');
    return semicolon < 0 ? rest : rest.left(semicolon);
}

QString DatabaseFileOf(const QString& connectionString) {
    const QList<Attribute> attributes = ParseAttributes(connectionString);
    const Attribute* file = FindAttribute(attributes, {"Database", "DBQ"});
    return file ? file->value.trimmed() : QString();
}

namespace {

// True when the string tells the driver manager which driver to load: a DRIVER or FILEDSN
// attribute or a non-empty DSN.
bool NamesItsDriver(const QList<Attribute>& attributes) {
    if (FindAttribute(attributes, {"DRIVER", "FILEDSN"}))
        return true;
    const Attribute* dsn = FindAttribute(attributes, {"DSN"});
    return dsn && !dsn->value.trimmed().isEmpty();
}

} // namespace

QString StorableString(const QString& completed, const QString& input) {
    // psqlodbc connects but completes to nothing past its own ~4 KB limit (and an empty
    // string would ask the user at the next poll).
    if (completed.isEmpty())
        return input;
    const QList<Attribute> done = ParseAttributes(completed);
    const QList<Attribute> given = ParseAttributes(input);
    // SQLite3 completes to "DSN=;Database=..." without the DRIVER it was given.
    if (!NamesItsDriver(done) && NamesItsDriver(given))
        return input;
    // psqlodbc writes the password back %-encoded through a signed char, so every non-ASCII
    // byte becomes "%ff" and the stored string no longer logs in. The one that did goes back.
    const Attribute* donePwd = FindAttribute(done, {"PWD", "PASSWORD"});
    const Attribute* givenPwd = FindAttribute(given, {"PWD", "PASSWORD"});
    if (donePwd && givenPwd &&
        QString::fromUtf8(QByteArray::fromPercentEncoding(donePwd->value.toUtf8())) !=
            givenPwd->value)
        return completed.left(donePwd->start) +
               input.mid(givenPwd->start, givenPwd->end - givenPwd->start) +
               completed.mid(donePwd->end);
    return completed;
}

QString ProfileString(const QString& section, const char* key, const char* file) {
    char value[1024] = {};
    const QByteArray name = section.toUtf8();
    if (SQLGetPrivateProfileString(name.constData(), key, "", value, sizeof value, file) <= 0)
        return QString();
    return QString::fromUtf8(value);
}

namespace {

// True when the text names the family: "psql" or "postgres" in a name or library, and so on.
DriverKind KindOfText(const QString& text) {
    const auto has = [&text](const char* word) {
        return text.contains(QLatin1String(word), Qt::CaseInsensitive);
    };
    if (has("sqlite"))
        return DriverKind::Sqlite;
    if (has("postgres") || has("psql"))
        return DriverKind::PostgreSql;
    if (has("mariadb") || has("maodbc") || has("mysql") || has("myodbc"))
        return DriverKind::MariaDb;
    return DriverKind::Other;
}

} // namespace

DriverKind KindOfDriver(QString driver) {
    driver = driver.trimmed();
    if (driver.startsWith(u'{') && driver.endsWith(u'}'))
        driver = driver.mid(1, driver.size() - 2);
    if (driver.isEmpty())
        return DriverKind::Other;
    if (const DriverKind byName = KindOfText(driver); byName != DriverKind::Other)
        return byName;
    return KindOfText(QFileInfo(ProfileString(driver, "Driver", "ODBCINST.INI")).fileName());
}

namespace {

// How the SQLite drivers read a switch.
bool IsTrue(const QString& value) {
    const QString v = value.trimmed();
    return !v.isEmpty() && QStringLiteral("Yy123456789Tt").contains(v[0]);
}

} // namespace

bool UsesSqliteDriver(const QString& connectionString) {
    const QList<Attribute> attributes = ParseAttributes(connectionString);
    if (const Attribute* driver = FindAttribute(attributes, {"DRIVER"}))
        return KindOfDriver(driver->value) == DriverKind::Sqlite;
    const Attribute* dsn = FindAttribute(attributes, {"DSN"});
    const QString dsnName = dsn ? dsn->value.trimmed() : QString();
    return !dsnName.isEmpty() &&
           KindOfDriver(ProfileString(dsnName, "Driver", "ODBC.INI")) == DriverKind::Sqlite;
}

// NoCreat goes first: the driver takes the first of two values, and stops reading at an
// attribute without '='.
QString WithNoCreat(const QString& connectionString) {
    if (!UsesSqliteDriver(connectionString))
        return connectionString;
    const QList<Attribute> attributes = ParseAttributes(connectionString);
    const Attribute* dsn = FindAttribute(attributes, {"DSN"});
    const QString dsnName = dsn ? dsn->value.trimmed() : QString();
    if (const Attribute* noCreat = FindAttribute(attributes, {"NoCreat"})) {
        if (IsTrue(noCreat->value))
            return connectionString;
    } else if (!dsnName.isEmpty() && IsTrue(ProfileString(dsnName, "NoCreat", "ODBC.INI"))) {
        return connectionString;
    }
    return QStringLiteral("NoCreat=1;") + connectionString;
}

} // namespace ConnectionStrings
