#include "ui/DialogCommands.h"

#include "log/LogWriter.h"
#include "mail/SmtpClient.h"
#include "platform/MailPasswordKeyring.h"
#include "settings/EmailSettings.h"
#include "settings/SettingKeys.h"
#include "ui/EmailSetupDlg.h"
#include "ui/LogSettingsDlg.h"
#include "ui/LogViewDlg.h"
#include "ui/TellFriendDlg.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <QPushButton>

#include <atomic>
#include <thread>

SendResult SendMailWithProgress(QWidget* parent, SmtpClient& smtp, const EmailSettings& settings,
                                const QString& sender, const QString& recipient,
                                const QString& subject, const QString& body,
                                const QString& progressText, QString* failure) {
    QProgressDialog progress(progressText, QString(), 0, 0, parent);
    progress.setWindowTitle(QStringLiteral("Trellion"));
    auto* cancelButton = new QPushButton(QStringLiteral("Cancel"));
    progress.setCancelButton(cancelButton);
    // The box stays up until the exchange has really stopped: no hiding on Cancel
    // (made with the string form, so only that form undoes it).
    QObject::disconnect(&progress, SIGNAL(canceled()), &progress, SLOT(cancel()));
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(0);

    std::atomic<bool> cancel{false};
    QObject::connect(&progress, &QProgressDialog::canceled, &progress, [&] {
        cancel = true;
        cancelButton->setEnabled(false);
        progress.setLabelText(QStringLiteral("Cancelling..."));
    });
    progress.show();

    // The exchange may wait on a silent server for as long as the client's time limits allow;
    // the window keeps painting and the box keeps its Cancel meanwhile.
    QEventLoop loop;
    std::atomic<bool> sent{false};
    QString text;
    std::thread worker([&] {
        sent = smtp.SendMail(EmailSettingsStore::ForSending(settings), sender, recipient, subject,
                             body, SendOptions{&text, &cancel});
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    progress.hide();
    if (sent)
        return SendResult::Sent;
    if (cancel)
        return SendResult::Cancelled;
    *failure = text;
    return SendResult::Failed;
}

namespace {

// One box for a failed send: what failed, then the client's reason.
QString FailureText(const QString& what, const QString& reason) {
    return reason.isEmpty() ? what : what + QStringLiteral("\n\n") + reason;
}

} // namespace

void TestEmailSettings(QWidget* parent, const EmailSettings& settings, SmtpClient& smtp,
                       IDialogPrompt& prompt) {
    const EmailSettings values = settings;
    QString failure;
    const SendResult alert = SendMailWithProgress(
        parent, smtp, values, values.returnAddress, values.alertRecipient,
        QStringLiteral("Testing alert recipient settings"),
        QStringLiteral("This test email was sent to: ") + values.alertRecipient +
            QStringLiteral("\n\nIf you received this email it means that your Alert Settings "
                           "are correct and you will receive email alerts from the tool."),
        QStringLiteral("Sending the alert test message to ") + values.alertRecipient +
            QStringLiteral("..."),
        &failure);
    if (alert == SendResult::Cancelled)
        return;
    if (alert == SendResult::Failed) {
        prompt.Warn(parent, FailureText(QStringLiteral("Failed Alert Recipient test"), failure));
        return;
    }
    prompt.Tell(parent,
                QStringLiteral("Alert Recipient tested successfully, look for Alert test email."));

    const SendResult recovery = SendMailWithProgress(
        parent, smtp, values, values.returnAddress, values.recoveryRecipient,
        QStringLiteral("Testing recovery recipient settings"),
        QStringLiteral("This test email was sent to: ") + values.recoveryRecipient +
            QStringLiteral("\n\nIf you received this email it means that your Recovery Settings "
                           "are correct and you will receive recovery notices from the tool."),
        QStringLiteral("Sending the recovery test message to ") + values.recoveryRecipient +
            QStringLiteral("..."),
        &failure);
    if (recovery == SendResult::Sent)
        prompt.Tell(parent, QStringLiteral("Recovery Recipient tested successfully, look for "
                                           "Recovery test email."));
    else if (recovery == SendResult::Failed)
        prompt.Warn(parent, FailureText(QStringLiteral("Failed Recovery Recipient test"), failure));
}

void RunEmailSettings(QWidget* parent, EmailSettings& settings, SmtpClient& smtp,
                      IDialogPrompt& prompt, const std::function<void(const EmailSettings&)>& apply,
                      MailPasswordKeyring* keyring) {
    EmailSettings shown = settings;
    // A password moved to the keyring is shown from there; the read started with the window.
    QString kept;
    if (keyring && shown.password.isEmpty() && keyring->WaitForRead(&kept))
        shown.password = kept;
    CEmailSetupDlg dialog(shown, prompt, parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    settings = dialog.Settings();
    // Before the test is offered: polls keep running while it waits on the server, and their
    // notices must already go where the user just said.
    if (apply)
        apply(settings);
    // Nothing to keep when no password is used or typed: the keyring is left alone then.
    const bool inKeyring = keyring && (settings.authentication || !settings.password.isEmpty()) &&
                           keyring->Store(settings.password);

    EmailSettingsStore::Save(settings, inKeyring);

    if (prompt.Ask(parent, QStringLiteral("If you have changed your email settings we strongly "
                                          "recommend you run an Email Settings Test.\n\nPress Yes "
                                          "to run one now.")))
        TestEmailSettings(parent, settings, smtp, prompt);
}

void RunTellFriend(QWidget* parent, const EmailSettings& settings, SmtpClient& smtp,
                   IDialogPrompt& prompt) {
    CTellFriendDlg dialog(Config::Read(Config::kLastFriendFrom, settings.returnAddress),
                          Config::Read(Config::kLastFriendSubject, DefaultFriendSubject()),
                          Config::Read(Config::kLastFriendBody, DefaultFriendBody()), prompt,
                          parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    QString failure;
    if (SendMailWithProgress(parent, smtp, settings, dialog.Sender(), dialog.Recipient(),
                             dialog.Subject(), FriendMessageText(dialog.Body()),
                             QStringLiteral("Sending your message to ") + dialog.Recipient() +
                                 QStringLiteral("..."),
                             &failure) == SendResult::Failed)
        prompt.Warn(parent, FailureText(QStringLiteral("Your message to ") + dialog.Recipient() +
                                            QStringLiteral(" was not sent."),
                                        failure));
    // Remembered whether or not it went out: the text is the user's work either way.
    Config::Write(Config::kLastFriendFrom, dialog.Sender());
    Config::Write(Config::kLastFriendSubject, dialog.Subject());
    Config::Write(Config::kLastFriendBody, dialog.Body());
}

void RunLogSettings(QWidget* parent, LogWriter& writer, IDialogPrompt& prompt) {
    CLogSettingsDlg dialog(writer.Settings(), parent, &prompt);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const LogSettings chosen = dialog.Settings();
    writer.SetSettings(chosen);
    Config::Write(Config::kDoAccessLog, chosen.doAccessLog);
    Config::Write(Config::kDoErrorLog, chosen.doErrorLog);
    Config::Write(Config::kAccessLogFile, chosen.accessLogPath);
    Config::Write(Config::kErrorLogFile, chosen.errorLogPath);
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
