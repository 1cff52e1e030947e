// The "Email Setup" dialog: copying of the alert recipient, the flags that stop it, the checks
// on OK, the authentication fields, and the "Email settings" command around it.
#include "ui/EmailSetupDlg.h"
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/DialogCommands.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QTest>

#include <gtest/gtest.h>

using namespace DialogTest;

namespace {

class EmailSetup : public ::testing::Test {
protected:
    // Shown and active, so that focus moves the way it does for a user.
    void Open(const EmailSettings& settings) {
        m_dialog = std::make_unique<CEmailSetupDlg>(settings, m_prompt);
        m_dialog->show();
        QApplication::setActiveWindow(m_dialog.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_dialog.get()));
    }
    void Type(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        QTest::keyClicks(edit, text);
    }
    void ClearByKeys(QLineEdit* edit) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
    }

    RecordingPrompt m_prompt;
    std::unique_ptr<CEmailSetupDlg> m_dialog;
};

TEST_F(EmailSetup, ShowsItsCaptionLabelsAndGuidance) {
    Open({});
    EXPECT_EQ(m_dialog->windowTitle(), "Email Setup");
    QSet<QString> texts;
    for (QLabel* label : m_dialog->findChildren<QLabel*>())
        texts << label->text();
    for (const char* expected :
         {"Alert recipient email:", "Recovery recipient email:", "Return email address:",
          "Outgoing Server (SMTP):", "Username:", "Password:",
          "Use this dialog to enter the information to be used for the Alert and Recovery "
          "notices.",
          "Alert notices are automatically sent by Trellion to the email address specified below "
          "when there is a failure reaching a database.",
          "Recovery notices are automatically sent by Trellion when there is a successful contact "
          "with a database after a failure had occurred."})
        EXPECT_TRUE(texts.contains(QString::fromLatin1(expected))) << expected;
    EXPECT_EQ(m_dialog->AuthenticationBox()->text(), "Server requires authentication");
    EXPECT_EQ(m_dialog->findChild<QGroupBox*>()->title(), "Important");
    EXPECT_EQ(m_dialog->PasswordEdit()->echoMode(), QLineEdit::Password);
    // The display name is carried, never shown.
    EXPECT_FALSE(m_dialog->SenderNameEdit()->isVisible());
}

TEST_F(EmailSetup, AlertRecipientFillsEmptyFieldsUntilRecoveryFieldHasHadFocus) {
    Open({});
    Type(m_dialog->AlertEdit(), "ops@example.org");
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "ops@example.org");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "ops@example.org");

    // Only passing through the recovery field makes it the user's own.
    m_dialog->RecoveryEdit()->setFocus();
    EXPECT_TRUE(m_dialog->RecoveryEdited());
    Type(m_dialog->AlertEdit(), ".uk");
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "ops@example.org");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "ops@example.org.uk");
}

TEST_F(EmailSetup, StoredRecipientsAreNotOverwrittenByTheAlertField) {
    EmailSettings stored;
    stored.alertRecipient = "alert@example.org";
    stored.recoveryRecipient = "recovery@example.org";
    stored.returnAddress = "bounce@example.org";
    Open(stored);
    EXPECT_TRUE(m_dialog->RecoveryEdited());
    EXPECT_TRUE(m_dialog->ReturnEdited());
    Type(m_dialog->AlertEdit(), "x");
    EXPECT_EQ(m_dialog->AlertEdit()->text(), "alert@example.orgx");
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "recovery@example.org");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "bounce@example.org");
}

TEST_F(EmailSetup, OpeningCopiesNothingButTheFirstChangeDoes) {
    EmailSettings stored;
    stored.alertRecipient = "alert@example.org";
    Open(stored);
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "");
    Type(m_dialog->AlertEdit(), "x");
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "alert@example.orgx");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "alert@example.orgx");
}

TEST_F(EmailSetup, TypedReturnAddressIsNotOverwrittenByLaterAlertTyping) {
    Open({});
    Type(m_dialog->AlertEdit(), "ops@example.org");
    // Focus alone changes nothing: the copy goes on.
    m_dialog->ReturnEdit()->setFocus();
    EXPECT_FALSE(m_dialog->ReturnEdited());
    Type(m_dialog->AlertEdit(), "x");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "ops@example.orgx");

    ClearByKeys(m_dialog->ReturnEdit());
    Type(m_dialog->ReturnEdit(), "bounce@example.org");
    EXPECT_TRUE(m_dialog->ReturnEdited());
    Type(m_dialog->AlertEdit(), "y");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "bounce@example.org");
    EXPECT_EQ(m_dialog->AlertEdit()->text(), "ops@example.orgxy");
}

TEST_F(EmailSetup, AuthenticationBoxEnablesItsFourControls) {
    Open({});
    const QList<QWidget*> controls = {m_dialog->UserNameEdit(), m_dialog->PasswordEdit(),
                                      m_dialog->UserNameLabel(), m_dialog->PasswordLabel()};
    for (QWidget* control : controls)
        EXPECT_FALSE(control->isEnabled());
    m_dialog->AuthenticationBox()->click();
    for (QWidget* control : controls)
        EXPECT_TRUE(control->isEnabled());
    m_dialog->AuthenticationBox()->click();
    for (QWidget* control : controls)
        EXPECT_FALSE(control->isEnabled());

    EmailSettings stored;
    stored.authentication = true;
    Open(stored);
    EXPECT_TRUE(m_dialog->AuthenticationBox()->isChecked());
    EXPECT_TRUE(m_dialog->PasswordEdit()->isEnabled());
}

TEST_F(EmailSetup, OkChecksFieldsInOrderWithFocusAndTexts) {
    Open({});
    m_dialog->accept();
    ASSERT_EQ(m_prompt.boxes.size(), 1);
    EXPECT_EQ(m_prompt.boxes[0].text,
              "Please enter an email address for the recipient of Trellion alerts.");
    EXPECT_EQ(m_prompt.boxes[0].focusAtTheTime, m_dialog->AlertEdit());
    EXPECT_FALSE(m_prompt.boxes[0].question);
    EXPECT_TRUE(m_dialog->isVisible());

    Type(m_dialog->AlertEdit(), "  ops@example.org ");
    ClearByKeys(m_dialog->RecoveryEdit());
    ClearByKeys(m_dialog->ReturnEdit());
    m_dialog->SenderNameEdit()->setText("   ");
    m_dialog->accept();
    ASSERT_EQ(m_prompt.boxes.size(), 2);
    EXPECT_EQ(m_prompt.boxes[1].text,
              "Please enter an email address for the recipient of Trellion recovery notices.");
    EXPECT_EQ(m_prompt.boxes[1].focusAtTheTime, m_dialog->RecoveryEdit());
    EXPECT_EQ(m_dialog->AlertEdit()->text(), "ops@example.org");

    Type(m_dialog->RecoveryEdit(), " recovery@example.org");
    m_dialog->accept();
    ASSERT_EQ(m_prompt.boxes.size(), 3);
    // The hidden display name was filled in on the way.
    EXPECT_EQ(m_dialog->SenderNameEdit()->text(), "Trellion");
    EXPECT_EQ(m_prompt.boxes[2].text,
              "Please enter a return email address in case some notices are undeliverable.");
    EXPECT_EQ(m_prompt.boxes[2].focusAtTheTime, m_dialog->ReturnEdit());

    Type(m_dialog->ReturnEdit(), "bounce@example.org");
    m_dialog->accept();
    ASSERT_EQ(m_prompt.boxes.size(), 4);
    EXPECT_EQ(m_prompt.boxes[3].text,
              "Please enter the host name or IP of your SMTP server, if you do not know it, "
              "consult your system administrator.");
    EXPECT_EQ(m_prompt.boxes[3].focusAtTheTime, m_dialog->ServerEdit());
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_EQ(m_dialog->result(), QDialog::Rejected);

    // host:port is a server text like any other; user name and password stay as typed.
    Type(m_dialog->ServerEdit(), " mail.example.org:2525 ");
    m_dialog->AuthenticationBox()->click();
    Type(m_dialog->UserNameEdit(), " me ");
    Type(m_dialog->PasswordEdit(), " secret ");
    m_dialog->accept();
    EXPECT_EQ(m_prompt.boxes.size(), 4);
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
    const EmailSettings& accepted = m_dialog->Settings();
    EXPECT_EQ(accepted.alertRecipient, "ops@example.org");
    EXPECT_EQ(accepted.recoveryRecipient, "recovery@example.org");
    EXPECT_EQ(accepted.returnAddress, "bounce@example.org");
    EXPECT_EQ(accepted.server, "mail.example.org:2525");
    EXPECT_EQ(accepted.senderName, "Trellion");
    EXPECT_EQ(accepted.userName, " me ");
    EXPECT_EQ(accepted.password, " secret ");
    EXPECT_TRUE(accepted.authentication);
    EXPECT_EQ(m_dialog->ServerEdit()->text(), "mail.example.org:2525");
}

TEST_F(EmailSetup, AllFieldsBlankReportsOnlyTheAlertRecipient) {
    EmailSettings stored;
    stored.alertRecipient = "   ";
    stored.recoveryRecipient = " ";
    stored.returnAddress = " ";
    Open(stored);
    m_dialog->accept();
    ASSERT_EQ(m_prompt.Texts(),
              QStringList{"Please enter an email address for the recipient of Trellion alerts."});
    // Trimmed in place; the later fields were not looked at.
    EXPECT_EQ(m_dialog->AlertEdit()->text(), "");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), " ");
}

// The command: members, client and store change on OK only; the test question follows.
class EmailSettingsCommand : public ::testing::Test {
protected:
    void SetUp() override { ResetSettingsStore(); }
    static QString Stored(const char* key) {
        return SettingsStore::ReadString("Settings", QString::fromLatin1(key), "<unset>");
    }

    RecordingPrompt m_prompt;
    RecordingNotice m_notice;
    SmtpClient m_smtp{&m_notice};
};

TEST_F(EmailSettingsCommand, CancelChangesNothingAndAsksNothing) {
    SettingsStore::WriteString("Settings", "SMTPAlert", "kept@example.org");
    EmailSettings settings;
    settings.alertRecipient = "kept@example.org";
    WhenModal<CEmailSetupDlg>([](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setText("changed@example.org");
        dialog->ServerEdit()->setText("mail.example.org");
        dialog->reject();
    });
    RunEmailSettings(nullptr, settings, m_smtp, m_prompt);
    EXPECT_EQ(settings.alertRecipient, "kept@example.org");
    EXPECT_EQ(settings.recoveryRecipient, "");
    EXPECT_TRUE(m_prompt.boxes.isEmpty());
    EXPECT_EQ(Stored("SMTPAlert"), "kept@example.org");
    EXPECT_EQ(Stored("SMTP"), "<unset>");
}

TEST_F(EmailSettingsCommand, OkStoresEverySettingAndAsksForATestEvenWithoutChanges) {
    EmailSettings settings;
    settings.alertRecipient = "alert@example.org";
    settings.recoveryRecipient = "recovery@example.org";
    settings.returnAddress = "bounce@example.org";
    settings.server = "mail.example.org";
    settings.senderName = "";
    settings.userName = "me";
    settings.password = "pw";
    settings.authentication = true;
    WhenModal<CEmailSetupDlg>([](CEmailSetupDlg* dialog) { dialog->accept(); });
    m_prompt.answers = {false};
    RunEmailSettings(nullptr, settings, m_smtp, m_prompt);

    EXPECT_EQ(m_prompt.Texts(),
              QStringList{"If you have changed your email settings we strongly recommend you run "
                          "an Email Settings Test.\n\nPress Yes to run one now."});
    EXPECT_TRUE(m_prompt.boxes[0].question);
    EXPECT_EQ(settings.senderName, "Trellion");
    EXPECT_EQ(Stored("SMTPName"), "Trellion");
    EXPECT_EQ(Stored("SMTPEmail"), "bounce@example.org");
    EXPECT_EQ(Stored("SMTPUsername"), "me");
    EXPECT_EQ(Stored("SMTPPassword"), "pw");
    EXPECT_EQ(Stored("SMTP"), "mail.example.org");
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "SMTPAuth", -1), 1);
    EXPECT_EQ(Stored("SMTPAlert"), "alert@example.org");
    EXPECT_EQ(Stored("SMTPRecovery"), "recovery@example.org");
    // Answered No: no test ran, so the client said nothing.
    EXPECT_TRUE(m_notice.Texts().isEmpty());
}

} // namespace
