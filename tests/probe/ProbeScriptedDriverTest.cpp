// The probe against a scripted driver, for the outcomes no real driver gives on demand: a
// listing cut short by SQL_SUCCESS_WITH_INFO, failing info and catalogue calls, a long
// diagnostic, a cancelled connect, chosen completed strings and the login time-out reaching
// the driver before it connects.
#include "probe/DatabaseProbe.h"
#include "tests/common/OdbcTestEnv.h"
#include "tests/probe/ProbeTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class ProbeScriptedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { OdbcTestEnv::AddDriver("Scripted", SCRIPTED_ODBC_DRIVER); }
    void TearDown() override {
        CDatabaseProbe::SetLoginTimeoutSeconds(CDatabaseProbe::kLoginTimeoutSeconds);
    }

    // Connects a stored probe once with DRIVER={Scripted} and the given script.
    static std::unique_ptr<CDatabaseProbe> Polled(const QString& script, bool* connected,
                                                  QString* error = nullptr) {
        std::unique_ptr<CDatabaseProbe> probe(
            CDatabaseProbe::FromStored("DRIVER={Scripted};" + script, "stored"));
        *connected = probe->Connect(probe->ConnectionString(), error);
        probe->Disconnect();
        return probe;
    }
};

TEST_F(ProbeScriptedTest, FetchWithInfoEndsTheListingBeforeThatRow) {
    bool connected = false;
    auto probe = Polled("Schemas=s1|s2|s3|s4;Catalogs=c1|c2|c3;InfoRow=3", &connected);
    ASSERT_TRUE(connected);
    EXPECT_EQ(probe->Schemas(), (QStringList{"s1", "s2"}));
    EXPECT_EQ(probe->Catalogs(), (QStringList{"c1", "c2"}));

    // A name longer than the 127 characters a column holds is cut, and that ends it too.
    const QString longName(200, u'n');
    probe = Polled("Schemas=first|" + longName + "|after;Catalogs=" + QString(127, u'k') + "|c",
                   &connected);
    ASSERT_TRUE(connected);
    EXPECT_EQ(probe->Schemas(), QStringList{"first"});
    EXPECT_EQ(probe->Catalogs(), (QStringList{QString(127, u'k'), "c"}));

    // At the first row: nothing listed, and still connected.
    probe = Polled("Schemas=a|b;InfoRow=1", &connected);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(probe->Schemas().isEmpty());
}

TEST_F(ProbeScriptedTest, NamesAreTrimmedAndEmptyOrNullOnesSkipped) {
    bool connected = false;
    auto probe =
        Polled("Schemas=  alpha |   |~|\tbeta\t|gamma delta;Catalogs=~| main ", &connected);
    ASSERT_TRUE(connected);
    EXPECT_EQ(probe->Schemas(), (QStringList{"alpha", "beta", "gamma delta"}));
    EXPECT_EQ(probe->Catalogs(), QStringList{"main"});
}

TEST_F(ProbeScriptedTest, ListsAreReplacedByEachConnect) {
    std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored("", "stored"));
    ASSERT_TRUE(probe->Connect("DRIVER={Scripted};Schemas=a|b;Catalogs=x", nullptr));
    probe->Disconnect();
    ASSERT_TRUE(probe->Connect("DRIVER={Scripted};Schemas=c", nullptr));
    probe->Disconnect();
    EXPECT_EQ(probe->Schemas(), QStringList{"c"});
    EXPECT_TRUE(probe->Catalogs().isEmpty());
    // A failed Connect leaves the last lists alone.
    EXPECT_FALSE(probe->Connect("DRIVER={Scripted};Fail=down", nullptr));
    EXPECT_EQ(probe->Schemas(), QStringList{"c"});
}

TEST_F(ProbeScriptedTest, FailingInfoAndCatalogueCallsDoNotFailTheConnect) {
    ScriptedChooser chooser(QString("DRIVER={Scripted};InfoFail=1;TablesFail=1;Schemas=a"));
    CDatabaseProbe probe(&chooser, QString(), false, nullptr);
    ASSERT_TRUE(probe.HasConnection());
    EXPECT_EQ(probe.ServerName(), "");
    EXPECT_EQ(probe.UserName(), "");
    EXPECT_TRUE(probe.Schemas().isEmpty());
    EXPECT_TRUE(probe.Catalogs().isEmpty());
    // No names at all: the first attribute's value.
    EXPECT_EQ(probe.Title(), "{Scripted}");
}

TEST_F(ProbeScriptedTest, TitlesFromChosenCompletedStrings) {
    struct Case {
        QString complete, server, user, title;
    };
    const Case cases[] = {
        {"DSN=MyDb;UID=sa", "SRV1", "sa", "sa@MYDB(SRV1)"},
        {"DSN=MyDb;UID=sa", "MYDB", "sa", "sa@MYDB"},
        {"FILEDSN=x;DSN=y", "host", "u", "u@X(host)"},
        {"DSN=dEfAuLt;UID=sa", "SRV1", "sa", "sa@(SRV1)"},
        {"DRIVER={SQL Server};SERVER=SRV1", "SRV1", "", "{SQL Server}"},
        {"DRIVER={SQL Server};SERVER=SRV1", "", "u", "u@"},
    };
    for (const Case& c : cases) {
        const QString script = QString("DRIVER={Scripted};Complete={%1};Server=%2;User=%3")
                                   .arg(QString(c.complete).replace("}", "}}"), c.server, c.user);
        ScriptedChooser chooser(script);
        CDatabaseProbe probe(&chooser, QString(), false, nullptr);
        ASSERT_TRUE(probe.HasConnection()) << qPrintable(c.complete);
        EXPECT_EQ(probe.Title(), c.title) << qPrintable(c.complete);
        EXPECT_EQ(probe.ServerName(), c.server);
        EXPECT_EQ(probe.UserName(), c.user);
    }
}

TEST_F(ProbeScriptedTest, CompletedStringIsFetchedWholeAfterATruncatedFirstTry) {
    const QString big = "DRIVER=x;" + QString(20000, u'z');
    bool connected = false;
    auto probe = Polled("Complete={" + big + "}", &connected);
    ASSERT_TRUE(connected);
    EXPECT_EQ(probe->ConnectionString(), big);
}

TEST_F(ProbeScriptedTest, StoredStringAlwaysNamesItsDriverAndKeepsAWorkingPassword) {
    struct Case {
        QString input, complete, stored;
    };
    const Case cases[] = {
        // Completed without any driver or data source: the input is kept.
        {"DRIVER={Scripted};A=1", "DSN=;A=1;B=2", "DRIVER={Scripted};A=1"},
        // A data source or a driver in the completion is enough.
        {"DRIVER={Scripted};A=1", "DSN=x;A=1", "DSN=x;A=1"},
        {"DRIVER={Scripted};A=1", "driver={Scripted};A=1;B=", "driver={Scripted};A=1;B="},
        // The password the driver echoes, %-decoded, must be the one given; else it goes back.
        {"DRIVER={Scripted};PWD=a-b", "DRIVER={Scripted};PWD=a%2db;X=1",
         "DRIVER={Scripted};PWD=a%2db;X=1"},
        {"DRIVER={Scripted};PWD={ä;b}", "DRIVER={Scripted};PWD=%ff%ff%3bb;X=1",
         "DRIVER={Scripted};PWD={ä;b};X=1"},
        {"DRIVER={Scripted};Password=ä", "DRIVER={Scripted};PWD=%ff%ff;X=1",
         "DRIVER={Scripted};Password=ä;X=1"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<CDatabaseProbe> probe(CDatabaseProbe::FromStored("", "t"));
        const QString in = c.input + ";Complete={" + QString(c.complete).replace("}", "}}") + "}";
        ASSERT_TRUE(probe->Connect(in, nullptr)) << qPrintable(c.input);
        probe->Disconnect();
        EXPECT_EQ(probe->ConnectionString(), c.stored == c.input ? in : c.stored)
            << qPrintable(c.input + " / " + c.complete);
    }
}

TEST_F(ProbeScriptedTest, DiagnosticIsCutAt399Characters) {
    const QString message = QString(300, u'a') + QString(300, u'é');
    bool connected = true;
    QString error;
    Polled("Fail=" + message, &connected, &error);
    EXPECT_FALSE(connected);
    EXPECT_EQ(error, message.left(399));

    Polled("Fail=short and plain", &connected, &error);
    EXPECT_EQ(error, "short and plain");
}

TEST_F(ProbeScriptedTest, CancelledConnectHasNoDiagnostic) {
    ScriptedChooser chooser(QString("DRIVER={Scripted};Cancel=1"));
    RecordingNotice notice;
    CDatabaseProbe probe(&chooser, QString(), false, &notice);
    EXPECT_FALSE(probe.HasConnection());
    EXPECT_EQ(probe.Title(), "Not Connected");
    EXPECT_TRUE(notice.Texts().isEmpty());

    QString error = "untouched";
    EXPECT_FALSE(probe.Connect("DRIVER={Scripted};Cancel=1", &error));
    EXPECT_EQ(error, "untouched");
}

TEST_F(ProbeScriptedTest, LoginTimeOutReachesTheDriverBeforeItConnects) {
    bool connected = false;
    QString error;
    Polled(QString("NeedLoginTimeout=%1").arg(CDatabaseProbe::kLoginTimeoutSeconds), &connected,
           &error);
    EXPECT_TRUE(connected) << qPrintable(error);

    CDatabaseProbe::SetLoginTimeoutSeconds(7);
    EXPECT_EQ(CDatabaseProbe::LoginTimeoutSeconds(), 7);
    Polled("NeedLoginTimeout=7", &connected, &error);
    EXPECT_TRUE(connected) << qPrintable(error);
    Polled("NeedLoginTimeout=60", &connected, &error);
    EXPECT_FALSE(connected);
    EXPECT_EQ(error, "login time-out was 7");
}

} // namespace
