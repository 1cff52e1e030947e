// The key table: every key of "Settings" with the default that an empty file has always given,
// hand-edited values that are no use falling back, and typed writes that leave the file exactly
// as the literal key names always did. The e-mail settings load and save in one place.
#include "settings/SettingKeys.h"
#include "settings/EmailSettings.h"
#include "settings/SettingsStore.h"

#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

QByteArray FileBytes() {
    QFile f(SettingsStore::FilePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteFileText(const QByteArray& text) {
    QFile f(SettingsStore::FilePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

// The defaults an empty store has always given, written out by hand; "" also for the keys
// whose default the caller supplies.
const std::map<std::string, QString>& TodaysDefaults() {
    static const std::map<std::string, QString> defaults = {{"NumOpen", "0"},
                                                            {"LocX", "-32"},
                                                            {"LocY", "-32"},
                                                            {"CompactMode", "0"},
                                                            {"AOT", "0"},
                                                            {"ViewDetails", "1"},
                                                            {"Hid", "0"},
                                                            {"Auto", "1"},
                                                            {"DesktopNotify", "1"},
                                                            {"DoAccessLog", "1"},
                                                            {"DoErrorLog", "1"},
                                                            {"AccessLogFile", ""},
                                                            {"ErrorLogFile", ""},
                                                            {"SMTPName", "Trellion"},
                                                            {"SMTPEmail", ""},
                                                            {"SMTPAlert", ""},
                                                            {"SMTPRecovery", ""},
                                                            {"SMTP", ""},
                                                            {"SMTPAuth", "0"},
                                                            {"SMTPSecurity", "0"},
                                                            {"SMTPUsername", ""},
                                                            {"SMTPPassword", ""},
                                                            {"LastFriendFrom", ""},
                                                            {"LastFriendSubject", ""},
                                                            {"LastFriendBody", ""},
                                                            {"ConfirmPolls", "1"},
                                                            {"ConfirmSeconds", "30"},
                                                            {"RemindMinutes", "0"},
                                                            {"SlowMailMinutes", "0"},
                                                            {"Interval0", "15"},
                                                            {"Interval1", "15"},
                                                            {"Interval2", "15"},
                                                            {"Interval3", "15"},
                                                            {"Warn0", "10000"},
                                                            {"Warn1", "10000"},
                                                            {"Warn2", "10000"},
                                                            {"Warn3", "10000"},
                                                            {"lastDatabase0", ""},
                                                            {"lastDatabase1", ""},
                                                            {"lastDatabase2", ""},
                                                            {"lastDatabase3", ""},
                                                            {"lastDatabaseTitle0", ""},
                                                            {"lastDatabaseTitle1", ""},
                                                            {"lastDatabaseTitle2", ""},
                                                            {"lastDatabaseTitle3", ""},
                                                            {"HistoryDays", "400"},
                                                            {"MetricsFile", ""},
                                                            {"MetricsPort", "0"}};
    return defaults;
}

// A typed read of the row's key, as stored text.
QString ReadAsText(const Config::KeyInfo& row) {
    switch (row.type) {
    case Config::Type::Int:
        return QString::number(Config::Read(Config::IntKey{row.name, row.defaultText.toInt()}));
    case Config::Type::Flag:
        return Config::Read(Config::FlagKey{row.name, row.defaultText == "1"}) ? "1" : "0";
    case Config::Type::Text:
        break;
    }
    const QByteArray fallback = row.defaultText.toUtf8();
    return Config::Read(Config::TextKey{row.name, row.callerDefault ? "" : fallback.constData()});
}

TEST(SettingKeysTest, EveryKeyIsListedOnceAndAnEmptyFileGivesTodaysDefault) {
    QFile::remove(SettingsStore::FilePath());
    QSet<QString> seen;
    for (const Config::KeyInfo& row : Config::AllKeys()) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(seen.contains(QLatin1String(row.name))) << "listed twice";
        seen.insert(QLatin1String(row.name));
        const auto today = TodaysDefaults().find(row.name);
        ASSERT_NE(today, TodaysDefaults().end()) << "a key nobody has stored before";
        EXPECT_EQ(row.defaultText, today->second);
        EXPECT_EQ(ReadAsText(row), today->second);
    }
    EXPECT_EQ(seen.size(), static_cast<qsizetype>(TodaysDefaults().size())) << "a key went missing";

    // The typed constants themselves, as callers use them.
    EXPECT_EQ(Config::Read(Config::kInterval[3]), 15);
    EXPECT_EQ(Config::Read(Config::kWarn[2]), 10000);
    EXPECT_TRUE(Config::Read(Config::kAutoStart));
    EXPECT_FALSE(Config::Read(Config::kStartHidden));
    EXPECT_EQ(Config::Read(Config::kSmtpName), "Trellion");
    EXPECT_EQ(Config::Read(Config::kLastFriendBody, "built in"), "built in");
    EXPECT_FALSE(QFile::exists(SettingsStore::FilePath())) << "reads write nothing";
}

TEST(SettingKeysTest, HandEditedValuesThatAreNoUseFallBackToTheDefault) {
    WriteFileText("[Settings]\n"
                  "Interval0=abc\n"
                  "Warn1=12x\n"
                  "Auto=yes\n"
                  "CompactMode=\n"
                  "LocX=-7\n"
                  "Hid=2\n"
                  "SMTP=a, b\n"
                  "SMTPName=\"\"\n"
                  "Interval2= 30 \n");
    EXPECT_EQ(Config::Read(Config::kInterval[0]), 15);
    EXPECT_EQ(Config::Read(Config::kWarn[1]), 10000);
    EXPECT_TRUE(Config::Read(Config::kAutoStart));
    EXPECT_FALSE(Config::Read(Config::kCompactMode));
    EXPECT_EQ(Config::Read(Config::kSmtpServer), "") << "a list is not text we wrote";
    // What is a value is used as stored, range or not.
    EXPECT_EQ(Config::Read(Config::kLocX), -7);
    EXPECT_TRUE(Config::Read(Config::kStartHidden));
    EXPECT_EQ(Config::Read(Config::kSmtpName), "");
    EXPECT_EQ(Config::Read(Config::kInterval[2]), 30);
}

// The same writes through the literal names and through the table leave the same bytes.
TEST(SettingKeysTest, TypedWritesLeaveTheFileAsTheLiteralNamesDid) {
    const QString s = QString::fromLatin1(SettingsStore::kSettings);
    QFile::remove(SettingsStore::FilePath());
    SettingsStore::WriteInt(s, "NumOpen", 2);
    SettingsStore::WriteInt(s, "Auto", 0);
    SettingsStore::WriteInt(s, "AOT", 1);
    SettingsStore::WriteInt(s, "Interval3", 7);
    SettingsStore::WriteInt(s, "Warn0", 2500);
    SettingsStore::WriteString(s, "lastDatabase2", "DSN=Orders;UID=me");
    SettingsStore::WriteString(s, "lastDatabaseTitle2", "me@PG(Orders)");
    SettingsStore::WriteString(s, "ErrorLogFile", "/var/tmp/error.log");
    SettingsStore::WriteString(s, "LastFriendSubject", "Look");
    const QByteArray literal = FileBytes();
    ASSERT_FALSE(literal.isEmpty());

    QFile::remove(SettingsStore::FilePath());
    Config::Write(Config::kNumOpen, 2);
    Config::Write(Config::kAutoStart, false);
    Config::Write(Config::kAlwaysOnTop, true);
    Config::Write(Config::kInterval[3], 7);
    Config::Write(Config::kWarn[0], 2500);
    Config::Write(Config::kLastDatabase[2], "DSN=Orders;UID=me");
    Config::Write(Config::kLastDatabaseTitle[2], "me@PG(Orders)");
    Config::Write(Config::kErrorLogFile, "/var/tmp/error.log");
    Config::Write(Config::kLastFriendSubject, "Look");
    EXPECT_EQ(FileBytes().toStdString(), literal.toStdString());
}

TEST(EmailSettingsStoreTest, LoadSaveAndTheSettingsASendUses) {
    QFile::remove(SettingsStore::FilePath());
    const EmailSettings empty = EmailSettingsStore::Load();
    EXPECT_EQ(empty.senderName, "Trellion");
    EXPECT_TRUE(empty.server.isEmpty() && empty.password.isEmpty() && !empty.authentication);
    EXPECT_EQ(empty.security, 0);

    EmailSettings chosen;
    chosen.senderName = "Night watch";
    chosen.returnAddress = "watch@example.org";
    chosen.alertRecipient = "alerts@example.org";
    chosen.recoveryRecipient = "recovery@example.org";
    chosen.server = "mail.example.org:587";
    chosen.userName = "watch";
    chosen.password = "s3cret";
    chosen.authentication = true;
    chosen.security = 1;
    const struct {
        bool inKeyring;
        QString storedPassword;
    } rows[] = {{false, "s3cret"}, {true, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.inKeyring);
        EmailSettingsStore::Save(chosen, row.inKeyring);
        const EmailSettings loaded = EmailSettingsStore::Load();
        EXPECT_EQ(loaded.senderName, chosen.senderName);
        EXPECT_EQ(loaded.returnAddress, chosen.returnAddress);
        EXPECT_EQ(loaded.alertRecipient, chosen.alertRecipient);
        EXPECT_EQ(loaded.recoveryRecipient, chosen.recoveryRecipient);
        EXPECT_EQ(loaded.server, chosen.server);
        EXPECT_EQ(loaded.userName, chosen.userName);
        EXPECT_EQ(loaded.password, row.storedPassword);
        EXPECT_EQ(loaded.authentication, chosen.authentication);
        EXPECT_EQ(loaded.security, chosen.security);
        // The keys the file has always had.
        EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTPEmail", "?"), "watch@example.org");
        EXPECT_EQ(SettingsStore::ReadInt("Settings", "SMTPAuth", -1), 1);
        EXPECT_EQ(SettingsStore::ReadString("Settings", "SMTPPassword", "?"), row.storedPassword);
    }

    // A send takes the server and login as stored now, the sender and recipients as held, and
    // the held password only when the file keeps none.
    EmailSettings held = chosen;
    held.password = "from keyring";
    held.server = "old.example.org";
    SettingsStore::WriteString("Settings", "SMTP", "edited.example.org:2525");
    SettingsStore::WriteInt("Settings", "SMTPSecurity", 2);
    SettingsStore::WriteString("Settings", "SMTPUsername", "edited");
    SettingsStore::WriteString("Settings", "SMTPAlert", "edited@example.org");
    EmailSettings send = EmailSettingsStore::ForSending(held);
    EXPECT_EQ(send.server, "edited.example.org:2525");
    EXPECT_EQ(send.security, 2);
    EXPECT_EQ(send.userName, "edited");
    EXPECT_EQ(send.password, "from keyring");
    EXPECT_EQ(send.alertRecipient, "alerts@example.org");
    EXPECT_EQ(send.senderName, "Night watch");
    SettingsStore::WriteString("Settings", "SMTPPassword", "typed into the file");
    send = EmailSettingsStore::ForSending(held);
    EXPECT_EQ(send.password, "typed into the file");
}

} // namespace
