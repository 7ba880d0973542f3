// The connect road through the real window: sign in with the dialog, press start, watch the tunnel
// display go loading -> connecting -> connected, switch the mode from the status menu, stop; and the
// ways a start ends back on the start face. Real local account service, tunnel service, provider.
#include "ScreenRoad.h"

#include "platform/Log.h"
#include "tunnel/NimoShared.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;
using platform::ScopedLogCapture;

namespace {

std::vector<int> connectStates(const ScopedLogCapture& log) {
    std::vector<int> states;
    for (const auto& line : log.lines(platform::LogChannel::Console))
        if (line.starts_with("changeConnectState:"))
            states.push_back(std::stoi(line.substr(19)));
    return states;
}

// Presses one button of the approval alert as soon as it shows.
void answerApprovalWith(const char* buttonName) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, buttonName] {
        auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!alert || alert->objectName() != QStringLiteral("VPNApprovalAlert"))
            return;
        EXPECT_TRUE(alert->informativeText().contains(QStringLiteral("nimo-tunneld approve")));
        if (auto* button = alert->findChild<QPushButton*>(QString::fromLatin1(buttonName)))
            button->click();
        poll->deleteLater();
    });
    poll->start(20);
}

} // namespace

TEST(ScreenRoad, SignInStartConnectedGlobalModeAndStop) {
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    EXPECT_TRUE(waitUntil([&] { return road.toast() == QStringLiteral("登录成功！"); }));
    EXPECT_FALSE(road.vc->ttbarLoginButton()->isVisible());

    ScopedLogCapture log;
    road.vc->onTapButton(road.vc->startProxyButton());
    ASSERT_TRUE(waitUntil([&] { return road.delegate->lastVpnState() == 3; }, std::chrono::seconds(15)))
        << road.toast().toStdString();
    ASSERT_TRUE(waitUntil(
        [&] { return road.vc->connectButton()->titleLabel()->text() == QStringLiteral("已连接"); }));
    const std::vector<int> expected{9, 1, 2};
    EXPECT_EQ(connectStates(log), expected);
    EXPECT_FALSE(road.vc->startProxyButton()->isVisible());
    EXPECT_TRUE(road.vc->connectButton()->startButton()->animationKeys().contains(
        QString::fromLatin1(ConnectButton::kConnectedKey)));
    ASSERT_TRUE(
        waitUntil([&] { return road.delegate->switchLabel()->text() == QStringLiteral("代理：已开启"); }));

    // The provider runs with the four start options and heard the account's identifier once.
    const std::string uuid = NimoShared::shared().get(kSharedSubUuid).value_or("").get<std::string>();
    ASSERT_FALSE(uuid.empty());
    RawClient raw(road.service.socketPath());
    auto status =
        raw.request({{"op", "status"}, {"configuration", road.tunnel->tunnelManager()->identifier}});
    ASSERT_TRUE(status);
    const auto options = (*status)["result"]["options"];
    EXPECT_EQ(options["subuuid"], "<redacted>"); // a secret: the answer only says there is one
    EXPECT_EQ(options["host"], road.account->url());
    EXPECT_EQ(options["nodeName"], "");
    EXPECT_EQ(options["tunMode"], "rule");
    const std::string greeting = "Success to send a message[subuuid.<redacted>]";
    ASSERT_TRUE(waitUntil([&] { return log.contains(greeting); }));
    road.vc->applyVpnStatus(3); // a repeated report sends nothing more
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    int greetings = 0;
    for (const auto& line : log.lines(platform::LogChannel::Stdout))
        greetings += line.starts_with(greeting) ? 1 : 0;
    EXPECT_EQ(greetings, 1);

    // A node chosen while connected reaches the provider; the automatic route sends nothing after the dot.
    road.vc->onNodeSelected(std::string(), std::nullopt);
    EXPECT_EQ(NimoShared::shared().get(kSharedNodeName), nlohmann::json(""));
    EXPECT_EQ(road.vc->nodeRemarkLabel()->text(), QStringLiteral("自动适配最佳线路"));
    EXPECT_TRUE(waitUntil([&] { return log.contains("Success to send a message[switchNode.]"); }));

    road.delegate->globalItem()->trigger();
    EXPECT_TRUE(waitUntil([&] { return log.contains("Success to send a message[tunMode.global]"); }));
    EXPECT_TRUE(road.vc->modeButton(1003)->isChecked());
    road.vc->modeButton(1002)->click(); // the home page's radio reaches the running tunnel too
    EXPECT_TRUE(waitUntil([&] { return log.contains("Success to send a message[tunMode.rule]"); }));

    // Stop from the tunnel display: the start face and the menu come back.
    road.vc->connectButton()->earthImge()->click();
    ASSERT_TRUE(waitUntil([&] { return road.startFace(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(
        waitUntil([&] { return road.delegate->switchLabel()->text() == QStringLiteral("代理：已关闭"); }));
    EXPECT_FALSE(road.vc->connectButton()->startButton()->isAnimationRunning());
}

TEST(ScreenRoad, StartsThatEndOnTheStartFace) {
    const struct {
        const char* row;
        nlohmann::json subscription; // fields changed in the record, or null for the real one
        const char* toast;
    } rows[] = {
        {"expired membership", {{"service_status", false}}, "会员已到期，请前往订阅续费！"},
        {"traffic used up", {{"sub_status", false}}, "流量已超标，请前往订阅续费！"},
        {"no identifier", {{"sub_uuid", nullptr}}, "subuuid.is.null"},
    };
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    for (const auto& row : rows) {
        road.useSubscription(row.subscription);
        road.vc->onTapButton(road.vc->startProxyButton());
        EXPECT_TRUE(waitUntil([&] { return road.toast() == QString::fromUtf8(row.toast); })) << row.row;
        EXPECT_TRUE(waitUntil([&] { return road.startFace(); })) << row.row;
        EXPECT_LE(road.delegate->lastVpnState(), 1) << row.row;
        road.account->service().handle({"POST", "/admin/clear-overrides", {}, {}, {}, {}, {}, {}});
    }

    // Signed out: only the toast, and no request.
    road.settings.clearSession();
    road.account->service().handle({"POST", "/admin/clear-requests", {}, {}, {}, {}, {}, {}});
    road.vc->onTapButton(road.vc->startProxyButton());
    EXPECT_EQ(road.toast(), QStringLiteral("请先登录再使用"));
    EXPECT_TRUE(road.startFace());
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(road.account->requests().empty());
}

TEST(ScreenRoad, AProviderThatFailsAfterAcceptingGivesTheStartFaceBackWithTheReason) {
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    // The account host goes away once the start is under way: the provider cannot reach it.
    QObject::connect(road.tunnel.get(), &VPNTunnelManager::vpnStatusChanged, road.vc, [&](VpnStatus status) {
        if (status == VpnStatus::Connecting)
            road.account.reset();
    });
    road.vc->onTapButton(road.vc->startProxyButton());
    ASSERT_TRUE(waitUntil([&] { return road.delegate->lastVpnState() == 2; }, std::chrono::seconds(10)));
    ASSERT_TRUE(waitUntil([&] { return road.startFace(); }, std::chrono::seconds(15)));
    EXPECT_TRUE(waitUntil([&] { return road.toast().startsWith(QStringLiteral("加速失败：")); }))
        << road.toast().toStdString();
    EXPECT_LE(road.delegate->lastVpnState(), 1);
}

TEST(ScreenRoad, AnActivationThatNeedsApprovalDeclinedOrAllowed) {
    Road road(false); // the service waits for an approval
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    answerApprovalWith("declineButton");
    road.vc->onTapButton(road.vc->startProxyButton());
    EXPECT_TRUE(waitUntil([&] { return road.toast() == QStringLiteral("激活失败：网络扩展未获批准"); },
                          std::chrono::seconds(10)))
        << road.toast().toStdString();
    EXPECT_TRUE(road.startFace());

    answerApprovalWith("approveButton");
    road.vc->onTapButton(road.vc->startProxyButton());
    ASSERT_TRUE(waitUntil([&] { return road.delegate->lastVpnState() == 3; }, std::chrono::seconds(15)))
        << road.toast().toStdString();
    // The service keeps who approved, and when.
    QFile approvals(qEnvironmentVariable("XDG_STATE_HOME") +
                    QStringLiteral("/nimo/extensions/approvals.json"));
    ASSERT_TRUE(approvals.open(QIODevice::ReadOnly));
    const auto stored = nlohmann::json::parse(approvals.readAll().toStdString(), nullptr, false);
    EXPECT_TRUE(stored["records"][kTunnelBundleId].contains("at")) << stored.dump();
    EXPECT_TRUE(stored["records"][kTunnelBundleId].contains("uid")) << stored.dump();
}

TEST(ScreenRoad, TheClientStartedSignedInLoadsInOrderWithItsHeaders) {
    ServiceHarness service; // the temporary home the client runs in
    ASSERT_TRUE(service.start());
    LocalService account;
    const nlohmann::json fixture{{"demo", true}, {"tokens", {{"launch-token", devservice::kDemoEmail}}}};
    ASSERT_EQ(account.service().handle({"POST", "/admin/fixture", {}, {}, {}, {}, {}, fixture.dump()}).status,
              200);
    SettingsStore settings;
    ASSERT_TRUE(settings.set(keys::apiToken, "launch-token"));
    ASSERT_TRUE(settings.set(keys::lastOkHost, account.url()));

    QProcess client;
    ASSERT_TRUE(startClient(client));
    auto paths = [&] {
        std::vector<std::string> list;
        for (const auto& r : account.requests())
            list.push_back(r["path"]);
        return list;
    };
    auto at = [&](const std::vector<std::string>& list, const char* path) {
        auto it = std::find(list.begin(), list.end(), path);
        return it == list.end() ? -1L : long(it - list.begin());
    };
    const bool loaded = waitUntil(
        [&] {
            return at(paths(), "/api/customer/customerService/getSubscribeNodeList") >= 0 &&
                   settings.string(keys::lastAmount).has_value();
        },
        std::chrono::seconds(15));
    client.terminate();
    client.waitForFinished(5000);
    ASSERT_TRUE(loaded);
    const auto list = paths();
    EXPECT_GE(at(list, "/api/public/server/getPublicSetting"), 0);
    EXPECT_LT(at(list, "/api/customer/user/getUserInfo"),
              at(list, "/api/customer/customerService/getCustomerServiceList"));
    EXPECT_LT(at(list, "/api/customer/customerService/getCustomerServiceList"),
              at(list, "/api/customer/customerService/getSubscribeNodeList"));
    for (const auto& r : account.requests()) {
        EXPECT_TRUE(r["headers"].contains("version")) << r.dump();
        if (r["path"].get<std::string>().starts_with("/api/customer")) {
            EXPECT_EQ(r["headers"]["token"], "launch-token");
            EXPECT_EQ(r["headers"]["authorization"], "launch-token");
        }
    }
    // What the title strip shows: the account and the traffic left, kept in the settings.
    EXPECT_EQ(settings.string(keys::userAccount), devservice::kDemoEmail);
    EXPECT_EQ(settings.string(keys::lastAmount), "86.5 G");
}
