#include "ui/EmailSetupDlg.h"

#include "mail/MailAddress.h"
#include "mail/SmtpClient.h"
#include "ui/DialogPrompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QLabel* WrappedLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

// The index of the "Connection security:" entries is the stored "SMTPSecurity" value; anything
// else in the store shows as no security.
int SecurityIndex(int security) {
    return security >= 0 && security <= 2 ? security : 0;
}

// A field that shows a 40-character address whole: the text (average lowercase letters, with
// a letter to spare for the cursor), the text margins and the style's frame.
int AddressFieldWidth(const QLineEdit* edit) {
    const int text = edit->fontMetrics().horizontalAdvance(QString(41, u'n'));
    const QMargins margins = edit->textMargins() + edit->contentsMargins();
    const int frame = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit);
    // QLineEdit keeps a further 2 px each side between its frame and the text.
    return text + margins.left() + margins.right() + 2 * frame + 4;
}

} // namespace

CEmailSetupDlg::CEmailSetupDlg(const EmailSettings& settings, IDialogPrompt& prompt,
                               QWidget* parent)
    : QDialog(parent), m_prompt(prompt), m_settings(settings) {
    setWindowTitle(QStringLiteral("Email Setup"));

    auto* important = new QGroupBox(QStringLiteral("Important"));
    auto* importantLayout = new QVBoxLayout(important);
    importantLayout->addWidget(WrappedLabel(QStringLiteral(
        "Use this dialog to enter the information to be used for the Alert and Recovery "
        "notices.")));
    importantLayout->addWidget(WrappedLabel(
        QStringLiteral("Alert notices are automatically sent by Trellion to the email address "
                       "specified below when there is a failure reaching a database.")));
    importantLayout->addWidget(WrappedLabel(
        QStringLiteral("Recovery notices are automatically sent by Trellion when there is a "
                       "successful contact with a database after a failure had occurred.")));

    m_alert = new QLineEdit;
    m_alert->setObjectName(QStringLiteral("alertRecipient"));
    m_recovery = new QLineEdit;
    m_recovery->setObjectName(QStringLiteral("recoveryRecipient"));
    // The display name is kept but never shown; OK still fills it in when it is empty.
    m_senderName = new QLineEdit(this);
    m_senderName->setObjectName(QStringLiteral("senderName"));
    m_senderName->setVisible(false);
    m_return = new QLineEdit;
    m_return->setObjectName(QStringLiteral("returnAddress"));
    m_server = new QLineEdit;
    m_server->setObjectName(QStringLiteral("server"));
    m_server->setPlaceholderText(QStringLiteral("host or host:port"));
    m_security = new QComboBox;
    m_security->setObjectName(QStringLiteral("security"));
    m_security->addItems(
        {QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
    m_authentication = new QCheckBox(QStringLiteral("Server requires authentication"));
    m_userName = new QLineEdit;
    m_userName->setObjectName(QStringLiteral("userName"));
    m_password = new QLineEdit;
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_userNameLabel = new QLabel(QStringLiteral("Username:"));
    m_passwordLabel = new QLabel(QStringLiteral("Password:"));

    // Room for a 40-character address in the dialog's own font, whatever its size.
    for (QLineEdit* edit : {m_alert, m_recovery, m_return, m_server})
        edit->setMinimumWidth(AddressFieldWidth(edit));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Alert recipient email:"), m_alert);
    form->addRow(QStringLiteral("Recovery recipient email:"), m_recovery);
    form->addRow(QStringLiteral("Return email address:"), m_return);
    form->addRow(QStringLiteral("Outgoing Server (SMTP):"), m_server);
    form->addRow(QStringLiteral("Connection security:"), m_security);
    form->addRow(m_authentication);
    form->addRow(m_userNameLabel, m_userName);
    form->addRow(m_passwordLabel, m_password);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CEmailSetupDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CEmailSetupDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(important);
    layout->addLayout(form);
    layout->addWidget(buttons);

    // Stored values are the user's own: they are not overwritten by the alert recipient.
    m_recoveryEdited = !m_settings.recoveryRecipient.isEmpty();
    m_returnEdited = !m_settings.returnAddress.isEmpty();

    // Filled before the copying is connected, so that opening the dialog copies nothing.
    m_alert->setText(m_settings.alertRecipient);
    m_recovery->setText(m_settings.recoveryRecipient);
    m_senderName->setText(m_settings.senderName);
    m_return->setText(m_settings.returnAddress);
    m_server->setText(m_settings.server);
    m_userName->setText(m_settings.userName);
    m_password->setText(m_settings.password);
    m_security->setCurrentIndex(SecurityIndex(m_settings.security));
    m_authentication->setChecked(m_settings.authentication);
    EnableAuthenticationFields(m_settings.authentication);

    connect(m_alert, &QLineEdit::textChanged, this, &CEmailSetupDlg::OnAlertChanged);
    connect(m_authentication, &QCheckBox::toggled, this,
            &CEmailSetupDlg::EnableAuthenticationFields);
    m_recovery->installEventFilter(this);
    m_return->installEventFilter(this);
    // A return address the user typed is theirs as much as one that was stored.
    connect(m_return, &QLineEdit::textEdited, this, [this] { m_returnEdited = true; });
    connect(m_server, &QLineEdit::textEdited, this, &CEmailSetupDlg::OnServerEdited);
    // Only the user's own pick (activated, unlike a change made here) stops the following.
    connect(m_security, &QComboBox::activated, this, [this] { m_securityChosen = true; });
}

void CEmailSetupDlg::EnableAuthenticationFields(bool enable) {
    m_userName->setEnabled(enable);
    m_password->setEnabled(enable);
    m_userNameLabel->setEnabled(enable);
    m_passwordLabel->setEnabled(enable);
}

void CEmailSetupDlg::OnAlertChanged(const QString& text) {
    if (!m_recoveryEdited)
        m_recovery->setText(text);
    if (!m_returnEdited)
        m_return->setText(text);
}

void CEmailSetupDlg::OnServerEdited(const QString& text) {
    if (m_securityChosen)
        return;
    // The ports that mean one thing: submission with STARTTLS, and TLS from the first byte.
    const QString server = text.trimmed();
    int security = SecurityIndex(m_settings.security);
    if (server.endsWith(QStringLiteral(":587")))
        security = 1;
    else if (server.endsWith(QStringLiteral(":465")))
        security = 2;
    m_security->setCurrentIndex(security);
}

bool CEmailSetupDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn && (watched == m_recovery || watched == m_return)) {
        auto* edit = static_cast<QLineEdit*>(watched);
        const bool copied = watched == m_recovery ? !m_recoveryEdited : !m_returnEdited;
        // A copy of the alert recipient is selected, so that typing replaces it instead of
        // landing inside it. Queued: a mouse click places the cursor after the focus comes.
        if (copied && !edit->text().isEmpty())
            QTimer::singleShot(0, edit, [edit] {
                if (edit->hasFocus())
                    edit->selectAll();
            });
        if (watched == m_recovery)
            m_recoveryEdited = true;
    }
    return QDialog::eventFilter(watched, event);
}

bool CEmailSetupDlg::CheckServer() {
    const QString text = m_server->text();
    QString host;
    quint16 port = 0;
    const bool split = SmtpClient::SplitServerText(text, &host, &port);
    // A colon left in the host means a port that is not digits.
    if (!split || host.contains(u':')) {
        Refuse(m_server, QStringLiteral("The port in \"%1\" is not a number from 1 to 65535.\n\n"
                                        "Please enter the server as host or host:port.")
                             .arg(text));
        return false;
    }
    if (host.isEmpty()) {
        Refuse(m_server, QStringLiteral("\"%1\" names no host.\n\nPlease enter the server as "
                                        "host or host:port.")
                             .arg(text));
        return false;
    }
    if (std::any_of(host.begin(), host.end(), [](QChar c) { return c.isSpace(); })) {
        Refuse(m_server, QStringLiteral("The host name \"%1\" contains a blank.\n\nPlease enter "
                                        "the server as host or host:port.")
                             .arg(host));
        return false;
    }
    return true;
}

bool CEmailSetupDlg::CheckField(QLineEdit* edit, const QString& whenEmpty) {
    const QString trimmed = edit->text().trimmed();
    if (trimmed != edit->text())
        edit->setText(trimmed);
    if (!trimmed.isEmpty())
        return true;
    Refuse(edit, whenEmpty);
    return false;
}

bool CEmailSetupDlg::CheckAddresses(QLineEdit* edit, const QString& whenEmpty,
                                    const QString& fieldName, bool list) {
    if (!CheckField(edit, whenEmpty))
        return false;
    const QString text = edit->text();
    const QStringList addresses = list ? SplitAddressList(text) : QStringList{text};
    if (addresses.isEmpty()) {
        Refuse(edit, whenEmpty);
        return false;
    }
    for (const QString& address : addresses) {
        // A return address is one address: a separator in it is not part of any address.
        if (IsMailAddress(address) && !address.contains(u',') && !address.contains(u';'))
            continue;
        Refuse(edit, QStringLiteral("\"%1\" is not an email address.\n\nPlease enter the %2 as "
                                    "name@domain%3.")
                         .arg(address, fieldName,
                              list ? QStringLiteral("; separate several addresses with commas "
                                                    "or semicolons")
                                   : QString()));
        return false;
    }
    return true;
}

void CEmailSetupDlg::Refuse(QLineEdit* edit, const QString& text) {
    edit->setFocus(Qt::OtherFocusReason);
    m_prompt.Tell(this, text);
}

void CEmailSetupDlg::accept() {
    if (!CheckAddresses(m_alert,
                        QStringLiteral("Please enter an email address for the recipient of "
                                       "Trellion alerts."),
                        QStringLiteral("alert recipient"), true))
        return;
    if (!CheckAddresses(m_recovery,
                        QStringLiteral("Please enter an email address for the recipient of "
                                       "Trellion recovery notices."),
                        QStringLiteral("recovery recipient"), true))
        return;
    const QString name = m_senderName->text().trimmed();
    m_senderName->setText(name.isEmpty() ? QStringLiteral("Trellion") : name);
    if (!CheckAddresses(m_return,
                        QStringLiteral("Please enter a return email address in case some notices "
                                       "are undeliverable."),
                        QStringLiteral("return address"), false))
        return;
    if (!CheckField(m_server,
                    QStringLiteral("Please enter the host name or IP of your SMTP server, if you "
                                   "do not know it, consult your system administrator.")) ||
        !CheckServer())
        return;

    m_settings.alertRecipient = m_alert->text();
    m_settings.recoveryRecipient = m_recovery->text();
    m_settings.senderName = m_senderName->text();
    m_settings.returnAddress = m_return->text();
    m_settings.server = m_server->text();
    m_settings.userName = m_userName->text();
    m_settings.password = m_password->text();
    m_settings.authentication = m_authentication->isChecked();
    m_settings.security = m_security->currentIndex();
    QDialog::accept();
}
