// The connection-string grammar: reading attributes, quoting values, adding credentials and a
// driver, and the names a string gives its database.
#include "probe/ConnectionStrings.h"

#include <gtest/gtest.h>

namespace {

using namespace ConnectionStrings;

TEST(ConnectionStringsTest, AttributesAreReadWithBracedValues) {
    const struct {
        QString text;
        QStringList pairs; // "key|value"
    } cases[] = {
        {"DSN=a;UID=b", {"DSN|a", "UID|b"}},
        {" Driver ={x;y} ;PWD={a}}b};", {"Driver|x;y", "PWD|a}b"}},
        {"Database=a=b", {"Database|a=b"}},
        {"Database=/x.db;", {"Database|/x.db"}},
        {"no attribute", {}},
        {"", {}},
        {"PWD={unclosed", {"PWD|unclosed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        QStringList pairs;
        for (const Attribute& a : ParseAttributes(c.text))
            pairs << a.key + '|' + a.value;
        EXPECT_EQ(pairs, c.pairs);
    }
}

TEST(ConnectionStringsTest, ValuesAreBracedOnlyWhereAPlainOneWouldBeMisread) {
    const struct {
        QString value, written;
    } cases[] = {
        {"plain", "plain"}, {"o'brien", "o'brien"}, {"a;b", "{a;b}"},        {"{a}", "{{a}}}"},
        {"x}y", "x}y"},     {"x=y z", "x=y z"},     {"{a;b}c", "{{a;b}}c}"}, {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.toStdString());
        EXPECT_EQ(QuoteValue(c.value), c.written);
        // What is written reads back as the value.
        if (!c.value.isEmpty()) {
            const QList<Attribute> read = ParseAttributes("PWD=" + c.written + ";X=1");
            ASSERT_EQ(read.size(), 2);
            EXPECT_EQ(read[0].value, c.value);
        }
    }
}

TEST(ConnectionStringsTest, CredentialsAndADriverAreAddedToTypedAttributes) {
    const struct {
        QString base, user, password, result;
    } credentials[] = {
        {"DSN=Ops;", "o'brien", "{a;b}c", "DSN=Ops;UID=o'brien;PWD={{a;b}}c}"},
        {"DSN=Ops", "u", "", "DSN=Ops;UID=u"},
        {"", "", "x=y z", "PWD=x=y z"},
        {"DSN=Ops", "", "", "DSN=Ops"},
    };
    for (const auto& c : credentials)
        EXPECT_EQ(WithCredentials(c.base, c.user, c.password), c.result) << c.base.toStdString();

    const struct {
        QString driver, attributes, result;
        bool namesItsOwn;
    } typed[] = {
        {"Odd}Driver", " ;A=1", "DRIVER={Odd}}Driver};A=1", false},
        {"SQLite3", "", "DRIVER={SQLite3}", false},
        {"SQLite3", "Database=/a.db", "DRIVER={SQLite3};Database=/a.db", false},
        {"SQLite3", " driver={PostgreSQL};Server=h", "driver={PostgreSQL};Server=h", true},
        {"SQLite3", "DSN =Ops", "DSN =Ops", true},
        {"SQLite3", "FileDsn=/a.dsn", "FileDsn=/a.dsn", true},
        {"SQLite3", "Server=h;DSN=Ops", "DRIVER={SQLite3};Server=h;DSN=Ops", false},
        {"SQLite3", "DRIVER;A=1", "DRIVER={SQLite3};DRIVER;A=1", false},
    };
    for (const auto& c : typed) {
        SCOPED_TRACE(c.attributes.toStdString());
        EXPECT_EQ(NamesItsOwnDriver(c.attributes.trimmed()), c.namesItsOwn);
        EXPECT_EQ(WithDriver(c.driver, c.attributes), c.result);
    }
}

TEST(ConnectionStringsTest, TheDatabaseFileIsTheDatabaseOrDbqAttribute) {
    const struct {
        QString text, file;
    } cases[] = {
        {"DRIVER={SQLite3};Database=/srv/a.db;NoCreat=1", "/srv/a.db"},
        {"DBQ= /srv/b.db ;Driver=x", "/srv/b.db"},
        {"database={/srv/c;d.db}", "/srv/c;d.db"},
        {"DSN=Ops;Server=h", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DatabaseFileOf(c.text), c.file) << c.text.toStdString();
}

} // namespace
