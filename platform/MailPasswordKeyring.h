#pragma once

#include <QObject>
#include <QString>

#include <functional>

// The e-mail password in the desktop's keyring (the Secret Service of GNOME Keyring or KWallet),
// through the OS layer's secret calls. Reading runs in the background: it is started early and its
// answer taken when it comes, so neither the window nor a poll ever waits for a keyring (or its
// unlock prompt). Where no keyring answers, the caller keeps the password in the settings file.
class MailPasswordKeyring : public QObject {
    Q_OBJECT
public:
    explicit MailPasswordKeyring(QObject* parent = nullptr);

    // Starts reading and returns at once. `onPassword` runs later on this thread with what the
    // keyring holds (empty when it holds nothing), and not at all when no keyring answers.
    void StartRead(std::function<void(const QString&)> onPassword = {});

    // After StartRead: runs the event loop (user input aside) until the read has ended. True
    // with the password when a keyring answered; false when none did or no read was started.
    bool WaitForRead(QString* password);

    // Stores the password, running the event loop (user input aside) meanwhile; true when a
    // keyring took it.
    bool Store(const QString& password);

signals:
    void readEnded();

private:
    enum class Read { NotStarted, Running, Answered, NoKeyring };

    Read m_read = Read::NotStarted;
    QString m_password;
};
