#include "ui/TellFriendDlg.h"

#include "platform/ProductInfo.h"
#include "ui/DialogPrompt.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QString ProductPageUrl() {
    return QString::fromLatin1(ProductInfo::kProductPageUrl);
}

// "www.brenhollow.com/trellion": what a body must contain to count as naming the page.
QString ProductPageWithoutScheme() {
    const QUrl url(ProductPageUrl());
    return url.host() + url.path();
}

} // namespace

QString DefaultFriendSubject() {
    return QStringLiteral("Check out Trellion!");
}

QString DefaultFriendBody() {
    return QStringLiteral("Hey,\r\n\r\n"
                          "Check out this new database monitor. It's pretty simple, but it does "
                          "a great job.\r\n\r\n"
                          "It can monitor your databases and send you email alerts if a database "
                          "becomes unreachable, or if it returns an invalid response, it can even "
                          "send a warning if the database becomes too slow.\r\n\r\n"
                          "You can download it from ") +
           ProductPageUrl() +
           QStringLiteral("\r\n\r\n"
                          "Anyway, check it out and let me know what you think.\r\n\r\n"
                          "See ya!\r\n");
}

QString FriendMessageText(const QString& body) {
    if (body.contains(ProductPageWithoutScheme()))
        return body;
    return body + QStringLiteral("\r\n\r\n\r\n") + QString(62, u'=') +
           QStringLiteral("\r\nDownload Trellion, the database availability monitor, from ") +
           ProductPageUrl();
}

CTellFriendDlg::CTellFriendDlg(const QString& sender, const QString& subject, const QString& body,
                               IDialogPrompt& prompt, QWidget* parent)
    : QDialog(parent), m_prompt(prompt) {
    setWindowTitle(QStringLiteral("Tell a friend"));

    m_sender = new QLineEdit(sender);
    m_sender->setObjectName(QStringLiteral("sender"));
    m_recipient = new QLineEdit;
    m_recipient->setObjectName(QStringLiteral("recipient"));
    m_subject = new QLineEdit(subject);
    m_subject->setObjectName(QStringLiteral("subject"));
    m_body = new QPlainTextEdit;
    m_body->setObjectName(QStringLiteral("body"));
    m_body->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_body->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_body->setTabChangesFocus(true);
    // The control keeps "\n"; the mail and the store keep CR LF.
    QString shown = body;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_body->setPlainText(shown);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("From:"), m_sender);
    form->addRow(QStringLiteral("To:"), m_recipient);
    form->addRow(QStringLiteral("Subject:"), m_subject);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CTellFriendDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CTellFriendDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_body, 1);
    layout->addWidget(buttons);
    resize(560, 420);
}

QString CTellFriendDlg::Sender() const {
    return m_sender->text();
}
QString CTellFriendDlg::Recipient() const {
    return m_recipient->text();
}
QString CTellFriendDlg::Subject() const {
    return m_subject->text();
}

QString CTellFriendDlg::Body() const {
    QString body = m_body->toPlainText();
    body.replace(u'\n', QStringLiteral("\r\n"));
    return body;
}

void CTellFriendDlg::accept() {
    // Blank fields are refused, but what is sent keeps the text as typed.
    const struct {
        QWidget* field;
        QString text;
        const char* whenEmpty;
    } checks[] = {
        {m_sender, m_sender->text(), "Please enter your email address"},
        {m_recipient, m_recipient->text(), "Please enter your friend's email address"},
        {m_subject, m_subject->text(), "Please enter the email's subject"},
        {m_body, m_body->toPlainText(), "Please enter the email's body"},
    };
    for (const auto& check : checks) {
        if (check.text.trimmed().isEmpty()) {
            check.field->setFocus(Qt::OtherFocusReason);
            m_prompt.Tell(this, QString::fromLatin1(check.whenEmpty));
            return;
        }
    }
    QDialog::accept();
}
