#pragma once

#include "monitor/DesktopNotice.h"

#include <QDBusConnection>
#include <QImage>

// Raises freedesktop notifications ("Notify" of org.freedesktop.Notifications) as "Trellion"
// with the program's picture. The call is handed to the application's thread and sent there
// without waiting for a reply: no caller ever waits for the bus or the notification service.
// Without a bus or without a service nothing is shown and nothing else happens.
class DesktopNotifier : public IDesktopNotifier {
public:
    explicit DesktopNotifier(const QImage& icon = {},
                             const QDBusConnection& bus = QDBusConnection::sessionBus());

    void Notify(const QString& summary, const QString& body, Urgency urgency) override;

private:
    QDBusConnection m_bus;
    QImage m_icon; // RGBA, or null without a picture
};
