// The dialogs offscreen: "Email settings" (copying, security, OK),
// "Test Email Settings" and "Tell a friend" against real SMTP peers, the "Log" viewer on logs of
// the real writer (find, copy, follow, Clear Log, shrinking), "Logs" (Browse, OK, Cancel).
#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "monitor/SlotMonitor.h"
#include "platform/LogFile.h"
#include "platform/MailPasswordKeyring.h"
#include "settings/SettingsStore.h"
#include "tests/common/RecordingNotice.h"
#include "tests/common/SilentListener.h"
#include "tests/common/SmtpSink.h"
#include "tests/common/TestSupport.h"
#include "tests/common/tray/RecordingTrayShell.h"
#include "tests/common/tray/TestProgram.h"
#include "tests/ui/dialogs/DialogsTestSupport.h"
#include "ui/DialogCommands.h"
#include "ui/DialogPrompt.h"
#include "ui/EmailSetupDlg.h"
#include "ui/LogLinesView.h"
#include "ui/LogSettingsDlg.h"
#include "ui/LogViewDlg.h"
#include "ui/MonitorDlg.h"
#include "ui/TellFriendDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace DialogsTestSupport;

TEST_F(Email, AlertCopiesOnlyToFieldsTheUserHasNotMadeTheirOwnSecurityFollowsThePort) {
    // Stored alert, recovery, return; typed into the alert field; then recovery and return shown.
    for (const QStringList& row :
         {QStringList{"", "", "", "ops@example.org", "ops@example.org", "ops@example.org"},
          {"a@example.org", "r@x.org", "b@x.org", "x", "r@x.org", "b@x.org"},
          {"a@example.org", "", "", "", "", ""}, // opening copies nothing, a change does:
          {"a@example.org", "", "", "x", "a@example.orgx", "a@example.orgx"}}) {
        std::tie(m_settings.alertRecipient, m_settings.recoveryRecipient,
                 m_settings.returnAddress) = std::tie(row[0], row[1], row[2]);
        m_settings.server = "smtp.example.org:587";
        m_settings.security = 2;
        Open(m_settings);
        Type(m_dialog->AlertEdit(), row[3]);
        EXPECT_EQ(m_dialog->RecoveryEdit()->text() + "|" + m_dialog->ReturnEdit()->text(),
                  row[4] + "|" + row[5])
            << row.join('|').toStdString();
    }
    // Passing through the recovery field ends its copy; focus alone keeps the return field's.
    Type(m_dialog->RecoveryEdit(), "");
    Type(m_dialog->ReturnEdit(), "");
    Type(m_dialog->AlertEdit(), "y");
    EXPECT_EQ(m_dialog->RecoveryEdit()->text(), "a@example.orgx");
    EXPECT_EQ(m_dialog->ReturnEdit()->text(), "a@example.orgxy");

    // The security follows a typed port until the user picks one; opening keeps the stored one.
    QComboBox* security = m_dialog->SecurityBox();
    EXPECT_EQ(security->currentText(), "SSL/TLS");
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

TEST_F(Email, OkRefusesEmptyFieldsAndNonAddressesInOrderKeepingTheEnteredValues) {
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
        EXPECT_TRUE(m_prompt.boxes[0].focusAtTheTime == fields[field] && m_dialog->isVisible());
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

TEST_F(Email, AcceptedSettingsAreStoredAndTestedThenAFailureIsOneBoxWithItsReason) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    WhenModal<CEmailSetupDlg>([port = sink.Port()](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setFocus();
        QTest::keyClicks(dialog->AlertEdit(), "oncall@example.org");
        dialog->ServerEdit()->setText(QStringLiteral("127.0.0.1:%1").arg(port));
        dialog->accept();
    });
    RunEmailSettings(nullptr, m_settings, m_smtp, m_prompt);
    EXPECT_EQ(m_prompt.Texts().mid(1), (QStringList{kAlertOk, kRecoveryOk}));
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "SMTPSecurity", -1), 0);
    ASSERT_TRUE(sink.WaitForMessages(2, kWaitMs));
    for (int i = 0; i < 2; ++i) {
        const QByteArray data = sink.Messages()[i].data;
        EXPECT_EQ(sink.Messages()[i].rcptTos, QStringList{"oncall@example.org"});
        EXPECT_TRUE(data.contains(i ? "Testing recovery recipient" : "Testing alert recipient"));
        // The client got the accepted sender at once.
        EXPECT_TRUE(data.contains("From: Trellion <oncall@example.org>\r\n"));
    }

    m_prompt.onBox = [&sink](const RecordingPrompt::Box& box) {
        if (box.text == kAlertOk)
            sink.Stop(); // the server goes away between the two messages
    };
    RunTest(sink.Port());
    ASSERT_EQ(m_prompt.boxes.size(), 2);
    EXPECT_TRUE(m_prompt.boxes[1].text.startsWith("Failed Recovery Recipient test\n\n"));
    EXPECT_GT(m_prompt.boxes[1].text.size(), 40); // and the reason
}

TEST_F(Email, SilentServerEndsInOneBoxBehindAResponsiveProgressWhoseCancelStopsTheTest) {
    SilentListener silent;
    m_settings.alertRecipient = m_settings.recoveryRecipient = m_settings.returnAddress = "a@b.org";
    m_smtp.SetTimeouts(5000, 1500);
    EXPECT_GE(RunTest(silent.Port()), 10); // the loop ticked while the exchange waited
    ASSERT_EQ(m_prompt.boxes.size(), 1);
    EXPECT_TRUE(m_prompt.boxes[0].text.startsWith("Failed Alert Recipient test\n\n"));
    EXPECT_GT(m_prompt.boxes[0].text.size(), 30); // and the reason

    m_smtp.SetTimeouts(5000, 4000);
    QElapsedTimer cancelled;
    cancelled.start();
    RunTest(silent.Port(), [&](QProgressDialog* progress) {
        if (silent.AcceptedCount() == 2)
            progress->findChild<QPushButton*>()->click();
    });
    EXPECT_LT(cancelled.elapsed(), 2500);  // Cancel abandons the wait instead of sitting it out
    EXPECT_TRUE(m_prompt.boxes.isEmpty()); // cancelled is not failed
    EXPECT_EQ(silent.AcceptedCount(), 2);  // and no recovery test follows
}

TEST_F(Email, TellFriendProposesDefaultsRemembersWhatWasSentAndReportsAFailure) {
    SmtpSink sink;
    ASSERT_TRUE(sink.Start());
    UseServer(sink.Port());
    m_settings.returnAddress = "bounce@example.org";
    QStringList shown;
    // The dialog filled and OK pressed; a dialog that refuses OK is cancelled.
    const auto send = [&](const QString& to, const QString& body) {
        WhenModal<CTellFriendDlg>([&, to, body](CTellFriendDlg* dialog) {
            shown = QStringList{dialog->Sender(), dialog->Subject(), dialog->Body()};
            dialog->RecipientEdit()->setText(to);
            dialog->BodyEdit()->setPlainText(body);
            dialog->accept();
        });
        RunTellFriend(nullptr, m_settings, m_smtp, m_prompt);
    };
    send(" ", "Cancelled.");
    EXPECT_EQ(m_prompt.Texts(), QStringList{"Please enter your friend's email address"});
    EXPECT_EQ(shown,
              (QStringList{"bounce@example.org", "Check out Trellion!", DefaultFriendBody()}));
    send("friend@example.org", "It watches my databases.\nTry it.");
    ASSERT_TRUE(sink.WaitForMessages(1, kWaitMs));
    EXPECT_EQ(sink.Messages().size(), 1); // nothing from the cancelled one
    const SmtpSink::Message message = sink.Messages().constFirst();
    EXPECT_EQ(message.rcptTos, QStringList{"friend@example.org"});
    EXPECT_TRUE(message.data.contains("It watches my databases.\r\nTry it.\r\n\r\n\r\n" +
                                      QByteArray(62, '=')));
    EXPECT_EQ(m_prompt.boxes.size(), 1); // no confirmation on success

    // Refused: one box with the server's reply; the text is remembered, without the footer.
    SmtpSink refusing;
    ASSERT_TRUE(refusing.Start(SmtpSink::Mode::RefuseRecipients));
    UseServer(refusing.Port());
    send("other@example.org", "Second try.");
    EXPECT_EQ(shown[2], "It watches my databases.\r\nTry it.");
    ASSERT_EQ(m_prompt.boxes.size(), 2);
    EXPECT_TRUE(
        m_prompt.boxes[1].text.startsWith("Your message to other@example.org was not sent.\n\n"));
    EXPECT_TRUE(m_prompt.boxes[1].text.contains("554")) << m_prompt.boxes[1].text.toStdString();
    EXPECT_TRUE(m_notice.Texts().isEmpty());
    EXPECT_EQ(SettingsStore::ReadString("Settings", "LastFriendBody"), "Second try.");
}

// What the user accepted is the window's before the test is offered, so that polls running
// during a test already send to the new recipients.
TEST_F(Email, AcceptedSettingsAreTheWindowsBeforeTheTestQuestion) {
    UseServer(1); // no first-start prompt
    TestProgram program;
    CMonitorDlg& window = *program;
    QString atQuestion;
    WhenModal<CEmailSetupDlg>([&](CEmailSetupDlg* dialog) {
        dialog->AlertEdit()->setText("new-alert@example.org");
        dialog->RecoveryEdit()->setText("new-recovery@example.org");
        dialog->ReturnEdit()->setText("new-bounce@example.org");
        dialog->ServerEdit()->setText("127.0.0.1:2");
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            const EmailSettings& e = window.Monitor().Email();
            atQuestion = QStringList{box->text().left(26), e.alertRecipient, e.recoveryRecipient,
                                     e.returnAddress, e.server}
                             .join('|');
            box->button(QMessageBox::No)->click();
        });
        dialog->accept();
    });
    window.OnCommand(CMonitorDlg::ID_EMAIL_SETTINGS);
    EXPECT_EQ(atQuestion, "If you have changed your e|new-alert@example.org|"
                          "new-recovery@example.org|new-bounce@example.org|127.0.0.1:2");
}

bool Save(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode = QFile::Append) {
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size();
}

class LogViewer : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = TestSupport::MakeTempDir("logview");
        m_path = m_dir + "/access.log";
        m_writer.SetSettings({m_path, m_dir + "/error.log"});
        m_writer.SetClock([] { return std::time_t(1070719509); });
    }
    // Lines written by the writer, as the viewer should show them.
    QStringList Write(int from, int count) {
        QStringList lines;
        for (int i = from; i < from + count; ++i) {
            const QString message = QString("Database %1 reached in %2ms").arg(i % 4 + 1).arg(i);
            m_writer.WriteLogLine(message, m_path, false);
            lines << QString::fromUtf8(LogWriter::FormatPrefix(1070719509)) + message;
        }
        return lines;
    }
    std::unique_ptr<CLogViewDlg> Open(const QString& path = {}) {
        auto viewer = std::make_unique<CLogViewDlg>(m_writer, m_prompt);
        viewer->SetLogPath(path.isEmpty() ? m_path : path);
        viewer->show();
        viewer->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(viewer.get()));
        EXPECT_TRUE(WaitUntil([&] { return viewer->IsLoaded(); }));
        return viewer;
    }
    static QStringList Shown(const CLogViewDlg& viewer) {
        QStringList lines;
        for (qsizetype i = 0; i < viewer.View()->Count(); ++i)
            lines << viewer.View()->LineText(i);
        return lines;
    }
    static bool Find(CLogViewDlg& viewer, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(key == Qt::Key_Return ? static_cast<QWidget*>(viewer.FindEdit()) : &viewer,
                        key, modifiers);
        return WaitUntil([&] { return !viewer.IsSearching(); });
    }

    QString m_dir;
    QString m_path;
    LogWriter m_writer{nullptr};
    RecordingPrompt m_prompt;
};

TEST_F(LogViewer, OpensAtTheNewestLineAndFindsWalksAndCopies) {
    // A log that cannot be opened is said in the window, with an empty path field.
    for (const QString& path : {m_path, m_dir}) {
        auto viewer = Open(path);
        EXPECT_EQ(Shown(*viewer), QStringList{"Could not open log '" + path + "'"});
        EXPECT_EQ(viewer->PathEdit()->text(), "");
    }
    const QStringList lines = Write(0, 500);
    auto viewer = Open();
    LogLinesView* view = viewer->View();
    EXPECT_EQ(viewer->PathEdit()->text(), QFileInfo(m_path).canonicalFilePath());
    EXPECT_EQ(Shown(*viewer), lines);
    EXPECT_TRUE(view->AtEnd() && viewer->FollowBox()->isChecked());

    // Ctrl+F; Enter finds whatever the case and keeps the window open.
    QTest::keyClick(viewer.get(), Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(viewer->FindBar()->isVisible() && viewer->FindEdit()->hasFocus());
    QTest::keyClicks(viewer->FindEdit(), "REACHED IN 42MS");
    ASSERT_TRUE(Find(*viewer, Qt::Key_Return));
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(view->CurrentLine(), 42);
    EXPECT_TRUE(view->TopLine() <= 42 && 42 < view->TopLine() + view->PageRows());
    EXPECT_FALSE(viewer->FollowBox()->isChecked());
    // F3 and Shift+F3 walk the matches and wrap round both ends (from line 497 at the fourth).
    viewer->FindEdit()->setText("database 1 reached");
    const std::tuple<int, bool, int> walk[] = {
        {-1, false, 44}, {-1, true, 40}, {-1, true, 36}, {497, false, 0}, {-1, true, 496}};
    for (const auto& [from, shift, expected] : walk) {
        if (from >= 0)
            view->SetCurrentLine(from);
        ASSERT_TRUE(Find(*viewer, Qt::Key_F3, shift ? Qt::ShiftModifier : Qt::NoModifier));
        EXPECT_EQ(view->CurrentLine(), expected);
    }
    // Match case: the upper-case text is in no line; said in the bar, the place is kept.
    viewer->MatchCaseBox()->setChecked(true);
    viewer->FindEdit()->setText("DATABASE 1");
    ASSERT_TRUE(Find(*viewer, Qt::Key_Return));
    EXPECT_EQ(viewer->FindStatus()->text(), "Not found");
    EXPECT_EQ(view->CurrentLine(), 496);
    EXPECT_TRUE(m_prompt.boxes.isEmpty());

    // Selected lines copy as text, one per row, without CR LF.
    view->setFocus();
    view->SetCurrentLine(10);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), lines.mid(10, 3).join('\n'));

    QTest::keyClick(view, Qt::Key_End); // Follow comes back at the end
    EXPECT_TRUE(view->AtEnd() && viewer->FollowBox()->isChecked());
}

TEST_F(LogViewer, FollowsAppendedLinesAndStartsOverAfterClearLogOrAShrunkenFile) {
    QStringList lines = Write(0, 60);
    auto viewer = Open();
    LogLinesView* view = viewer->View();
    lines += Write(60, 1);
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 61; }));
    EXPECT_EQ(Shown(*viewer), lines);
    EXPECT_TRUE(view->AtEnd());

    // Away from the end Follow is off and the place is kept.
    QTest::keyClick(view, Qt::Key_Home);
    EXPECT_FALSE(viewer->FollowBox()->isChecked());
    lines += Write(61, 1);
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 62; }));
    EXPECT_EQ(view->TopLine(), 0);
    EXPECT_EQ(Shown(*viewer), lines);

    // Clear Log: No keeps everything, Yes empties file and window; then lines come afresh.
    m_prompt.answers = {false, true};
    viewer->ClearButton()->click();
    EXPECT_EQ(view->Count(), 62);
    viewer->ClearButton()->click();
    EXPECT_EQ(m_prompt.Texts(), QStringList(2, "The log will be permanently deleted, Continue?"));
    EXPECT_TRUE(QFileInfo(m_path).size() == 0 && view->Count() == 0);
    lines = Write(100, 3);
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 3; }));
    EXPECT_EQ(Shown(*viewer), lines);

    // A file cut shorter by someone else is read again from its start.
    ASSERT_TRUE(Save(m_path, "new start\r\n", QFile::WriteOnly | QFile::Truncate));
    ASSERT_TRUE(WaitUntil([&] { return Shown(*viewer) == QStringList{"new start"}; }));

    // A last line without its end grows in place; a CR then an LF end it as one line end.
    ASSERT_TRUE(Save(m_path, "second"));
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 2; }));
    ASSERT_TRUE(Save(m_path, " half\r"));
    ASSERT_TRUE(WaitUntil([&] { return view->LineText(1) == "second half"; }));
    ASSERT_TRUE(Save(m_path, "\nthird\rfourth\n"));
    ASSERT_TRUE(WaitUntil([&] { return view->Count() == 4; }));
    EXPECT_EQ(Shown(*viewer), (QStringList{"new start", "second half", "third", "fourth"}));
    EXPECT_TRUE(view->AtEnd());
}

TEST_F(LogViewer, EndingOrRefreshingWhileLoadingLeavesNothingBehind) {
    QStringList lines;
    QByteArray bytes;
    for (int i = 0; i < 200000; ++i) {
        lines << QStringLiteral("<12/06/2003 14:05:09> line %1 of the log").arg(i);
        bytes += lines.constLast().toUtf8() + "\r\n";
    }
    ASSERT_TRUE(Save(m_path, bytes, QFile::WriteOnly | QFile::Truncate));
    for (int round = 0; round < 3; ++round) {
        auto viewer = std::make_unique<CLogViewDlg>(m_writer, m_prompt);
        viewer->SetLogPath(m_path);
        viewer->show();
        if (round == 1)
            viewer->CloseButton()->click();
        viewer.reset();
        EXPECT_TRUE(LogFile(m_path, LogFile::Mode::Read).IsOpen());
    }
    int showings = 0;
    QStringList lastShown;
    WhenModal<CLogViewDlg>([&](CLogViewDlg* viewer) {
        ++showings;
        WhenModal<CLogViewDlg>([&](CLogViewDlg* again) {
            ++showings;
            WaitUntil([&] { return again->IsLoaded(); });
            lastShown = Shown(*again);
            again->CloseButton()->click();
        });
        viewer->RefreshButton()->click();
    });
    RunLogViewer(nullptr, m_writer, m_path, m_prompt);
    EXPECT_TRUE(showings == 2 && lastShown == lines);
}

TEST_F(LogViewer, SettingsBrowseAsksNothingOkStoresTheSetAndUntickingStopsLinesAtOnce) {
    ResetSettingsStore();
    const LogSettings initial = m_writer.Settings();
    const QByteArray kept = "<12/06/2003 14:05:09> old line\r\n";
    ASSERT_TRUE(Save(m_dir + "/kept.log", kept));
    for (bool ok : {false, true}) {
        WhenModal<CLogSettingsDlg>([&](CLogSettingsDlg* d) {
            for (const QString& name : {m_dir + "/kept.log", m_dir + "/fresh"}) {
                // As a user does: type the name into the dialog's field and press Save.
                WhenModal<QFileDialog>([&](QFileDialog* browse) {
                    browse->findChild<QLineEdit*>("fileNameEdit")->setText(name);
                    static_cast<QDialog*>(browse)->accept();
                    if (browse->isVisible()) { // a question stopped it
                        ADD_FAILURE() << "asked about " << name.toStdString();
                        QApplication::activeModalWidget()->close();
                        browse->reject();
                    }
                });
                d->Browse(name.endsWith("fresh") ? CLogSettingsDlg::Log::Error
                                                 : CLogSettingsDlg::Log::Access);
            }
            EXPECT_EQ(d->AccessPathEdit()->text() + " " + d->ErrorPathEdit()->text(),
                      m_dir + "/kept.log " + m_dir + "/fresh.log");
            d->AccessLogBox()->setChecked(false);
            ok ? d->accept() : d->reject();
        });
        RunLogSettings(nullptr, m_writer);
        EXPECT_TRUE(ok || (m_writer.Settings() == initial &&
                           SettingsStore::ReadInt("Settings", "DoAccessLog", -1) == -1))
            << "cancel, even after Browse, changes nothing";
    }
    EXPECT_FALSE(QFile::exists(m_dir + "/fresh.log") || QFile::exists(m_dir + "/fresh"));
    EXPECT_EQ(SettingsStore::ReadInt("Settings", "DoAccessLog", -1), 0);
    EXPECT_EQ(SettingsStore::ReadString("Settings", "ErrorLogFile", "<unset>"),
              m_dir + "/fresh.log");
    m_writer.WriteLogLine("after", m_dir + "/kept.log", false);
    m_writer.WriteLogLine("failure", m_dir + "/fresh.log", false);
    EXPECT_EQ(TestSupport::ReadFile(m_dir + "/kept.log"), kept)
        << "left as it was, and no line after unticking";
    EXPECT_TRUE(TestSupport::ReadFile(m_dir + "/fresh.log").endsWith("> failure\r\n"));
}

} // namespace
