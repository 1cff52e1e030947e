#pragma once

#include <QList>
#include <QString>

#include <initializer_list>

// The connection-string grammar: reading attributes, quoting values, building strings and the
// names a string gives its database. Pure text; the driver manager's configuration the strings
// are read with is OdbcConfig's.
namespace ConnectionStrings {

// One "key=value" of a connection string; [start, end) is its text without the ';'.
struct Attribute {
    QString key;
    QString value;
    qsizetype start = 0;
    qsizetype end = 0;
};

// Splits a connection string into attributes; a value may be braced ({a;b}, '}' doubled).
QList<Attribute> ParseAttributes(const QString& s);

// The first attribute named by one of the keys (case-insensitive), or null.
const Attribute* FindAttribute(const QList<Attribute>& attributes,
                               std::initializer_list<const char*> keys);

// A value as written into a string: braced only when it must be (';', or a leading '{'), with
// '}' doubled inside. Some drivers keep braces they are given (psqlodbc keeps them on UID), so
// a plain value stays plain.
QString QuoteValue(const QString& value);

// The string with UID and PWD added for a user name and password that are not empty.
QString WithCredentials(const QString& connectionString, const QString& user,
                        const QString& password);

// True when the string's first attribute is its own DRIVER, DSN or FILEDSN.
bool NamesItsOwnDriver(const QString& attributes);

// Attributes typed for a driver: taken whole when they name their own driver, otherwise put
// after "DRIVER={driver}" ('}' doubled in the name); leading ';' are dropped.
QString WithDriver(const QString& driver, const QString& attributes);

// The data source a completed string names, upper-cased: the text after the first "DSN="
// (case-sensitive, anywhere: in "FILEDSN=x;DSN=y" it is inside FILEDSN) up to the next ';'.
QString DataSourceNameOf(const QString& completedConnectionString);

// The database file a connection string names ("Database=" or "DBQ="), as written there;
// empty when it names none.
QString DatabaseFileOf(const QString& connectionString);

// The completed string is what the slot stores and polls with, so it must connect again.
// Where a driver here completes to one that cannot, the part that did connect is kept.
QString StorableString(const QString& completed, const QString& input);

} // namespace ConnectionStrings
