#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// The desktop's notification service on the test's private bus: keeps every Notify, answers
// with the id the notification protocol gives (the replaced one, or a new one), and sends the
// ActionInvoked signal a click on a notice would. It can hold its answers back, as a busy
// service would.
class NotificationRecorder : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Note {
        QString summary;
        uint replaces = 0, id = 0;
        QStringList actions;
        QString body;
    };

    // Owns the service name on a connection of its own; false when the bus refuses.
    bool Register() {
        return m_bus.registerService(QStringLiteral("org.freedesktop.Notifications")) &&
               m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                    QDBusConnection::ExportAllSlots);
    }
    ~NotificationRecorder() override { QDBusConnection::disconnectFromBus(m_name); }

    void Click(uint id, const QString& action) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        signal << id << action;
        m_bus.send(signal);
    }

    // Answers the calls held back so far, and answers at once from now on.
    void Answer() {
        hold = false;
        for (const auto& [call, id] : m_held)
            m_bus.send(call.createReply(id));
        m_held.clear();
    }

    QList<Note> notes;
    bool hold = false;

public slots:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int) {
        const uint id = replaces != 0 ? replaces : ++m_lastId;
        notes << Note{summary, replaces, id, actions, body};
        if (hold) {
            setDelayedReply(true);
            m_held.append({message(), id});
        }
        return id;
    }

private:
    const QString m_name = QStringLiteral("recorder");
    QDBusConnection m_bus =
        QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), m_name);
    uint m_lastId = 0;
    QList<QPair<QDBusMessage, uint>> m_held;
};
