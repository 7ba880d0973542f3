#include "ProviderSession.h"

#include "TunnelTestSupport.h"

#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;

namespace {
std::string testProvider() {
    return extensionPackage(testPackageRoot()) + "/Contents/bin/com.nimomac.qn.sysne";
}
} // namespace

// The 30 s and 10 s limits of the service, shortened: a phase that does not finish ends in
// disconnected, with the reason kept and the provider gone.
TEST(ProviderSession, PhasesThatDoNotFinishEndInDisconnected) {
    tunneld::SessionTimings timings;
    timings.silenceMs = 10000; // "slowstop" keeps the provider quiet for 2 s

    // Only the phase under test is short: a provider slow to start (a loaded machine, a sanitizer
    // build) must still reach connected before its stop is timed.
    struct Case {
        const char* name;
        nlohmann::json options;
        bool stopAfterConnected;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"connecting", {{"hold", "connecting"}}, false, "连接超时"},
        {"disconnecting", nlohmann::json::object(), true, "停止超时"},
    };
    for (const auto& c : cases) {
        tunneld::SessionTimings phase = timings;
        (c.stopAfterConnected ? phase.disconnectingMs : phase.connectingMs) = 300;
        tunneld::ProviderSession session("cfg", phase);
        std::vector<int> seen;
        QObject::connect(&session, &tunneld::ProviderSession::statusChanged,
                         [&](const QString&, int status) { seen.push_back(status); });
        ASSERT_FALSE(session.start(testProvider(), kTunnelBundleId, c.options, nlohmann::json::object()))
            << c.name;
        const qint64 pid = session.providerPid();
        if (c.stopAfterConnected) {
            ASSERT_TRUE(waitUntil([&] { return session.status() == VpnStatus::Connected; })) << c.name;
            bool acknowledged = false;
            session.sendMessage("slowstop", [&](std::optional<QByteArray>) { acknowledged = true; });
            ASSERT_TRUE(waitUntil([&] { return acknowledged; })) << c.name;
            ASSERT_TRUE(session.stop());
        }
        ASSERT_TRUE(waitUntil([&] { return session.status() == VpnStatus::Disconnected; })) << c.name;
        EXPECT_EQ(session.lastError(), c.reason) << c.name;
        EXPECT_FALSE(session.isRunning()) << c.name;
        EXPECT_TRUE(waitUntil([&] { return !processAlive(pid); })) << c.name;
        const std::vector<int> expected =
            c.stopAfterConnected ? std::vector<int>{2, 3, 5, 1} : std::vector<int>{2, 1};
        EXPECT_EQ(seen, expected) << c.name;
    }

    // A provider that cannot be launched is refused at start, and nothing changes.
    tunneld::ProviderSession session("cfg", timings);
    auto error = session.start("/nonexistent/provider", kTunnelBundleId, {}, {});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, tunnelproto::ProviderFailed);
    EXPECT_EQ(session.status(), VpnStatus::Disconnected);
}

// Nothing wakes the service for a quiet provider but a check every few minutes; a provider that
// goes wrong between two checks is still found: its closed output, or a message it leaves
// unanswered (which prompts a check at once).
TEST(ProviderSession, AProviderThatHangsOrFallsMuteGoesLongBeforeTheNextCheck) {
    struct Case {
        const char* command;
        int messageMs; // "mute" is found by its closed output alone, not by the unanswered message
    };
    for (const Case& c : {Case{"hang", 300}, Case{"mute", 600000}}) {
        tunneld::SessionTimings timings;
        timings.livenessMs = 600000;
        timings.silenceMs = 300;
        timings.messageMs = c.messageMs;
        timings.exitGraceMs = 300;
        tunneld::ProviderSession session("cfg", timings);
        ASSERT_FALSE(session.start(testProvider(), kTunnelBundleId, nlohmann::json::object(), {}))
            << c.command;
        ASSERT_TRUE(waitUntil([&] { return session.status() == VpnStatus::Connected; })) << c.command;
        const qint64 pid = session.providerPid();
        std::optional<std::optional<QByteArray>> reply;
        ASSERT_TRUE(session.sendMessage(c.command, [&](std::optional<QByteArray> r) { reply = r; }));
        ASSERT_TRUE(
            waitUntil([&] { return session.status() == VpnStatus::Disconnected; }, std::chrono::seconds(3)))
            << c.command;
        EXPECT_EQ(session.lastError(), "隧道提供者没有响应") << c.command;
        ASSERT_TRUE(reply.has_value()) << c.command;
        EXPECT_FALSE(reply->has_value()) << c.command;
        EXPECT_TRUE(waitUntil([&] { return !processAlive(pid); })) << c.command;
    }
}
