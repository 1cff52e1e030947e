#pragma once

#include "monitor/DesktopNotice.h"

#include <QDBusConnection>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>

#include <deque>
#include <mutex>

class QDBusPendingCallWatcher;

// The application thread's side of the notifier: sends the notices one at a time, in order,
// each with the id of the notice it replaces, and hears the clicks.
class DesktopNotifierLink : public QObject {
    Q_OBJECT
public:
    struct Note {
        QString summary, body, key;
        uchar urgency = 1;
    };
    // Notices waiting for the service beyond this are dropped, oldest first.
    static constexpr std::size_t kMaxWaiting = 100;

    DesktopNotifierLink(const QDBusConnection& bus, const QImage& icon);

    // Any thread.
    void Enqueue(Note note);

signals:
    // The user clicked one of this program's notices (its "default" action).
    void activated();

private slots:
    void SendNext();
    void OnActionInvoked(uint id, const QString& action);

private:
    void OnReply(QDBusPendingCallWatcher* watcher, const QString& key);

    QDBusConnection m_bus;
    QImage m_icon; // RGBA, or null without a picture
    std::mutex m_mutex;
    std::deque<Note> m_waiting; // under m_mutex
    bool m_wakePosted = false;  // under m_mutex
    // Application thread only.
    bool m_inFlight = false;
    QHash<QString, uint> m_idByKey;
    QSet<uint> m_ours;
};

// Raises freedesktop notifications ("Notify" of org.freedesktop.Notifications) as "Trellion"
// with the program's picture, each offering the "default" action, so that a click on it opens
// the window. The call is handed to the application's thread and sent there: no caller ever
// waits for the bus or the notification service. Without a bus or without a service nothing is
// shown and nothing else happens. Construct on the application's thread; destroy anywhere.
class DesktopNotifier : public IDesktopNotifier {
public:
    explicit DesktopNotifier(const QImage& icon = {},
                             const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~DesktopNotifier() override;
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    void Notify(const QString& summary, const QString& body, Urgency urgency,
                const QString& key = {}) override;

    // Where activated() comes from.
    DesktopNotifierLink* Link() const { return m_link; }

private:
    DesktopNotifierLink* m_link; // deleted on its own thread
};
