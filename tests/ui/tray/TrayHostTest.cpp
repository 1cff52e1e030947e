// The window's tray icon under a real StatusNotifierItem host (xfce4-panel's status tray, started
// by sni-host.sh in a D-Bus session of its own under Xvfb): the item registers with the watcher,
// the host reads its menu over DBusMenu, and the host's clicks run the window's commands.
#include "app/Program.h"
#include "settings/SettingsStore.h"
#include "tests/common/TestSupport.h"
#include "ui/HistoryDlg.h"
#include "ui/MonitorDlg.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFile>
#include <QGuiApplication>

#include <gtest/gtest.h>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItem = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenu = QStringLiteral("com.canonical.dbusmenu");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// The host's side of the bus: a connection of its own, so that the window's, on the UI thread,
// answers while this one waits for the reply without blocking that thread.
class HostSide {
public:
    HostSide()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                              QStringLiteral("host-side"))) {}
    ~HostSide() { QDBusConnection::disconnectFromBus(QStringLiteral("host-side")); }

    bool IsConnected() const { return m_bus.isConnected(); }

    // The reply, or an error message whose text says what went wrong.
    QDBusMessage Call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& args = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call.setArguments(args);
        QDBusPendingCall pending = m_bus.asyncCall(call, 10000);
        TestSupport::WaitUntil([&] { return pending.isFinished(); }, 15000);
        return pending.isFinished() ? pending.reply()
                                    : call.createErrorReply(QDBusError::Timeout, "no reply");
    }

    QVariant Property(const QString& service, const QString& path, const QString& interface,
                      const QString& name) {
        const QDBusMessage reply =
            Call(service, path, kProperties, QStringLiteral("Get"), {interface, name});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().first().value<QDBusVariant>().variant();
    }
    qint64 OwnerPid(const QString& service) {
        const QDBusMessage reply =
            Call(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus"),
                 QStringLiteral("GetConnectionUnixProcessID"), {service});
        return reply.arguments().isEmpty() ? -1 : reply.arguments().first().toLongLong();
    }
    // A property of D-Bus type "as", which arrives still marshalled.
    QStringList Strings(const QString& service, const QString& path, const QString& interface,
                        const QString& name) {
        const QVariant value = Property(service, path, interface, name);
        return value.canConvert<QDBusArgument>() ? qdbus_cast<QStringList>(value)
                                                 : value.toStringList();
    }

private:
    QDBusConnection m_bus;
};

// One menu item of a DBusMenu layout: id, label ("" for a separator) and its children.
struct MenuItem {
    int id = 0;
    QString label;
    QString type;
    std::vector<MenuItem> children;
};

MenuItem ReadLayout(const QDBusArgument& argument) {
    MenuItem item;
    QVariantMap properties;
    argument.beginStructure();
    argument >> item.id >> properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children.push_back(ReadLayout(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    item.label = properties.value(QStringLiteral("label")).toString();
    item.type = properties.value(QStringLiteral("type")).toString();
    return item;
}

// What the host shows for each item: its label with the mnemonic mark, or "-" for a separator.
QStringList Labels(const MenuItem& menu) {
    QStringList labels;
    for (const MenuItem& child : menu.children)
        labels << (child.type == QStringLiteral("separator") ? QStringLiteral("-") : child.label);
    return labels;
}

TEST(StatusNotifierHostTest, TheItemRegistersTheHostReadsItsMenuAndItsClicksRunTheCommands) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        GTEST_SKIP() << "runs under Xvfb beside a StatusNotifierItem host (sni-host.sh)";
    HostSide host;
    ASSERT_TRUE(host.IsConnected());
    ASSERT_TRUE(host.Property(kWatcher, QStringLiteral("/StatusNotifierWatcher"), kWatcher,
                              QStringLiteral("IsStatusNotifierHostRegistered"))
                    .toBool())
        << "no host: run through sni-host.sh";
    QFile::remove(SettingsStore::FilePath());
    SettingsStore::WriteString(SettingsStore::kSettings, "SMTP", "127.0.0.1:1");

    Program program; // the desktop's own tray, not a recording one
    CMonitorDlg& window = program.Window();
    ASSERT_FALSE(window.isVisible());

    // The icon appears: an item of this process is registered with the watcher.
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QString entry;
    QStringList items;
    ASSERT_TRUE(TestSupport::WaitUntil(
        [&] {
            items = host.Strings(kWatcher, QStringLiteral("/StatusNotifierWatcher"), kWatcher,
                                 QStringLiteral("RegisteredStatusNotifierItems"));
            // Entries name the item's connection ("service/path"), by a well-known or a unique
            // name; the bus tells whose it is.
            for (const QString& item : items)
                if (host.OwnerPid(item.section(u'/', 0, 0)) == QCoreApplication::applicationPid())
                    entry = item;
            return !entry.isEmpty();
        },
        20000))
        << "no StatusNotifierItem of pid " << pid.toStdString() << " among "
        << items.join(u' ').toStdString();
    const QString service = entry.section(u'/', 0, 0);
    const QString itemPath = entry.contains(u'/') ? u'/' + entry.section(u'/', 1)
                                                  : QStringLiteral("/StatusNotifierItem");

    // The menu the host reads over DBusMenu: the tray's four commands, "Open" first.
    const auto menuPath =
        host.Property(service, itemPath, kItem, QStringLiteral("Menu")).value<QDBusObjectPath>();
    ASSERT_FALSE(menuPath.path().isEmpty()) << "the item exports no menu";
    const QDBusMessage layout = host.Call(service, menuPath.path(), kMenu,
                                          QStringLiteral("GetLayout"), {0, -1, QStringList()});
    ASSERT_EQ(layout.type(), QDBusMessage::ReplyMessage) << layout.errorMessage().toStdString();
    ASSERT_EQ(layout.arguments().size(), 2);
    const MenuItem menu = ReadLayout(layout.arguments().at(1).value<QDBusArgument>());
    EXPECT_EQ(Labels(menu), (QStringList{"_Open Trellion", "_History...", "_About Trellion...", "-",
                                         "_Terminate Trellion"}));
    ASSERT_EQ(menu.children.size(), 5U);

    // The host's click on "Open Trellion" opens the window.
    const auto click = [&](const MenuItem& item) {
        return host.Call(
            service, menuPath.path(), kMenu, QStringLiteral("Event"),
            {item.id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0U});
    };
    EXPECT_EQ(click(menu.children[0]).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return window.isVisible(); }, 10000));

    // A left click on the icon (the host's Activate) opens the hidden window too.
    window.hide();
    EXPECT_EQ(host.Call(service, itemPath, kItem, QStringLiteral("Activate"), {0, 0}).type(),
              QDBusMessage::ReplyMessage);
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return window.isVisible(); }, 10000));

    // "History..." opens the uptime history over it.
    EXPECT_EQ(click(menu.children[1]).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(TestSupport::WaitUntil(
        [&] {
            const auto* history = window.findChild<CHistoryDlg*>();
            return history && history->isVisible();
        },
        10000));

    // "Terminate Trellion" ends the program.
    EXPECT_FALSE(window.HasEnded());
    EXPECT_EQ(click(menu.children[4]).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return window.HasEnded(); }, 10000));
}

} // namespace
