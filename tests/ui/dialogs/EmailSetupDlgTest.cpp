// The "Email Setup" dialog as a user fills it: copying, the security following the port, OK.
#include "ui/EmailSetupDlg.h"
#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QComboBox>
#include <QLineEdit>
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
    static void Type(QWidget* edit, const QString& text, bool replace = false) {
        edit->setFocus();
        if (replace)
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, text);
    }

    RecordingPrompt m_prompt;
    std::unique_ptr<CEmailSetupDlg> m_dialog;
};

TEST_F(EmailSetup, AlertRecipientFillsOnlyTheFieldsTheUserHasNotMadeTheirOwn) {
    // Stored alert, recovery, return; typed into the alert field; then recovery and return shown.
    for (const QStringList& row :
         {QStringList{"", "", "", "ops@example.org", "ops@example.org", "ops@example.org"},
          {"a@example.org", "r@x.org", "b@x.org", "x", "r@x.org", "b@x.org"},
          {"a@example.org", "", "", "", "", ""}, // opening copies nothing, a change does:
          {"a@example.org", "", "", "x", "a@example.orgx", "a@example.orgx"}}) {
        EmailSettings stored;
        stored.alertRecipient = row[0];
        stored.recoveryRecipient = row[1];
        stored.returnAddress = row[2];
        Open(stored);
        Type(m_dialog->AlertEdit(), row[3]);
        EXPECT_EQ(m_dialog->RecoveryEdit()->text(), row[4]) << row.join('|').toStdString();
        EXPECT_EQ(m_dialog->ReturnEdit()->text(), row[5]) << row.join('|').toStdString();
    }
    // Passing through the recovery field ends its copy; focus alone keeps the return field's.
    Type(m_dialog->RecoveryEdit(), "");
    Type(m_dialog->ReturnEdit(), "");
    Type(m_dialog->AlertEdit(), "y");
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "a@example.orgx");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "a@example.orgxy");
}

TEST_F(EmailSetup, SecurityFollowsTheTypedPortUntilTheUserPicksOne) {
    EmailSettings stored;
    stored.server = "smtp.example.org:587";
    stored.security = 2;
    Open(stored);
    QComboBox* security = m_dialog->SecurityBox();
    EXPECT_EQ(security->currentText(), "SSL/TLS"); // opening keeps the stored choice
    for (const auto& [server, expected] : {std::pair{"smtp.example.org:587", "STARTTLS"},
                                           {"smtp.example.org:25", "SSL/TLS"},
                                           {"smtp.example.org:465", "SSL/TLS"}}) {
        Type(m_dialog->ServerEdit(), server, true);
        EXPECT_EQ(security->currentText(), expected) << server;
    }
    Type(security, "N"); // the user picks "None" from the keyboard
    Type(m_dialog->ServerEdit(), "smtp.example.org:465", true);
    EXPECT_EQ(security->currentText(), "None");
}

TEST_F(EmailSetup, OkRefusesEmptyFieldsAndNonAddressesInOrderKeepingTheEnteredValues) {
    const QString empty[] = {"Please enter an email address for the recipient of Trellion alerts.",
                             "Please enter an email address for the recipient of Trellion recov",
                             "Please enter a return email address", "Please enter the host name"};
    const QString list = "ops@example.org; on-call@example.org";
    // alert, recovery, return, server, the field refused, the address named ("" when empty).
    for (const QStringList& row :
         {QStringList{"", "", "", "", "0", ""},
          {" ,; ", "", "", "", "0", ""},
          {"ops@example.org, not an email", "", "", "", "0", "not an email"},
          {list, " ", "", "", "1", ""},
          {list, "rec.example.org", "", "", "1", "rec.example.org"},
          {list, "r@example.org", " ", "", "2", ""},
          {list, "r@example.org", "b@x.org,c@x.org", "", "2", "b@x.org,c@x.org"},
          {list, "r@example.org", "b@example.org", "", "3", ""}}) {
        Open({});
        QLineEdit* fields[] = {m_dialog->AlertEdit(), m_dialog->RecoveryEdit(),
                               m_dialog->ReturnEdit(), m_dialog->ServerEdit()};
        for (int i = 0; i < 4; ++i)
            fields[i]->setText(i == 0 ? row[i] : " " + row[i]);
        m_dialog->accept();
        const int field = row[4].toInt();
        ASSERT_EQ(m_prompt.boxes.size(), 1) << row.join('|').toStdString();
        EXPECT_TRUE(m_prompt.boxes[0].text.startsWith(
            row[5].isEmpty() ? empty[field] : "\"" + row[5] + "\" is not an email address."))
            << m_prompt.boxes[0].text.toStdString();
        EXPECT_EQ(m_prompt.boxes[0].focusAtTheTime, fields[field]);
        EXPECT_TRUE(m_dialog->isVisible());
        EXPECT_EQ(fields[field]->text(), row[field].trimmed()); // trimmed, nothing lost
        m_prompt.boxes.clear();
    }
    m_dialog->ServerEdit()->setText(" mail.example.org:2525 ");
    m_dialog->accept();
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
    const EmailSettings& accepted = m_dialog->Settings(); // the hidden display name filled in
    EXPECT_EQ(QStringList({accepted.alertRecipient, accepted.server, accepted.senderName}),
              QStringList({list, "mail.example.org:2525", "Trellion"}));
}

} // namespace
