#include "ui/MailPasswordKeyring.h"

#include <QEventLoop>

#include <qt6keychain/keychain.h>

namespace {

const QString kService = QStringLiteral("Trellion");
const QString kKey = QStringLiteral("SMTPPassword");

} // namespace

MailPasswordKeyring::MailPasswordKeyring(QObject* parent) : QObject(parent) {}

void MailPasswordKeyring::StartRead(std::function<void(const QString&)> onPassword) {
    if (m_read == Read::Running)
        return;
    m_read = Read::Running;
    auto* job = new QKeychain::ReadPasswordJob(kService, this);
    job->setKey(kKey);
    connect(job, &QKeychain::Job::finished, this, [this, job, onPassword] {
        // "Nothing stored" is an answer too: the keyring is there and will take a password.
        const bool answered =
            job->error() == QKeychain::NoError || job->error() == QKeychain::EntryNotFound;
        m_read = answered ? Read::Answered : Read::NoKeyring;
        m_password = job->error() == QKeychain::NoError ? job->textData() : QString();
        if (answered && onPassword)
            onPassword(m_password);
        emit readEnded();
    });
    job->start();
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
    auto* job = new QKeychain::WritePasswordJob(kService, this);
    job->setKey(kKey);
    job->setTextData(password);
    QEventLoop loop;
    bool ended = false;
    bool stored = false;
    connect(job, &QKeychain::Job::finished, &loop, [&] {
        ended = true;
        stored = job->error() == QKeychain::NoError;
        loop.quit();
    });
    job->start();
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
