// The tunnel carrying traffic, below the screens: the client signs in to the local account service
// and starts its tunnel through the real tunnel service, whose provider fetches the subscription's
// server list and runs its transport through real loopback nodes (ss-server) to a loopback target.
#include "LoopbackNodes.h"
#include "ServiceServers.h"
#include "TrafficSupport.h"
#include "TunnelTestSupport.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <fstream>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

constexpr const char* kProxy = "org.gnome.system.proxy";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The process's children, from /proc.
std::vector<qint64> childrenOf(qint64 pid) {
    std::vector<qint64> out;
    std::istringstream in(
        readAll("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (qint64 child; in >> child;)
        out.push_back(child);
    return out;
}

// One tunnel road: the tunnel service with the GNOME settings in a keyfile under the temporary
// config folder, the account service with the given servers, the client signed in.
class TrafficRoad : public ::testing::Test {
protected:
    void SetUp() override {
        hadBackend_ = qEnvironmentVariableIsSet("GSETTINGS_BACKEND");
        savedBackend_ = qgetenv("GSETTINGS_BACKEND");
        qputenv("GSETTINGS_BACKEND", "keyfile");
        service_ = std::make_unique<ServiceHarness>();
        ASSERT_TRUE(service_->start());
        settings_ = std::make_unique<SettingsStore>(); // in the temporary folders
        ASSERT_TRUE(settings_->set(keys::lastOkHost, account_.url()));
        // What the user had before: a manual HTTP proxy of their own.
        ASSERT_TRUE(gsettingsSet(kProxy, "mode", "'manual'"));
        ASSERT_TRUE(gsettingsSet("org.gnome.system.proxy.http", "host", "'corp-proxy.example'"));
        ASSERT_TRUE(gsettingsSet("org.gnome.system.proxy.http", "port", "3128"));
        before_ = desktopSettings();
    }
    void TearDown() override {
        tunnel_.reset();
        settings_.reset();
        service_.reset();
        if (hadBackend_)
            qputenv("GSETTINGS_BACKEND", savedBackend_);
        else
            qunsetenv("GSETTINGS_BACKEND");
    }

    std::vector<std::string> desktopSettings() const {
        return {gsettingsGet(kProxy, "mode"),
                gsettingsGet(kProxy, "autoconfig-url"),
                gsettingsGet(kProxy, "ignore-hosts"),
                gsettingsGet("org.gnome.system.proxy.http", "host"),
                gsettingsGet("org.gnome.system.proxy.http", "port"),
                gsettingsGet("org.gnome.system.proxy.socks", "host"),
                gsettingsGet("org.gnome.system.proxy.socks", "port")};
    }

    // Signs in and starts the tunnel on nodeName in mode; waits until the start has ended.
    VPNTunnelManager& connect(const std::vector<nlohmann::json>& servers, const std::string& nodeName,
                              const std::string& mode) {
        account_.service().setServers(nlohmann::json(servers));
        const auto record = signInAndSubscribe(*settings_);
        subuuid_ = record && record->subUuid ? *record->subUuid : std::string();
        NimoShared::shared().set(nodeName, kSharedNodeName);
        NimoShared::shared().set(mode, kSharedTunMode);
        tunnel_ = std::make_unique<VPNTunnelManager>(service_->setup());
        failures_.clear();
        QObject::connect(tunnel_.get(), &VPNTunnelManager::tunnelFailed,
                         [this](const QString& reason) { failures_.push_back(reason.toStdString()); });
        tunnel_->activateExtension([](bool) {});
        waitUntil([&] { return tunnel_->vpnStatus() == VpnStatus::Connecting; }, std::chrono::seconds(10));
        waitUntil([&] { return tunnel_->vpnStatus() != VpnStatus::Connecting; }, std::chrono::seconds(25));
        return *tunnel_;
    }

    nlohmann::json status() {
        RawClient client(service_->socketPath());
        auto all = client.request({{"op", "loadAll"}, {"application", "com.nimomac.qn"}});
        if (!all || (*all)["result"]["configurations"].empty())
            return {};
        const std::string id = (*all)["result"]["configurations"][0].value("identifier", "");
        auto answer = client.request({{"op", "status"}, {"configuration", id}});
        return answer ? (*answer)["result"] : nlohmann::json();
    }

    int socksPort() const {
        const std::string port = gsettingsGet("org.gnome.system.proxy.socks", "port");
        return port.empty() ? 0 : std::stoi(port);
    }

    bool hadBackend_ = false;
    QByteArray savedBackend_;
    std::unique_ptr<ServiceHarness> service_;
    LocalService account_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<VPNTunnelManager> tunnel_;
    std::vector<std::string> failures_; // what tunnelFailed told, in order
    std::string subuuid_;
    std::vector<std::string> before_;
};

TEST_F(TrafficRoad, GlobalThenRuleThroughTwoNodesSwitchingWithoutDroppingThenStop) {
    devservice::LoopbackNode nodeA("香港 01", "127.0.0.2"), nodeB("香港 02", "127.0.0.3");
    std::string error;
    ASSERT_TRUE(nodeA.start(&error)) << error;
    ASSERT_TRUE(nodeB.start(&error)) << error;
    TrafficTarget target;
    platform::ScopedLogCapture log;

    VPNTunnelManager& tunnel = connect({nodeA.serverEntry(), nodeB.serverEntry()}, "香港 01", "global");
    ASSERT_EQ(tunnel.vpnStatus(), VpnStatus::Connected) << status().dump();
    std::vector<VpnStatus> seen;
    QObject watcher;
    QObject::connect(&tunnel, &VPNTunnelManager::vpnStatusChanged, &watcher,
                     [&](VpnStatus s) { seen.push_back(s); });

    // Global mode: the desktop's proxy is the SOCKS5 port, all but loopback and private ranges.
    EXPECT_EQ(gsettingsGet(kProxy, "mode"), "'manual'");
    EXPECT_EQ(gsettingsGet("org.gnome.system.proxy.socks", "host"), "'127.0.0.1'");
    EXPECT_EQ(gsettingsGet("org.gnome.system.proxy.http", "host"), "''");
    const std::string ignored = gsettingsGet(kProxy, "ignore-hosts");
    for (const char* range : {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16"})
        EXPECT_NE(ignored.find(range), std::string::npos) << ignored;
    const int port = socksPort();
    ASSERT_GT(port, 0);
    const std::string env = readAll(service_->xdg().path("XDG_RUNTIME_DIR") + "/nimo/proxy.env");
    EXPECT_NE(env.find("ALL_PROXY=socks5h://127.0.0.1:" + std::to_string(port)), std::string::npos) << env;

    // Traffic flows through node A: the target sees node A's address.
    EXPECT_EQ(fetch(target.url(), port), "127.0.0.2");

    // Node B: new requests go through it, and the status never leaves connected.
    NimoShared::shared().set(std::string("香港 02"), kSharedNodeName);
    tunnel.sendMessage("switchNode.香港 02");
    EXPECT_TRUE(
        waitUntil([&] { return fetch(target.url(), port, 1000) == "127.0.0.3"; }, std::chrono::seconds(15)));
    EXPECT_EQ(tunnel.vpnStatus(), VpnStatus::Connected);
    EXPECT_TRUE(seen.empty()) << "status changed during the switch";

    // Rule mode in place: a PAC file on 127.0.0.1 sends loopback, private and listed names direct.
    tunnel.sendMessage("tunMode.rule");
    ASSERT_TRUE(
        waitUntil([&] { return gsettingsGet(kProxy, "mode") == "'auto'"; }, std::chrono::seconds(10)));
    std::string pacUrl = gsettingsGet(kProxy, "autoconfig-url");
    ASSERT_GE(pacUrl.size(), 2u);
    pacUrl = pacUrl.substr(1, pacUrl.size() - 2);
    EXPECT_EQ(pacUrl.rfind("http://127.0.0.1:", 0), 0u) << pacUrl;
    const auto pac = fetch(pacUrl, 0);
    ASSERT_TRUE(pac);
    const std::string proxy =
        "SOCKS5 127.0.0.1:" + std::to_string(port) + "; SOCKS 127.0.0.1:" + std::to_string(port);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"127.0.0.1", "DIRECT"},  {"192.168.1.20", "DIRECT"}, {"10.1.2.3", "DIRECT"},
        {"172.20.0.1", "DIRECT"}, {"172.32.0.1", proxy},      {"localhost", "DIRECT"},
        {"intranet", "DIRECT"},   {"[::1]", "DIRECT"},        {"www.baidu.com", "DIRECT"},
        {"news.cn", "DIRECT"},    {"notbaidu.com", proxy},    {"www.example.com", proxy},
        {"8.8.8.8", proxy},       {"WWW.EXAMPLE.ORG", proxy}};
    std::vector<std::string> hosts;
    for (const auto& [host, expected] : cases)
        hosts.push_back(host);
    const auto decisions = pacDecisions(*pac, hosts);
    ASSERT_EQ(decisions.size(), cases.size()) << *pac;
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(decisions[i], cases[i].second) << cases[i].first;
    EXPECT_EQ(fetch(target.url(), port), "127.0.0.3"); // the port itself still carries everything

    // The command line says what the menu says.
    auto [statusText, statusCode] = service_->command({"status"});
    EXPECT_EQ(statusCode, 0);
    EXPECT_NE(statusText.find("状态：已连接 (3)"), std::string::npos) << statusText;
    EXPECT_NE(statusText.find("菜单：" + statusMenuText(3)), std::string::npos) << statusText;
    EXPECT_NE(statusText.find("节点：香港 02"), std::string::npos) << statusText; // where it runs now
    EXPECT_NE(statusText.find("模式：PAC"), std::string::npos) << statusText;
    EXPECT_NE(statusText.find("SOCKS5：127.0.0.1:" + std::to_string(port)), std::string::npos) << statusText;
    auto [listText, listCode] = service_->command({"list"});
    EXPECT_EQ(listCode, 0);
    EXPECT_NE(listText.find("NimoMac.QnSysTun"), std::string::npos) << listText;

    // No secret in a log line, a command line, an environment or a status answer.
    const qint64 provider = status().value("providerPid", 0);
    ASSERT_GT(provider, 0);
    std::vector<qint64> processes = {provider, service_->servicePid()};
    for (qint64 child : childrenOf(provider))
        processes.push_back(child);
    EXPECT_EQ(processes.size(), 3u); // the transport helper runs beside the provider
    const std::string nodePassword = nodeA.serverEntry()["password"];
    for (qint64 pid : processes)
        for (const char* file : {"cmdline", "environ"}) {
            const std::string text = readAll("/proc/" + std::to_string(pid) + "/" + file);
            EXPECT_EQ(text.find(nodePassword), std::string::npos) << pid << " " << file;
            EXPECT_EQ(text.find(subuuid_), std::string::npos) << pid << " " << file;
        }
    const std::string answer = status().dump();
    EXPECT_EQ(answer.find(subuuid_), std::string::npos) << answer;
    EXPECT_EQ(statusText.find(subuuid_), std::string::npos);

    // Stop from the command line: the port closes and the desktop is as it was.
    auto [stopText, stopCode] = service_->command({"stop"});
    EXPECT_EQ(stopCode, 0) << stopText;
    EXPECT_TRUE(waitUntil([&] { return tunnel.vpnStatus() == VpnStatus::Disconnected; }));
    EXPECT_FALSE(portOpen(port));
    EXPECT_EQ(desktopSettings(), before_);
    EXPECT_FALSE(
        QFile::exists(QString::fromStdString(service_->xdg().path("XDG_RUNTIME_DIR") + "/nimo/proxy.env")));
    auto [afterText, afterCode] = service_->command({"status"});
    EXPECT_NE(afterText.find("菜单：" + statusMenuText(1)), std::string::npos) << afterText;

    const std::string logs = readAll(service_->xdg().path("XDG_STATE_HOME") + "/nimo/tunneld.log") +
                             service_->command({"logs"}).first;
    EXPECT_NE(logs.find("隧道已连接"), std::string::npos) << logs;
    for (const auto& record : log.records()) {
        EXPECT_EQ(record.line.find(nodePassword), std::string::npos) << record.line;
        EXPECT_EQ(record.line.find(subuuid_), std::string::npos) << record.line;
    }
    EXPECT_EQ(logs.find(nodePassword), std::string::npos);
    EXPECT_EQ(logs.find(subuuid_), std::string::npos);
}

TEST_F(TrafficRoad, AKilledProviderLeavesTheDesktopAsItWas) {
    devservice::LoopbackNode node("香港 01", "127.0.0.2");
    ASSERT_TRUE(node.start());
    TrafficTarget target;
    VPNTunnelManager& tunnel = connect({node.serverEntry()}, "", "rule");
    ASSERT_EQ(tunnel.vpnStatus(), VpnStatus::Connected) << status().dump();
    EXPECT_EQ(gsettingsGet(kProxy, "mode"), "'auto'");
    const qint64 provider = status().value("providerPid", 0);
    ASSERT_GT(provider, 0);
    const auto helpers = childrenOf(provider);
    ASSERT_EQ(helpers.size(), 1u);

    ::kill(static_cast<pid_t>(provider), SIGKILL);
    ASSERT_TRUE(
        waitUntil([&] { return tunnel.vpnStatus() == VpnStatus::Disconnected; }, std::chrono::seconds(10)));
    EXPECT_TRUE(waitUntil([&] { return desktopSettings() == before_; }, std::chrono::seconds(10)));
    EXPECT_TRUE(waitUntil([&] { return !processAlive(helpers[0]); })); // the transport goes with it
    auto [text, code] = service_->command({"status"});
    EXPECT_NE(text.find("状态：已断开 (1)"), std::string::npos) << text;
}

TEST_F(TrafficRoad, ANodeThatCannotCarryTrafficEndsDisconnectedWithItsReason) {
    devservice::LoopbackNode node("香港 01", "127.0.0.2");
    ASSERT_TRUE(node.start());
    auto wrongPassword = node.serverEntry();
    wrongPassword["password"] = "not-the-password";
    auto refused = node.serverEntry();
    refused["server_port"] =
        std::stoi(devservice::refusedUrl().substr(std::string("http://127.0.0.1:").size()));
    auto oldCipher = node.serverEntry();
    oldCipher["method"] = "rc4-md5";
    struct Case {
        const char* what;
        nlohmann::json server;
        std::string reason; // part of the toast
    };
    const std::vector<Case> cases = {
        {"refused", refused, "节点无法连接：香港 01"},
        {"wrong password", wrongPassword, "密码或加密方式可能不符"},
        {"unknown method", oldCipher, "加密方式 rc4-md5 不受支持"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VPNTunnelManager& tunnel = connect({c.server}, "香港 01", "global");
        const std::vector<std::string>& toasts = failures_;
        EXPECT_EQ(tunnel.vpnStatus(), VpnStatus::Disconnected);
        EXPECT_TRUE(waitUntil([&] { return !toasts.empty(); }));
        ASSERT_FALSE(toasts.empty());
        EXPECT_NE(toasts.back().find(c.reason), std::string::npos) << toasts.back();
        EXPECT_EQ(desktopSettings(), before_); // never touched, or put back
        tunnel_.reset();
    }
}

} // namespace
