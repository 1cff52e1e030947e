#include "ui/DialogCommands.h"

#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "ui/EmailSetupDlg.h"
#include "ui/LogSettingsDlg.h"
#include "ui/LogViewDlg.h"
#include "ui/TellFriendDlg.h"

#include <QEventLoop>
#include <QProgressDialog>

#include <atomic>
#include <thread>

namespace {

const QString kSection = QString::fromLatin1(SettingsStore::kSettings);

} // namespace

bool SendMailWithProgress(QWidget* parent, SmtpClient& smtp, const QString& sender,
                          const QString& recipient, const QString& subject, const QString& body,
                          const QString& progressText) {
    QProgressDialog progress(progressText, QString(), 0, 0, parent);
    progress.setWindowTitle(QStringLiteral("Trellion"));
    progress.setCancelButton(nullptr);
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(0);
    progress.show();

    // The exchange may wait on a silent server for as long as the client's time limits allow;
    // the window keeps painting meanwhile instead of freezing.
    QEventLoop loop;
    std::atomic<bool> sent{false};
    std::thread worker([&] {
        sent = smtp.SendMail(sender, recipient, subject, body);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    progress.hide();
    return sent;
}

void TestEmailSettings(QWidget* parent, const EmailSettings& settings, SmtpClient& smtp,
                       IDialogPrompt& prompt) {
    const EmailSettings values = settings;
    if (!SendMailWithProgress(
            parent, smtp, values.returnAddress, values.alertRecipient,
            QStringLiteral("Testing alert recipient settings"),
            QStringLiteral("This test email was sent to: ") + values.alertRecipient +
                QStringLiteral("\n\nIf you received this email it means that your Alert Settings "
                               "are correct and you will receive email alerts from the tool."),
            QStringLiteral("Sending the alert test message to ") + values.alertRecipient +
                QStringLiteral("..."))) {
        prompt.Tell(parent, QStringLiteral("Failed Alert Recipient test"));
        return;
    }
    prompt.Tell(parent,
                QStringLiteral("Alert Recipient tested successfully, look for Alert test email."));

    const bool recovered = SendMailWithProgress(
        parent, smtp, values.returnAddress, values.recoveryRecipient,
        QStringLiteral("Testing recovery recipient settings"),
        QStringLiteral("This test email was sent to: ") + values.recoveryRecipient +
            QStringLiteral("\n\nIf you received this email it means that your Recovery Settings "
                           "are correct and you will receive recovery notices from the tool."),
        QStringLiteral("Sending the recovery test message to ") + values.recoveryRecipient +
            QStringLiteral("..."));
    prompt.Tell(parent, recovered
                            ? QStringLiteral("Recovery Recipient tested successfully, look for "
                                             "Recovery test email.")
                            : QStringLiteral("Failed Recovery Recipient test"));
}

void RunEmailSettings(QWidget* parent, EmailSettings& settings, SmtpClient& smtp,
                      IDialogPrompt& prompt,
                      const std::function<void(const EmailSettings&)>& apply) {
    CEmailSetupDlg dialog(settings, prompt, parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    settings = dialog.Settings();
    // Before the test is offered: polls keep running while it waits on the server, and their
    // notices must already go where the user just said.
    if (apply)
        apply(settings);
    smtp.SetSender(settings.senderName, settings.returnAddress);

    SettingsStore::WriteString(kSection, QStringLiteral("SMTPName"), settings.senderName);
    SettingsStore::WriteString(kSection, QStringLiteral("SMTPEmail"), settings.returnAddress);
    SettingsStore::WriteString(kSection, QStringLiteral("SMTPUsername"), settings.userName);
    SettingsStore::WriteString(kSection, QStringLiteral("SMTPPassword"), settings.password);
    SettingsStore::WriteString(kSection, QStringLiteral("SMTP"), settings.server);
    SettingsStore::WriteInt(kSection, QStringLiteral("SMTPAuth"), settings.authentication ? 1 : 0);
    SettingsStore::WriteString(kSection, QStringLiteral("SMTPAlert"), settings.alertRecipient);
    SettingsStore::WriteString(kSection, QStringLiteral("SMTPRecovery"),
                               settings.recoveryRecipient);

    if (prompt.Ask(parent, QStringLiteral("If you have changed your email settings we strongly "
                                          "recommend you run an Email Settings Test.\n\nPress Yes "
                                          "to run one now.")))
        TestEmailSettings(parent, settings, smtp, prompt);
}

void RunTellFriend(QWidget* parent, const EmailSettings& settings, SmtpClient& smtp,
                   IDialogPrompt& prompt) {
    CTellFriendDlg dialog(
        SettingsStore::ReadString(kSection, QStringLiteral("LastFriendFrom"),
                                  settings.returnAddress),
        SettingsStore::ReadString(kSection, QStringLiteral("LastFriendSubject"),
                                  DefaultFriendSubject()),
        SettingsStore::ReadString(kSection, QStringLiteral("LastFriendBody"), DefaultFriendBody()),
        prompt, parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    // The client reports its own failures; there is nothing more to say either way.
    SendMailWithProgress(parent, smtp, dialog.Sender(), dialog.Recipient(), dialog.Subject(),
                         FriendMessageText(dialog.Body()),
                         QStringLiteral("Sending your message to ") + dialog.Recipient() +
                             QStringLiteral("..."));
    SettingsStore::WriteString(kSection, QStringLiteral("LastFriendFrom"), dialog.Sender());
    SettingsStore::WriteString(kSection, QStringLiteral("LastFriendSubject"), dialog.Subject());
    SettingsStore::WriteString(kSection, QStringLiteral("LastFriendBody"), dialog.Body());
}

void RunLogSettings(QWidget* parent, LogWriter& writer) {
    CLogSettingsDlg dialog(writer.Settings(), parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const LogSettings chosen = dialog.Settings();
    writer.SetSettings(chosen);
    SettingsStore::WriteInt(kSection, QStringLiteral("DoAccessLog"), chosen.doAccessLog ? 1 : 0);
    SettingsStore::WriteInt(kSection, QStringLiteral("DoErrorLog"), chosen.doErrorLog ? 1 : 0);
    SettingsStore::WriteString(kSection, QStringLiteral("AccessLogFile"), chosen.accessLogPath);
    SettingsStore::WriteString(kSection, QStringLiteral("ErrorLogFile"), chosen.errorLogPath);
}

void RunLogViewer(QWidget* parent, LogWriter& writer, const QString& logPath,
                  IDialogPrompt& prompt) {
    CLogViewDlg viewer(writer, prompt, parent);
    viewer.SetLogPath(logPath);
    do {
        viewer.exec();
    } while (viewer.ReopenRequested());
}

void ShowAccessLog(QWidget* parent, LogWriter& writer, IDialogPrompt& prompt) {
    RunLogViewer(parent, writer, writer.Settings().accessLogPath, prompt);
}

void ShowErrorLog(QWidget* parent, LogWriter& writer, IDialogPrompt& prompt) {
    RunLogViewer(parent, writer, writer.Settings().errorLogPath, prompt);
}
