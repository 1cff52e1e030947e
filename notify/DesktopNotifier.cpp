#include "notify/DesktopNotifier.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kDefaultAction = QStringLiteral("default");

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

DesktopNotifierLink::DesktopNotifierLink(const QDBusConnection& bus, const QImage& icon)
    : m_bus(bus), m_icon(icon.isNull() ? QImage() : icon.convertToFormat(QImage::Format_RGBA8888)) {
    // Services send the signal to every client: OnActionInvoked keeps to this program's ids.
    if (m_bus.isConnected())
        m_bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                      SLOT(OnActionInvoked(uint, QString)));
}

void DesktopNotifierLink::Enqueue(Note note) {
    std::lock_guard lock(m_mutex);
    if (m_waiting.size() >= kMaxWaiting)
        m_waiting.pop_front();
    m_waiting.push_back(std::move(note));
    // Only a wake-up crosses through the event loop, posted under the lock that SendNext takes
    // first: the thread sanitizer sees the hand-over, which it cannot inside Qt.
    if (!m_wakePosted) {
        m_wakePosted = true;
        QMetaObject::invokeMethod(this, "SendNext", Qt::QueuedConnection);
    }
}

void DesktopNotifierLink::SendNext() {
    Note note;
    {
        std::lock_guard lock(m_mutex);
        m_wakePosted = false;
        // One call at a time: a notice must know the id of the one it replaces, and the order
        // of the calls is the order the user sees.
        if (m_inFlight || m_waiting.empty())
            return;
        if (!m_bus.isConnected()) {
            m_waiting.clear();
            return;
        }
        note = std::move(m_waiting.front());
        m_waiting.pop_front();
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(note.urgency));
    if (!m_icon.isNull())
        hints.insert(QStringLiteral("image-data"), ImageHint(m_icon));
    const uint replaces = note.key.isEmpty() ? 0U : m_idByKey.value(note.key, 0U);
    call << QStringLiteral("Trellion") << replaces << QStringLiteral("trellion") << note.summary
         << note.body << QStringList{kDefaultAction, QStringLiteral("Open Trellion")} << hints
         << -1;
    m_inFlight = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key = note.key](QDBusPendingCallWatcher* w) { OnReply(w, key); });
}

void DesktopNotifierLink::OnReply(QDBusPendingCallWatcher* watcher, const QString& key) {
    const QDBusPendingReply<uint> reply = *watcher;
    watcher->deleteLater();
    // A missing service answers with an error: nothing was shown, nothing to replace later.
    if (!reply.isError()) {
        m_ours.insert(reply.value());
        if (!key.isEmpty())
            m_idByKey.insert(key, reply.value());
    }
    m_inFlight = false;
    SendNext();
}

void DesktopNotifierLink::OnActionInvoked(uint id, const QString& action) {
    if (action == kDefaultAction && m_ours.contains(id))
        emit activated();
}

DesktopNotifier::DesktopNotifier(const QImage& icon, const QDBusConnection& bus)
    : m_link(new DesktopNotifierLink(bus, icon)) {
    if (QCoreApplication* app = QCoreApplication::instance())
        m_link->moveToThread(app->thread());
}

DesktopNotifier::~DesktopNotifier() {
    // The last owner may be a poll thread: then the link goes later, on the thread it lives on.
    if (m_link->thread() == QThread::currentThread())
        delete m_link;
    else
        m_link->deleteLater();
}

void DesktopNotifier::Notify(const QString& summary, const QString& body, Urgency urgency,
                             const QString& key) {
    m_link->Enqueue({summary, body, key, urgency == Urgency::Critical ? uchar(2) : uchar(1)});
}
