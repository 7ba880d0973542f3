#include "DesktopPeers.h"
#include "ShellFixture.h"
#include "app/StatusNotifierItem.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <gtest/gtest.h>

using namespace nimo;
using nimo::test::waitUntil;

// As at login: the client starts before the panel. Its status item must reach the panel's watcher
// when that appears, with an icon to show.
TEST(Desktop, AWatcherThatAppearsAfterTheClientGetsTheStatusItem) {
    test::PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    test::TempXdg xdg;
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(QString::fromStdString(test::binDir() + "/nimo"), {});
    ASSERT_TRUE(client.waitForStarted(5000));

    QDBusConnection panel = QDBusConnection::connectToBus(bus.address(), QStringLiteral("panel"));
    ASSERT_TRUE(panel.isConnected());
    // The client is up once its item is on the bus; the panel comes two seconds after that.
    ASSERT_TRUE(waitUntil(
        [&] {
            const QStringList names = panel.interface()->registeredServiceNames().value();
            return names.filter(QStringLiteral("org.kde.StatusNotifierItem-")).size() == 1;
        },
        std::chrono::seconds(10)));
    waitUntil([] { return false; }, std::chrono::seconds(2));

    test::FakeWatcher watcher;
    ASSERT_TRUE(panel.registerObject(QString::fromLatin1(StatusNotifierItem::kWatcherPath), &watcher,
                                     QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(panel.registerService(QString::fromLatin1(StatusNotifierItem::kWatcherService)));
    ASSERT_TRUE(waitUntil([&] { return !watcher.items.isEmpty(); }, std::chrono::seconds(10)));

    QDBusInterface item(watcher.items.first(), QString::fromLatin1(StatusNotifierItem::kItemPath),
                        QStringLiteral("org.kde.StatusNotifierItem"), panel);
    EXPECT_EQ(item.property("Id").toString(), QStringLiteral("nimo"));
    EXPECT_EQ(item.property("Status").toString(), QStringLiteral("Active"));
    // A themed symbolic icon the panel can tint, found under the theme path; the pixels as fallback.
    const QString iconName = item.property("IconName").toString();
    EXPECT_EQ(iconName, QStringLiteral("nimo-vpnstate-off-symbolic"));
    EXPECT_TRUE(QFileInfo::exists(item.property("IconThemePath").toString() +
                                  QStringLiteral("/hicolor/symbolic/apps/") + iconName +
                                  QStringLiteral(".svg")));
    EXPECT_TRUE(item.property("OverlayIconName").toString().isEmpty());

    client.terminate();
    if (!client.waitForFinished(5000))
        client.kill();
    QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
}

// The offscreen screen (800 x 600) is smaller than the window: what must stay reachable does.
TEST(Desktop, OnASmallScreenTheTitleStripAndCloseButtonStayOnScreen) {
    test::Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_LT(available.width(), 920);
    const QRect frame = shell.delegate.mainWC()->geometry();
    EXPECT_GE(frame.top(), available.top());
    EXPECT_LE(frame.right(), available.right());
}
