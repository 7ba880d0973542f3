// The connect road below the screens: sign in to the local account service, load the subscription,
// activate the provider and start the tunnel against the real tunnel service, greet the provider
// with the subscription, stop.
#include "LoopbackNodes.h"
#include "ServiceServers.h"
#include "TrafficSupport.h"
#include "TunnelTestSupport.h"
#include "platform/Log.h"
#include "service/NMApi.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;
using platform::ScopedLogCapture;

TEST(ConnectRoad, SignInSubscriptionActivationStartGreetingAndStop) {
    ServiceHarness tunnelService; // also points the XDG folders at a temporary home
    ASSERT_TRUE(tunnelService.start());
    LocalService account;
    // A real node behind the subscription's server list: connected means traffic flows.
    devservice::LoopbackNode node("香港 01");
    ASSERT_TRUE(node.start());
    account.service().setServers(nlohmann::json::array({node.serverEntry()}));
    SettingsStore settings;
    // The client's own remembered host leads it to the local account service.
    ASSERT_TRUE(settings.set(keys::lastOkHost, account.url()));

    ScopedLogCapture log;
    const auto record = signInAndSubscribe(settings);
    EXPECT_TRUE(settings.isSignedIn());
    EXPECT_TRUE(settings.hasUserInfo());
    EXPECT_FALSE(log.contains(devservice::kDemoPassword)); // never in a log line
    ASSERT_TRUE(record && record->subUuid && !record->subUuid->empty());
    EXPECT_NE(record->serviceStatus, false);
    EXPECT_NE(record->subStatus, false);

    // Activation first; the service approves on its own here and the manager then starts.
    VPNTunnelManager tunnel(tunnelService.setup());
    bool submitted = false;
    tunnel.activateExtension([&](bool ok) { submitted = ok; });
    ASSERT_TRUE(submitted);
    ASSERT_TRUE(
        waitUntil([&] { return tunnel.vpnStatus() == VpnStatus::Connected; }, std::chrono::seconds(15)))
        << "status " << static_cast<int>(tunnel.vpnStatus());
    EXPECT_TRUE(log.contains("Extension 激活成功，开始启动 VPN"));
    // The provider was started with the host that last answered: the local account service.
    const auto console = log.lines(platform::LogChannel::Console);
    const auto startLine = std::find_if(console.begin(), console.end(), [](const std::string& line) {
        return line.starts_with("-----开始启动VPN隧道:");
    });
    ASSERT_NE(startLine, console.end());
    EXPECT_NE(startLine->find(account.url()), std::string::npos) << *startLine;
    // The subscription identifier went to the provider but never into a log line.
    EXPECT_EQ(startLine->find(*record->subUuid), std::string::npos) << *startLine;
    EXPECT_NE(startLine->find("\"subuuid\": \"<redacted>\""), std::string::npos) << *startLine;

    const std::string greeting = "subuuid." + *record->subUuid;
    tunnel.sendMessage(greeting);
    ASSERT_TRUE(waitUntil([&] { return log.contains("Success to send a message[subuuid.<redacted>]"); }));
    EXPECT_FALSE(log.contains(*record->subUuid));

    EXPECT_TRUE(stopUntilDown(tunnel));
}

TEST(ConnectRoad, ADeadAccountHostFailsTheStartCleanly) {
    ServiceHarness tunnelService;
    ASSERT_TRUE(tunnelService.start());
    SettingsStore settings;
    // Remembered host gone: the provider's check of its "host" fails and the start ends disconnected.
    ASSERT_TRUE(settings.set(keys::lastOkHost, refusedUrl()));
    VPNTunnelManager tunnel(tunnelService.setup());
    bool submitted = false;
    tunnel.activateExtension([&](bool ok) { submitted = ok; });
    ASSERT_TRUE(submitted);
    ASSERT_TRUE(
        waitUntil([&] { return tunnel.vpnStatus() == VpnStatus::Connecting; }, std::chrono::seconds(10)));
    ASSERT_TRUE(
        waitUntil([&] { return tunnel.vpnStatus() == VpnStatus::Disconnected; }, std::chrono::seconds(10)));
}
