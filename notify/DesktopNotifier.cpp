#include "notify/DesktopNotifier.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QMetaObject>
#include <QStringList>
#include <QVariantMap>

namespace {

// The picture as the "image-data" structure (iiibiiay): width, height, row stride, alpha,
// bits per sample, channels, RGBA bytes. Daemons show it without looking up an icon theme,
// where the program may have no icon installed.
QVariant ImageHint(const QImage& rgba) {
    QDBusArgument image;
    image.beginStructure();
    image << rgba.width() << rgba.height() << static_cast<int>(rgba.bytesPerLine()) << true << 8
          << 4
          << QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                        static_cast<qsizetype>(rgba.sizeInBytes()));
    image.endStructure();
    return QVariant::fromValue(image);
}

} // namespace

DesktopNotifier::DesktopNotifier(const QImage& icon, const QDBusConnection& bus)
    : m_bus(bus), m_icon(icon.isNull() ? QImage() : icon.convertToFormat(QImage::Format_RGBA8888)) {
}

void DesktopNotifier::Notify(const QString& summary, const QString& body, Urgency urgency) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !m_bus.isConnected())
        return;
    const uchar level = urgency == Urgency::Critical ? 2 : 1;
    // The message is made and sent on the application's thread, which owns the bus objects.
    QMetaObject::invokeMethod(
        app,
        [bus = m_bus, icon = m_icon, summary, body, level] {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.Notifications"),
                QStringLiteral("/org/freedesktop/Notifications"),
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
            QVariantMap hints;
            hints.insert(QStringLiteral("urgency"), QVariant::fromValue(level));
            if (!icon.isNull())
                hints.insert(QStringLiteral("image-data"), ImageHint(icon));
            call << QStringLiteral("Trellion") << 0U << QStringLiteral("trellion") << summary
                 << body << QStringList() << hints << -1;
            // Sent without waiting: nothing is learnt from the answer, and a missing service
            // only costs an error reply that nobody reads.
            QDBusConnection(bus).send(call);
        },
        Qt::QueuedConnection);
}
