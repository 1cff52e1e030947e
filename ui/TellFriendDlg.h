#pragma once

#include <QDialog>
#include <QString>

class IDialogPrompt;
class QLineEdit;
class QPlainTextEdit;

// "Tell a friend": a recommendation of the program, sent through the configured server.
class CTellFriendDlg : public QDialog {
    Q_OBJECT
public:
    CTellFriendDlg(const QString& sender, const QString& subject, const QString& body,
                   IDialogPrompt& prompt, QWidget* parent = nullptr);

    // The fields as typed (the body with CR LF line ends); valid after OK.
    QString Sender() const;
    QString Recipient() const;
    QString Subject() const;
    QString Body() const;

    QLineEdit* SenderEdit() const { return m_sender; }
    QLineEdit* RecipientEdit() const { return m_recipient; }
    QLineEdit* SubjectEdit() const { return m_subject; }
    QPlainTextEdit* BodyEdit() const { return m_body; }

public slots:
    void accept() override;

private:
    IDialogPrompt& m_prompt;
    QLineEdit* m_sender = nullptr;
    QLineEdit* m_recipient = nullptr;
    QLineEdit* m_subject = nullptr;
    QPlainTextEdit* m_body = nullptr;
};

// The subject and body offered until the user has sent one of their own.
QString DefaultFriendSubject();
QString DefaultFriendBody();

// The text that goes out: the body, plus the download footer unless the body already names the
// product page (host and path, whatever the scheme).
QString FriendMessageText(const QString& body);
