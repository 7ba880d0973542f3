#include "tunnel/VPNTunnelManager.h"

#include "NimoBuildConfig.h"
#include "TunnelTestSupport.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/ScreenContext.h"
#include "support/ScriptedTunnel.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelProtocol.h"
#include "tunnel/TunnelServiceClient.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;
using platform::LogChannel;
using platform::ScopedLogCapture;

namespace {

struct Outcome {
    bool done = false;
    bool ok = false;
    std::optional<std::string> message;
    VPNTunnelManager::Completion completion() {
        return [this](bool success, const std::optional<std::string>& text) {
            done = true;
            ok = success;
            message = text;
        };
    }
};

// Index of the first captured line containing fragment, or -1.
int indexOf(const ScopedLogCapture& log, const std::string& fragment) {
    const auto records = log.records();
    for (std::size_t i = 0; i < records.size(); ++i)
        if (records[i].line.find(fragment) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

int countOf(const ScopedLogCapture& log, const std::string& fragment) {
    int n = 0;
    for (const auto& r : log.records())
        n += r.line.find(fragment) != std::string::npos;
    return n;
}

TunnelServiceClient& client(VPNTunnelManager& manager) {
    return *manager.findChild<TunnelServiceClient*>();
}

// A round trip through the manager's own connection: everything sent before it has been answered.
void settle(VPNTunnelManager& manager) {
    bool answered = false;
    client(manager).request("status", {{"configuration", "-"}}, nullptr,
                            [&](const json&, const TunnelServiceClient::MaybeError&) { answered = true; });
    waitUntil([&] { return answered; });
}

// A service with the reference provider installed, an account host whose subscriptions "sub-1"
// and "sub-2" list two real loopback nodes, and a manager on them.
struct Rig {
    explicit Rig(bool autoApprove = true, bool installReference = true) : service(autoApprove) {
        ok = service.start() && host.ok();
        SettingsStore().set(UserDefaultsCacheKeys::lastOkHost, host.url());
        if (installReference) {
            RawClient raw(service.socketPath());
            ok = ok && install(raw, extensionPackage(packageRoot()));
        }
    }
    std::unique_ptr<VPNTunnelManager> makeManager(const std::string& root = packageRoot()) {
        auto m = std::make_unique<VPNTunnelManager>(service.setup(root));
        m->setOnVpnStatusChange(&owner, [this](VpnStatus s) { heard.push_back(s); });
        return m;
    }
    bool start(VPNTunnelManager& m) {
        Outcome out;
        m.startVPN(nullptr, out.completion());
        return waitUntil([&] { return out.done; }) && out.ok &&
               waitUntil([&] { return m.vpnStatus() == VpnStatus::Connected; });
    }
    ServiceHarness service;
    NodeRoad host;
    QObject owner;
    std::vector<VpnStatus> heard;
    bool ok = false;
};

const json kOwnProtocol = {{"type", "tunnel-provider"},
                           {"providerBundleIdentifier", "com.nimomac.qn.sysne"},
                           {"serverAddress", "127.0.0.1"},
                           {"disconnectOnSleep", false},
                           {"providerConfiguration", {{"keep", 1}}}};

} // namespace

TEST(VPNTunnelManager, FirstStartCreatesSavesReloadsThenAMatchingConfigurationStartsWithoutSaving) {
    Rig rig;
    ASSERT_TRUE(rig.ok);
    auto manager = rig.makeManager();
    ScopedLogCapture log;
    Outcome out;
    manager->startVPN(nullptr, out.completion());
    ASSERT_TRUE(waitUntil([&] { return out.done; }));
    EXPECT_TRUE(out.ok);
    EXPECT_FALSE(out.message);
    const int saved = indexOf(log, "VPN配置保存成功");
    ASSERT_GE(saved, 0);
    EXPECT_GT(indexOf(log, "VPN配置重新加载成功"), saved);
    ASSERT_TRUE(manager->tunnelManager());
    const TunnelConfiguration& c = *manager->tunnelManager();
    EXPECT_FALSE(c.identifier.empty());
    EXPECT_EQ(c.localizedDescription, "NimoMac.QnSysTun");
    EXPECT_EQ(c.enabled, true);
    EXPECT_EQ(c.onDemandEnabled, false);
    EXPECT_EQ(c.protocol->serverAddress, "127.0.0.1");
    EXPECT_EQ(c.protocol->disconnectOnSleep, false);
    EXPECT_EQ(c.protocol->providerConfiguration, json::object());
    ASSERT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Connected; }));
    EXPECT_NE(std::find(rig.heard.begin(), rig.heard.end(), VpnStatus::Connecting), rig.heard.end());
    EXPECT_TRUE(log.contains("VPN状态变更：已连接"));

    // Stopped and started again: the stored configuration matches, nothing is saved.
    ASSERT_TRUE(stopUntilDown(*manager));
    log.clear();
    EXPECT_TRUE(rig.start(*manager));
    EXPECT_TRUE(log.contains("找到已存在的VPN配置"));
    EXPECT_FALSE(log.contains("VPN配置保存成功"));
}

TEST(VPNTunnelManager, ADamagedConfigurationIsRepairedAndTheFirstOwnOneIsUsed) {
    struct Case {
        const char* name;
        json configuration;
    };
    auto own = [](json protocolChanges, json changes) {
        json c = {{"protocol", kOwnProtocol},
                  {"localizedDescription", "NimoMac.QnSysTun"},
                  {"enabled", true},
                  {"onDemandEnabled", true}};
        c["protocol"].update(protocolChanges);
        c.update(changes);
        return c;
    };
    const std::vector<Case> cases = {
        {"server address", own({{"serverAddress", "10.0.0.1"}}, json::object())},
        {"no server address", own(json::object(), json::object())},
        {"disconnect on sleep", own({{"disconnectOnSleep", true}}, json::object())},
        {"disabled", own(json::object(), {{"enabled", false}})},
        {"description", own(json::object(), {{"localizedDescription", "Other"}})},
    };
    for (const auto& c : cases) {
        Rig rig;
        ASSERT_TRUE(rig.ok) << c.name;
        RawClient raw(rig.service.socketPath());
        json stored = c.configuration;
        if (std::string(c.name) == "no server address")
            stored["protocol"].erase("serverAddress");
        const std::string id = saveConfiguration(raw, stored);
        auto manager = rig.makeManager();
        ScopedLogCapture log;
        EXPECT_TRUE(rig.start(*manager)) << c.name;
        EXPECT_TRUE(log.contains("VPN配置保存成功")) << c.name;
        EXPECT_EQ(manager->tunnelManager()->identifier, id) << c.name;
        auto reloaded =
            raw.request({{"op", "load"}, {"application", build::kBundleId}, {"configuration", id}});
        ASSERT_TRUE(reloaded) << c.name;
        const json& r = (*reloaded)["result"]["configuration"];
        EXPECT_EQ(r["protocol"]["serverAddress"], "127.0.0.1") << c.name;
        EXPECT_EQ(r["protocol"]["disconnectOnSleep"], false) << c.name;
        EXPECT_EQ(r["enabled"], true) << c.name;
        EXPECT_EQ(r["localizedDescription"], "NimoMac.QnSysTun") << c.name;
        // Repair keeps what it does not own.
        EXPECT_EQ(r["protocol"]["providerConfiguration"]["keep"], 1) << c.name;
        EXPECT_EQ(r["onDemandEnabled"], true) << c.name;
    }

    // Others' configurations are skipped; the first own one wins and is used unchanged.
    Rig rig;
    ASSERT_TRUE(rig.ok);
    RawClient raw(rig.service.socketPath());
    saveConfiguration(raw, {{"protocol", {{"type", "ipsec"}}}, {"enabled", true}});
    saveConfiguration(raw,
                      {{"protocol", {{"type", "tunnel-provider"}, {"providerBundleIdentifier", "x.y"}}}});
    saveConfiguration(raw, {{"localizedDescription", "no protocol"}});
    const std::string first = saveConfiguration(raw, own(json::object(), json::object()));
    saveConfiguration(raw, own(json::object(), json::object()));
    auto manager = rig.makeManager();
    ScopedLogCapture log;
    EXPECT_TRUE(rig.start(*manager));
    EXPECT_EQ(manager->tunnelManager()->identifier, first);
    EXPECT_FALSE(log.contains("VPN配置保存成功"));
}

TEST(VPNTunnelManager, StartOptionsComeFromTheSharedContainerWithDefaultsAndADeadHostFailsTheStart) {
    Rig rig;
    ASSERT_TRUE(rig.ok);
    SettingsStore().remove(UserDefaultsCacheKeys::lastOkHost);
    NimoShared::shared().set(false, kSharedSubUuid); // not a text: none stored
    auto manager = rig.makeManager();
    ScopedLogCapture log;
    Outcome out;
    manager->startVPN(nullptr, out.completion());
    ASSERT_TRUE(waitUntil([&] { return out.done; }));
    EXPECT_TRUE(out.ok);
    const std::string expected = std::string("-----开始启动VPN隧道:[\"subuuid\": \"\", \"host\": \"") +
                                 build::kDefaultTunnelHost + "\", \"nodeName\": \"\", \"tunMode\": \"rule\"]";
    EXPECT_EQ(log.lines(LogChannel::Console), std::vector<std::string>{expected});
    RawClient raw(rig.service.socketPath());
    auto status = raw.request({{"op", "status"}, {"configuration", manager->tunnelManager()->identifier}});
    ASSERT_TRUE(status);
    EXPECT_EQ(
        (*status)["result"]["options"],
        json({{"subuuid", ""}, {"host", build::kDefaultTunnelHost}, {"nodeName", ""}, {"tunMode", "rule"}}));
    // The default host does not answer here: the provider gives up and the tunnel is down.
    EXPECT_TRUE(
        waitUntil([&] { return manager->vpnStatus() == VpnStatus::Disconnected; }, std::chrono::seconds(10)));
    EXPECT_EQ(rig.heard.back(), VpnStatus::Disconnected);

    // Stored values are used, and the provider sees them.
    NimoShared::shared().set(std::string("sub-1"), kSharedSubUuid);
    NimoShared::shared().set(std::string("节点A"), kSharedNodeName);
    NimoShared::shared().set(std::string("global"), kSharedTunMode);
    SettingsStore().set(UserDefaultsCacheKeys::lastOkHost, rig.host.url());
    EXPECT_TRUE(rig.start(*manager));
    log.clear();
    manager->sendMessage("Hello");
    ASSERT_TRUE(
        waitUntil([&] { return log.contains("Success to send a message[Hello], response=Optional("); }));
    const std::string line = log.lines(LogChannel::Stdout).back();
    EXPECT_NE(line.find("Hello from com.nimomac.qn.sysne 1.0.0"), std::string::npos) << line;
    EXPECT_NE(line.find("\"nodeName\":\"节点A\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"subscribed\":true"), std::string::npos) << line; // never the identifier
    EXPECT_EQ(line.find("sub-1"), std::string::npos) << line;
    EXPECT_NE(line.find("\"tunMode\":\"global\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"host\":\"" + rig.host.url() + "\""), std::string::npos) << line;

    // Messages change the running provider's state.
    const std::pair<std::string, std::string> messages[] = {{"switchNode.节点B", "switchNode.节点B"},
                                                            {"tunMode.rule", "tunMode.rule"},
                                                            {"subuuid.sub-2", "subuuid.<redacted>"}};
    for (const auto& [message, shown] : messages) {
        log.clear();
        manager->sendMessage(message);
        ASSERT_TRUE(waitUntil([&] { return log.contains("Success to send a message[" + shown + "]"); }));
        EXPECT_TRUE(log.contains("\"ack\":\"" + shown + "\"")) << log.lines(LogChannel::Stdout).back();
        EXPECT_FALSE(log.contains("sub-2")) << log.lines(LogChannel::Stdout).back();
    }
    log.clear();
    manager->sendMessage("Hello");
    ASSERT_TRUE(waitUntil([&] { return log.contains("Success to send a message[Hello]"); }));
    EXPECT_TRUE(log.contains("\"node\":\"节点B\""));
    EXPECT_TRUE(log.contains("\"nodeName\":\"节点B\""));
    EXPECT_TRUE(log.contains("\"tunMode\":\"rule\""));
    EXPECT_FALSE(log.contains("sub-2"));
}

TEST(VPNTunnelManager, StopReportsSuccessOnlyWhenDisconnectedHalfASecondLater) {
    Rig rig(true, false);
    ASSERT_TRUE(rig.ok);
    auto manager = rig.makeManager();
    Outcome nothing;
    manager->stopVPN(nullptr, nothing.completion());
    ASSERT_TRUE(waitUntil([&] { return nothing.done; }));
    EXPECT_FALSE(nothing.ok);
    EXPECT_EQ(nothing.message, "未找到已加载的VPN配置");

    // The test provider answers "slowstop" by taking 2 s to disconnect.
    RawClient raw(rig.service.socketPath());
    ASSERT_TRUE(install(raw, extensionPackage(testPackageRoot())));
    ASSERT_TRUE(rig.start(*manager));
    ScopedLogCapture log;
    Outcome stopped;
    manager->stopVPN(nullptr, stopped.completion());
    EXPECT_EQ(manager->vpnStatus(), VpnStatus::Disconnecting);
    ASSERT_TRUE(waitUntil([&] { return stopped.done; }));
    EXPECT_TRUE(stopped.ok);
    EXPECT_TRUE(log.contains("开始停止VPN隧道..."));
    EXPECT_EQ(log.lines(LogChannel::Stdout), std::vector<std::string>{"doStop>停止VPN成功：1"});

    ASSERT_TRUE(rig.start(*manager));
    manager->sendMessage("slowstop");
    ASSERT_TRUE(waitUntil([&] { return log.contains("Success to send a message[slowstop]"); }));
    Outcome slow;
    manager->stopVPN(nullptr, slow.completion());
    ASSERT_TRUE(waitUntil([&] { return slow.done; }));
    EXPECT_FALSE(slow.ok);
    EXPECT_EQ(slow.message, "停止VPN失败，当前状态：5");
    EXPECT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Disconnected; }));

    // A manager that never loaded the configuration finds it first; stopping a tunnel that is
    // already down reports success instead of leaving the status at "disconnecting".
    auto fresh = rig.makeManager();
    ASSERT_TRUE(waitUntil([&] { return fresh->vpnStatus() == VpnStatus::Disconnected; }));
    Outcome again;
    fresh->stopVPN(nullptr, again.completion());
    ASSERT_TRUE(waitUntil([&] { return again.done; }));
    EXPECT_TRUE(again.ok);
    EXPECT_TRUE(fresh->tunnelManager());

    // A completion whose context is gone is not called.
    QObject* context = new QObject;
    bool called = false;
    fresh->stopVPN(context, [&](bool, const std::optional<std::string>&) { called = true; });
    delete context;
    settle(*fresh);
    waitUntil([] { return false; }, std::chrono::milliseconds(700));
    EXPECT_FALSE(called);
}

TEST(VPNTunnelManager, TheTunnelOutlivesItsClientAndTheClientNoticesALostService) {
    Rig rig;
    ASSERT_TRUE(rig.ok);
    auto first = rig.makeManager();
    ASSERT_TRUE(rig.start(*first));
    first.reset();
    auto second = rig.makeManager();
    EXPECT_TRUE(waitUntil([&] { return second->vpnStatus() == VpnStatus::Connected; }));
    const qint64 oldService = client(*second).servicePid();
    ASSERT_EQ(oldService, rig.service.servicePid());

    RawClient raw(rig.service.socketPath());
    auto list = raw.request({{"op", "loadAll"}, {"application", build::kBundleId}});
    const std::string id = (*list)["result"]["configurations"][0]["identifier"];
    const qint64 provider =
        (*raw.request({{"op", "status"}, {"configuration", id}}))["result"]["providerPid"];

    rig.heard.clear();
    QElapsedTimer clock;
    clock.start();
    rig.service.killService(SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !rig.heard.empty(); }, std::chrono::seconds(1)));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(rig.heard.back(), VpnStatus::Invalid);
    EXPECT_EQ(second->vpnStatus(), VpnStatus::Invalid);
    EXPECT_TRUE(waitUntil([&] { return !processAlive(provider); }));

    // The next request starts the service again; the stored configuration is still there.
    second->sendMessage("Hello");
    ASSERT_TRUE(waitUntil([&] { return client(*second).servicePid() != 0; }));
    rig.service.adopt(client(*second).servicePid());
    EXPECT_NE(client(*second).servicePid(), oldService);
    EXPECT_TRUE(waitUntil([&] { return second->vpnStatus() == VpnStatus::Disconnected; }));
}

TEST(VPNTunnelManager, MessagesAndStatusReports) {
    Rig rig;
    ASSERT_TRUE(rig.ok);
    auto manager = rig.makeManager();
    ScopedLogCapture log;
    // No configuration: nothing is sent and nothing is written.
    manager->sendMessage("Hello");
    settle(*manager);
    EXPECT_TRUE(log.lines(LogChannel::Stdout).empty());

    // Disconnected: the send is attempted; no provider runs, so no reply and no line.
    RawClient raw(rig.service.socketPath());
    saveConfiguration(raw, {{"protocol", kOwnProtocol}, {"enabled", true}});
    manager->sendMessage("Hello");
    settle(*manager);
    settle(*manager);
    EXPECT_TRUE(log.lines(LogChannel::Stdout).empty());
}

// Any new status reaches the listener once, also one without a name; a repeated one does not; a
// listener whose owner is gone is not called.
TEST(VPNTunnelManager, EveryChangeOfStatusReachesTheListenerOnce) {
    TempXdg xdg;
    ScriptedTunnel* script = nullptr;
    auto manager = scriptedManager(quietTunnelSetup(xdg), script);
    ScopedLogCapture log;
    std::vector<int> heard;
    QObject listener;
    manager->setOnVpnStatusChange(&listener, [&](VpnStatus s) { heard.push_back(static_cast<int>(s)); });
    int changes = 0;
    QObject::connect(manager.get(), &VPNTunnelManager::vpnStatusChanged, [&] { ++changes; });
    for (int status : {7, 7, 1, 1, 3})
        script->report(status);
    EXPECT_EQ(heard, (std::vector<int>{7, 1, 3}));
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(countOf(log, "VPN状态变更："), 3);
    EXPECT_TRUE(log.contains("VPN状态变更：未知状态"));
    auto* owner = new QObject;
    int calls = 0;
    manager->setOnVpnStatusChange(owner, [&](VpnStatus) { ++calls; });
    script->report(1);
    delete owner;
    script->report(3);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(manager->vpnStatus(), VpnStatus::Connected);
}

TEST(VPNTunnelManager, ActivationChecksThePackageAndTheStatusBeforeAsking) {
    Rig rig(true, false);
    ASSERT_TRUE(rig.ok);
    QTemporaryDir empty;
    auto missing = rig.makeManager(empty.path().toStdString());
    ScopedLogCapture log;
    std::optional<bool> submitted;
    missing->activateExtension([&](bool s) { submitted = s; });
    ASSERT_TRUE(submitted);
    EXPECT_FALSE(*submitted);
    const auto out = log.lines(LogChannel::Stdout);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "extenstionPath: " + missing->extensionPackagePath());
    EXPECT_EQ(out[1], "扩展包路径不存在：" + missing->extensionPackagePath());

    // An older version is installed: the replacement is logged with both versions, then the tunnel starts.
    RawClient raw(rig.service.socketPath());
    ASSERT_TRUE(install(raw, extensionPackage(testPackageRoot())));
    auto manager = rig.makeManager();
    log.clear();
    submitted.reset();
    manager->activateExtension([&](bool s) { submitted = s; });
    ASSERT_TRUE(submitted);
    EXPECT_TRUE(*submitted);
    EXPECT_TRUE(log.contains("vpnStatus=0"));
    ASSERT_TRUE(waitUntil([&] { return log.contains("startVPN启动请求已成功发送！"); }));
    EXPECT_TRUE(log.contains(std::string("替换旧版 Extension：") + kTestProviderVersion + " → 1.0.0"));
    EXPECT_LT(indexOf(log, "替换旧版"), indexOf(log, "Extension 激活成功，开始启动 VPN"));
    ASSERT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Connected; }));

    // Running: nothing is submitted.
    log.clear();
    submitted.reset();
    manager->activateExtension([&](bool s) { submitted = s; });
    EXPECT_EQ(submitted, false);
    settle(*manager);
    for (const auto& r : log.records())
        EXPECT_EQ(r.line.find("Extension "), std::string::npos) << r.line;
    EXPECT_EQ(countOf(log, "vpnStatus=3"), 1);
}

TEST(VPNTunnelManager, ActivationOutcomesThatDoNotStart) {
    Rig rig(true, false);
    ASSERT_TRUE(rig.ok);
    std::vector<QString> failures;
    QObject observer;
    platform::NotificationCenter::defaultCenter().addObserver(
        &observer, NOTIFY_VPNActivation_Failed, [&](const QVariant& v) { failures.push_back(v.toString()); });

    // Will complete later: an error line, no start, nothing posted.
    auto manager = rig.makeManager();
    ScopedLogCapture log;
    manager->requestDidFinishWithResult(1);
    settle(*manager);
    EXPECT_TRUE(log.contains("Extension 激活异常： 1"));
    EXPECT_FALSE(log.contains("VPN配置保存成功"));
    EXPECT_TRUE(failures.empty());
    RawClient raw(rig.service.socketPath());
    EXPECT_TRUE(
        (*raw.request({{"op", "loadAll"}, {"application", build::kBundleId}}))["result"]["configurations"]
            .empty());

    // A broken package fails the activation, which is posted without the log's "Extension " prefix.
    QTemporaryDir root;
    const std::string broken = extensionPackage(root.path().toStdString());
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(broken + "/Contents")));
    auto brokenManager = rig.makeManager(root.path().toStdString());
    brokenManager->activateExtension({});
    ASSERT_TRUE(waitUntil([&] { return !failures.empty(); }));
    const std::string text = "激活失败：扩展包缺少 Contents/Info.json：" + broken;
    EXPECT_EQ(failures.back().toStdString(), text);
    EXPECT_TRUE(log.contains("Extension 激活失败：" + text + "（错误码：11）"));

    // Activation succeeds but the configuration cannot be saved: the start failure is posted.
    const QString file =
        QString::fromStdString(rig.service.xdg().path("XDG_STATE_HOME") + "/nimo/configurations.json");
    QFile::remove(file);
    ASSERT_TRUE(QDir().mkpath(file)); // a folder where the file should go
    failures.clear();
    manager->activateExtension({});
    ASSERT_TRUE(waitUntil([&] { return !failures.empty(); }));
    const std::string posted = failures.back().toStdString();
    EXPECT_EQ(posted.rfind("保存VPN配置失败：", 0), 0u) << posted;
    EXPECT_NE(posted.find(" | 错误域：nimo-tunneld | 错误码：5"), std::string::npos) << posted;
    EXPECT_TRUE(log.contains("VPN启动失败：" + posted));
    EXPECT_EQ(manager->vpnStatus(), VpnStatus::Invalid);
}

TEST(VPNTunnelManager, FirstInstallationWaitsForApproval) {
    Rig rig(/*autoApprove=*/false, /*installReference=*/false);
    ASSERT_TRUE(rig.ok);
    auto manager = rig.makeManager();
    ScopedLogCapture log;
    // The manager only asks; the application shows the alert.
    QStringList asked;
    QObject::connect(manager.get(), &VPNTunnelManager::approvalNeeded,
                     [&](const QString& informative) { asked << informative; });
    manager->activateExtension({});
    ASSERT_TRUE(waitUntil([&] { return !asked.isEmpty(); }));
    EXPECT_EQ(asked, QStringList{VPNTunnelManager::approvalInformativeText(QVersionNumber(12))});
    EXPECT_TRUE(log.contains(
        "需要用户授权：请打开「系统设置→隐私与安全性」，找到“来自开发者XXX的系统扩展”并点击允许"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(log.contains("Extension 激活成功"));

    QProcess approve;
    approve.start(QString::fromStdString(rig.service.serviceExecutable()),
                  {"approve", "com.nimomac.qn.sysne"});
    ASSERT_TRUE(approve.waitForFinished(5000));
    EXPECT_EQ(approve.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Connected; }));
    EXPECT_TRUE(log.contains("Extension 激活成功，开始启动 VPN"));
}

TEST(VPNTunnelManager, ApprovalTextFollowsTheSystemVersion) {
    const QString older = "请打开「系统设置→隐私与安全性」，向下滚动找到“扩展”区域，点击“添加的扩展”项目中，"
                          "找到NimoMac“允许”以激活网络扩展";
    const QString newer = "请打开「系统设置→通用」，找到“登录项与扩展”区域，向下滚动找到“扩展”区域，点击网络"
                          "扩展,找到NimoMac“允许”以激活网络扩展";
    const std::vector<std::pair<QVersionNumber, QString>> cases = {{QVersionNumber(12), older},
                                                                   {QVersionNumber(14, 7, 1), older},
                                                                   {QVersionNumber(15), newer},
                                                                   {QVersionNumber(15, 0, 1), newer},
                                                                   {QVersionNumber(26), newer}};
    for (const auto& [version, text] : cases)
        EXPECT_EQ(VPNTunnelManager::approvalInformativeText(version), text)
            << version.toString().toStdString();
}

// The service went away and came back (a crash, a restart by systemd): the running client shows it
// unreachable meanwhile and, once it is back, subscribes again and shows a fresh status without
// anyone asking.
TEST(VPNTunnelManager, ComesBackToARestartedServiceWithAFreshStatus) {
    Rig rig;
    ASSERT_TRUE(rig.ok);
    auto manager = rig.makeManager();
    ASSERT_TRUE(rig.start(*manager));
    rig.service.killService(SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Invalid; }));
    ASSERT_TRUE(rig.service.start());
    EXPECT_TRUE(
        waitUntil([&] { return manager->vpnStatus() == VpnStatus::Disconnected; }, std::chrono::seconds(8)));
    EXPECT_EQ(client(*manager).servicePid(), rig.service.servicePid()); // found, not started anew
}

// A stop that the service does not answer says so, whether the configuration was known already or
// had to be loaded first.
TEST(VPNTunnelManager, AStopTheServiceDoesNotAnswerIsReportedAsSuch) {
    struct Case {
        const char* name;
        bool knownConfiguration;
    };
    for (const Case c : {Case{"configuration known", true}, Case{"configuration to load", false}}) {
        Rig rig;
        ASSERT_TRUE(rig.ok);
        auto setup = rig.service.setup();
        setup.requestTimeoutMs = 500;
        auto starter = rig.makeManager();
        ASSERT_TRUE(rig.start(*starter));
        auto manager = c.knownConfiguration ? std::move(starter) : std::make_unique<VPNTunnelManager>(setup);
        ASSERT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Connected; }));
        ::kill(static_cast<pid_t>(rig.service.servicePid()), SIGSTOP);
        Outcome out;
        manager->stopVPN(nullptr, out.completion());
        EXPECT_TRUE(waitUntil([&] { return out.done; }, std::chrono::seconds(3))) << c.name;
        ::kill(static_cast<pid_t>(rig.service.servicePid()), SIGCONT);
        EXPECT_FALSE(out.ok) << c.name;
        ASSERT_TRUE(out.message) << c.name;
        EXPECT_EQ(out.message->rfind("隧道服务没有应答", 0), 0u) << c.name << ": " << *out.message;
    }
}

// A tunnel that ends by itself reaches the client with the reason the service recorded, once; the
// user's own stop is no failure.
TEST(VPNTunnelManager, ADroppedTunnelIsReportedOnceWithItsReason) {
    Rig rig;
    ASSERT_TRUE(rig.ok);
    auto manager = rig.makeManager();
    QStringList reasons;
    QObject::connect(manager.get(), &VPNTunnelManager::tunnelFailed, [&](const QString& r) { reasons << r; });
    ASSERT_TRUE(rig.start(*manager));
    RawClient raw(rig.service.socketPath());
    const std::string id = manager->tunnelManager()->identifier;
    const qint64 provider =
        (*raw.request({{"op", "status"}, {"configuration", id}}))["result"]["providerPid"];
    ::kill(static_cast<pid_t>(provider), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return manager->vpnStatus() == VpnStatus::Disconnected; }));
    settle(*manager);
    EXPECT_EQ(reasons, QStringList{"隧道提供者异常退出"});
    EXPECT_EQ(manager->lastFailureReason(), "隧道提供者异常退出");

    reasons.clear();
    ASSERT_TRUE(rig.start(*manager));
    ASSERT_TRUE(stopUntilDown(*manager));
    settle(*manager);
    EXPECT_TRUE(reasons.isEmpty()) << reasons.join(',').toStdString();
}
