#pragma once

#include "ui/DialogPrompt.h"

#include <QString>

#include <functional>

class LogWriter;
class MailPasswordKeyring;
class QWidget;
class SmtpClient;
struct EmailSettings;

// The main window's menu commands for the settings dialogs and the log viewer, one call each.
// The prompt answers the message boxes; the program uses the default, tests their own.

// "Email settings" (32771): on OK the settings change, `apply` hands them to whoever else
// keeps a copy (the polls), the store is written, and the user is offered a test. With a keyring,
// the dialog shows the password kept there and OK moves the password into it; the settings file
// keeps it only where no keyring answers.
void RunEmailSettings(QWidget* parent, EmailSettings& settings, SmtpClient& smtp,
                      IDialogPrompt& prompt = DefaultDialogPrompt(),
                      const std::function<void(const EmailSettings&)>& apply = {},
                      MailPasswordKeyring* keyring = nullptr);

// "Test Email Settings" (32790): one message to the alert recipient, then, if that went out,
// one to the recovery recipient. The exchanges run on a worker thread behind a modal progress;
// a failure is one box saying which test failed and why.
void TestEmailSettings(QWidget* parent, const EmailSettings& settings, SmtpClient& smtp,
                       IDialogPrompt& prompt = DefaultDialogPrompt());

// "Tell a friend..." (32783).
void RunTellFriend(QWidget* parent, const EmailSettings& settings, SmtpClient& smtp,
                   IDialogPrompt& prompt = DefaultDialogPrompt());

// "Log settings" (32776): on OK the writer gets the four values as one set and they are stored;
// a log that cannot be opened is refused through the prompt.
void RunLogSettings(QWidget* parent, LogWriter& writer,
                    IDialogPrompt& prompt = DefaultDialogPrompt());

// "Access log" (32777) and "Error log" (32778): the viewer, shown again after each Refresh.
void ShowAccessLog(QWidget* parent, LogWriter& writer,
                   IDialogPrompt& prompt = DefaultDialogPrompt());
void ShowErrorLog(QWidget* parent, LogWriter& writer,
                  IDialogPrompt& prompt = DefaultDialogPrompt());
void RunLogViewer(QWidget* parent, LogWriter& writer, const QString& logPath,
                  IDialogPrompt& prompt = DefaultDialogPrompt());

enum class SendResult { Sent, Failed, Cancelled };

// Sends one message with `settings` (the server as stored now) on a worker thread while a modal
// progress box shows; the UI thread keeps handling events meanwhile. The box's Cancel abandons
// the exchange. On failure `failure` gets the client's text (the client shows nothing itself).
SendResult SendMailWithProgress(QWidget* parent, SmtpClient& smtp, const EmailSettings& settings,
                                const QString& sender, const QString& recipient,
                                const QString& subject, const QString& body,
                                const QString& progressText, QString* failure);
