// The e-mail password with a real GNOME keyring ("Keyring") and with no session bus ("NoKeyring").
#include "settings/SettingsStore.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/EmailSetupDlg.h"
#include "ui/MailPasswordKeyring.h"

#include <QLineEdit>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

// A start of the program with `filePassword` in the settings file: the keyring is read in the
// background, then "Email settings" runs and the user may retype the password. Returns what the
// dialog showed, what the file holds after OK, and what the read handed over.
QStringList StartAndRunDialog(const QString& filePassword, const QString& retype = {}) {
    SettingsStore::WriteString("Settings", "SMTPPassword", filePassword);
    MailPasswordKeyring keyring;
    QString handed = "<none>";
    keyring.StartRead([&](const QString& password) { handed = password; });
    EXPECT_EQ(handed, "<none>"); // nothing waits for the keyring
    EmailSettings settings;
    settings.alertRecipient = settings.recoveryRecipient = settings.returnAddress = "a@b.org";
    settings.server = "mail.example.org:587";
    settings.password = filePassword;
    QString shown;
    WhenModal<CEmailSetupDlg>([&](CEmailSetupDlg* dialog) {
        shown = dialog->PasswordEdit()->text();
        if (!retype.isEmpty())
            dialog->PasswordEdit()->setText(retype);
        dialog->accept();
    });
    RecordingPrompt prompt;
    prompt.answers = {false};
    SmtpClient smtp(nullptr);
    RunEmailSettings(nullptr, settings, smtp, prompt, {}, &keyring);
    return {shown, SettingsStore::ReadString("Settings", "SMTPPassword", "<unset>"), handed};
}

TEST(Keyring, FilePasswordMovesThereAtOkAndComesBackAtTheNextStart) {
    ResetSettingsStore();
    EXPECT_EQ(StartAndRunDialog("pässwort 1"), (QStringList{"pässwort 1", "", ""}));
    EXPECT_EQ(StartAndRunDialog("", "new one"), (QStringList{"pässwort 1", "", "pässwort 1"}));
    EXPECT_EQ(StartAndRunDialog(""), (QStringList{"new one", "", "new one"}));
}

TEST(NoKeyring, TheSettingsFileKeepsThePassword) {
    ResetSettingsStore();
    EXPECT_EQ(StartAndRunDialog(""), (QStringList{"", "", "<none>"})); // the read ends unanswered
    EXPECT_EQ(StartAndRunDialog("pw"), (QStringList{"pw", "pw", "<none>"}));
}

} // namespace
