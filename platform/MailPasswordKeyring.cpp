#include "platform/MailPasswordKeyring.h"

#include "platform/Platform.h"

#include <QEventLoop>

namespace {

const QString kService = QStringLiteral("Trellion");
const QString kKey = QStringLiteral("SMTPPassword");

} // namespace

MailPasswordKeyring::MailPasswordKeyring(QObject* parent) : QObject(parent) {}

void MailPasswordKeyring::StartRead(std::function<void(const QString&)> onPassword) {
    if (m_read == Read::Running)
        return;
    m_read = Read::Running;
    CurrentPlatform().ReadSecret(kService, kKey, this,
                                 [this, onPassword](SecretRead read, const QString& secret) {
                                     // "Nothing stored" is an answer too: the keyring is there and
                                     // will take a password.
                                     const bool answered = read != SecretRead::NoKeyring;
                                     m_read = answered ? Read::Answered : Read::NoKeyring;
                                     m_password = read == SecretRead::Found ? secret : QString();
                                     if (answered && onPassword)
                                         onPassword(m_password);
                                     emit readEnded();
                                 });
}

bool MailPasswordKeyring::WaitForRead(QString* password) {
    if (m_read == Read::Running) {
        QEventLoop loop;
        connect(this, &MailPasswordKeyring::readEnded, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (m_read != Read::Answered)
        return false;
    *password = m_password;
    return true;
}

bool MailPasswordKeyring::Store(const QString& password) {
    QEventLoop loop;
    bool ended = false;
    bool stored = false;
    CurrentPlatform().WriteSecret(kService, kKey, password, &loop, [&](bool ok) {
        ended = true;
        stored = ok;
        loop.quit();
    });
    if (!ended)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (stored) {
        // What a read in progress would bring back is now out of date.
        m_password = password;
        if (m_read != Read::Running)
            m_read = Read::Answered;
    }
    return stored;
}
