// The status menu against the real tunnel service and the reference provider.
#include "ShellFixture.h"
#include "TunnelTestSupport.h"
#include "app/AppDelegate.h"
#include "app/NodesInfoVC.h"
#include "platform/Log.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"

#include <QAction>
#include <gtest/gtest.h>
#include <memory>

using namespace nimo;
using namespace nimo::test;
using platform::ScopedLogCapture;

namespace {
// A running tunnel service with the provider installed, and a remembered host whose server list
// leads to real loopback nodes.
class StatusMenuTunnel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.start());
        ASSERT_TRUE(host.ok());
        raw = std::make_unique<RawClient>(service.socketPath());
        ASSERT_TRUE(install(*raw, extensionPackage(packageRoot())));
        ASSERT_TRUE(settings.set(UserDefaultsCacheKeys::lastOkHost, host.url()));
    }

    ServiceHarness service;
    NodeRoad host;
    std::unique_ptr<RawClient> raw;
    SettingsStore settings;
};
} // namespace

TEST_F(StatusMenuTunnel, MenuFollowsTheTunnelAndSendsTheModeToTheProvider) {
    VPNTunnelManager tunnel(service.setup());
    ScreenContext screens(settings, tunnel);
    AppDelegate delegate(screens.context, screens.toasts);
    delegate.applicationDidFinishLaunching();

    bool started = false;
    tunnel.startVPN(nullptr, [&](bool ok, const std::optional<std::string>&) { started = ok; });
    ASSERT_TRUE(waitUntil([&] { return delegate.lastVpnState() == 3; }, std::chrono::seconds(10)));
    EXPECT_TRUE(started);
    ASSERT_NE(delegate.toastW(), nullptr);
    EXPECT_EQ(delegate.toastW()->message, QStringLiteral("代理：已开启"));
    ASSERT_TRUE(waitUntil([&] { return delegate.toggleRunning()->text() == QStringLiteral("关闭代理"); }));
    EXPECT_EQ(delegate.statusIconName(), QStringLiteral("vpnstate_on"));
    EXPECT_TRUE(delegate.pacItem()->isChecked()); // nothing stored: PAC

    for (QAction* item : {delegate.globalItem(), delegate.pacItem()}) {
        const std::string message = item == delegate.pacItem() ? "tunMode.rule" : "tunMode.global";
        ScopedLogCapture log;
        item->trigger();
        EXPECT_EQ(NimoShared::shared().get(kSharedTunMode), nlohmann::json(message.substr(8)));
        EXPECT_TRUE(item->isChecked());
        // The provider acknowledges exactly the text the menu sent.
        ASSERT_TRUE(waitUntil([&] { return log.contains("Success to send a message[" + message + "]"); }))
            << message;
        EXPECT_TRUE(log.contains("\\\"ack\\\":\\\"" + message + "\\\"") ||
                    log.contains("\"ack\":\"" + message + "\""));
    }

    // The power switch of a connected tunnel stops it.
    delegate.toggleRunning()->trigger();
    ASSERT_TRUE(waitUntil([&] { return delegate.lastVpnState() <= 1; }, std::chrono::seconds(10)));
    // After a reason the main screen may still show (the notice of global mode), not over it.
    EXPECT_TRUE(waitUntil(
        [&] { return delegate.toastW() && delegate.toastW()->message == QStringLiteral("代理：已关闭"); },
        std::chrono::seconds(5)));
    ASSERT_TRUE(waitUntil([&] { return delegate.toggleRunning()->text() == QStringLiteral("开启代理"); }));
    EXPECT_EQ(delegate.statusIconName(), QStringLiteral("vpnstate_off"));
}

TEST_F(StatusMenuTunnel, QuitLeavesAConnectedTunnelUp) {
    std::string identifier;
    {
        VPNTunnelManager tunnel(service.setup());
        ScreenContext screens(settings, tunnel);
        AppDelegate delegate(screens.context, screens.toasts);
        delegate.applicationDidFinishLaunching();
        tunnel.startVPN(nullptr, [](bool, const std::optional<std::string>&) {});
        ASSERT_TRUE(waitUntil([&] { return delegate.lastVpnState() == 3; }, std::chrono::seconds(10)));
        identifier = tunnel.tunnelManager()->identifier;
        delegate.quitItem()->trigger();
    }
    auto status = raw->request({{"op", "status"}, {"configuration", identifier}});
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["result"]["status"], 3);
}
