// The e-mail password and the desktop's keyring: a real GNOME keyring in a D-Bus session of its
// own (the "Keyring" tests), and no session bus at all (the "NoKeyring" tests).
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/EmailSetupDlg.h"
#include "ui/MailPasswordKeyring.h"

#include <QLineEdit>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

class KeyringTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSettingsStore(); }
    static QString FilePassword() {
        return SettingsStore::ReadString("Settings", "SMTPPassword", "<unset>");
    }
    // "Email settings" as the window runs it, with the password the settings file held; the
    // user may retype the password. Returns what the dialog showed.
    QString RunDialog(MailPasswordKeyring& keyring, const QString& filePassword,
                      const QString& retype = {}) {
        SettingsStore::WriteString("Settings", "SMTPPassword", filePassword);
        EmailSettings settings;
        settings.alertRecipient = settings.recoveryRecipient = "ops@example.org";
        settings.returnAddress = "bounce@example.org";
        settings.server = "mail.example.org:587";
        settings.authentication = true;
        settings.password = filePassword;
        QString shown;
        WhenModal<CEmailSetupDlg>([&](CEmailSetupDlg* dialog) {
            shown = dialog->PasswordEdit()->text();
            if (!retype.isEmpty())
                dialog->PasswordEdit()->setText(retype);
            dialog->accept();
        });
        m_prompt.answers = {false};
        RunEmailSettings(nullptr, settings, m_smtp, m_prompt, {}, &keyring);
        return shown;
    }

    RecordingPrompt m_prompt;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

using Keyring = KeyringTest;
using NoKeyring = KeyringTest;

TEST_F(Keyring, FilePasswordMovesThereAtOkAndComesBackInTheBackgroundAtTheNextStart) {
    MailPasswordKeyring first;
    bool answered = false;
    QString kept = "<none>";
    first.StartRead([&](const QString& password) {
        answered = true;
        kept = password;
    });
    EXPECT_FALSE(answered); // nothing waits for the keyring
    ASSERT_TRUE(WaitUntil([&] { return answered; }));
    EXPECT_EQ(kept, "");

    EXPECT_EQ(RunDialog(first, "pässwort 1"), "pässwort 1");
    EXPECT_EQ(FilePassword(), "");

    MailPasswordKeyring second;
    second.StartRead();
    EXPECT_EQ(RunDialog(second, "", "new one"), "pässwort 1");
    EXPECT_EQ(FilePassword(), "");
    MailPasswordKeyring third;
    third.StartRead();
    ASSERT_TRUE(third.WaitForRead(&kept));
    EXPECT_EQ(kept, "new one");
}

TEST_F(NoKeyring, TheSettingsFileKeepsThePassword) {
    MailPasswordKeyring keyring;
    bool answered = false;
    keyring.StartRead([&](const QString&) { answered = true; });
    QString kept;
    EXPECT_FALSE(keyring.WaitForRead(&kept));
    EXPECT_FALSE(answered);
    EXPECT_EQ(RunDialog(keyring, "pw"), "pw");
    EXPECT_EQ(FilePassword(), "pw");
}

} // namespace
