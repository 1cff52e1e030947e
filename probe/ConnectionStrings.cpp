#include "probe/ConnectionStrings.h"

#include <QByteArray>

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

} // namespace ConnectionStrings
