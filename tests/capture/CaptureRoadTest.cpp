// Global mode through the real tunnel service, provider, transport and nimo-netd, as an unprivileged
// user in a "desktop" namespace; a "world" namespace holds the node (ss-server), a web site and a DNS
// server that log their peers, and counts every packet of the desktop that is not for the node.
#include "CaptureSupport.h"
#include "DevServer.h"
#include "LoopbackNodes.h"
#include "NimoBuildConfig.h"
#include "TunnelTestSupport.h"
#include "tunnel/TunnelProtocol.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nimo::test {
namespace {

constexpr uid_t kUser = 64033, kOther = 64034, kResolver = 64036; // kResolver: the system's stub resolver
const std::string kDesktop4 = "198.51.100.2", kDesktop6 = "2001:db8:1::2", kNode4 = "198.51.100.1";
const std::string kSecondNode6 = "2001:db8:1::3"; // the second node has IPv6 only
const std::string kSite4 = "203.0.113.10", kSite6 = "2001:db8:2::10";
const std::string kLanDns4 = "192.168.77.1", kLanDns6 = "fd77::1";
const std::string kSiteName = "www.nimo-cap.test";

// A web site on port 80 of the namespace it is made in; answers "site" and logs its peers.
struct WebSite {
    httplib::Server server;
    Peers peers;
    std::thread thread;
    explicit WebSite(const std::string& host, int port) {
        server.set_read_timeout(60, 0); // a connection opened long before its request stays
        server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
            peers.add(req.remote_addr);
            res.set_content("site", "text/plain");
        });
        if (server.bind_to_port(host.c_str(), port))
            thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~WebSite() {
        server.stop();
        if (thread.joinable())
            thread.join();
    }
};

// A TCP connection opened as uid before the capture; later asked to send a request on it.
class OpenConnection {
public:
    OpenConnection(const std::string& ns, uid_t uid) {
        if (::pipe(up_) != 0 || ::pipe(down_) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up_[0]);
            ::close(down_[1]);
            std::string result = runAs(
                ns, uid,
                [this] {
                    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                    sockaddr_in addr{};
                    addr.sin_family = AF_INET;
                    addr.sin_port = htons(80);
                    ::inet_pton(AF_INET, kSite4.c_str(), &addr.sin_addr);
                    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
                        return std::string("connect failed");
                    [[maybe_unused]] auto n = ::write(up_[1], "c", 1);
                    char go;
                    if (::read(down_[0], &go, 1) != 1)
                        return std::string("no go");
                    const std::string request = "GET / HTTP/1.0\r\n\r\n";
                    std::string reply(4096, '\0');
                    timeval tv{5, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
                        return std::string("send failed");
                    const ssize_t got = ::recv(fd, reply.data(), reply.size(), 0);
                    return got > 0 ? reply.substr(0, static_cast<std::size_t>(got)) : std::string("cut");
                },
                60000);
            [[maybe_unused]] auto n = ::write(up_[1], result.data(), result.size());
            ::_exit(0);
        }
        ::close(up_[1]);
        ::close(down_[0]);
    }
    bool connected() {
        char c = 0;
        return ::read(up_[0], &c, 1) == 1 && c == 'c';
    }
    std::string sendRequest() {
        [[maybe_unused]] auto n = ::write(down_[1], "g", 1);
        std::string result;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(up_[0], buffer, sizeof buffer)) > 0)
            result.append(buffer, static_cast<std::size_t>(got));
        ::waitpid(pid_, nullptr, 0);
        return result;
    }

private:
    int up_[2] = {-1, -1}, down_[2] = {-1, -1};
    pid_t pid_ = -1;
};

class CaptureRoad : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = captureUnavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        const std::string tag = std::to_string(::getpid() % 100000);
        desktop_ = std::make_unique<Netns>("nimo-cap-d" + tag);
        world_ = std::make_unique<Netns>("nimo-cap-w" + tag);
        const std::string d = desktop_->name(), w = world_->name(), dv = "nimo-cap" + tag,
                          wv = "nimo-capw" + tag;
        ASSERT_EQ(sh("ip link add " + dv + " netns " + d + " type veth peer name " + wv + " netns " + w), 0);
        for (const std::string& step :
             {"ip -n " + d + " addr add " + kDesktop4 + "/24 dev " + dv,
              "ip -n " + d + " addr add " + kDesktop6 + "/64 dev " + dv + " nodad",
              "ip -n " + d + " link set " + dv + " up",
              "ip -n " + w + " addr add " + kNode4 + "/24 dev " + wv,
              "ip -n " + w + " addr add 2001:db8:1::1/64 dev " + wv + " nodad",
              "ip -n " + w + " addr add " + kSecondNode6 + "/64 dev " + wv + " nodad",
              "ip -n " + w + " link set " + wv + " up", "ip -n " + d + " route add default via " + kNode4,
              "ip -n " + d + " -6 route add default via 2001:db8:1::1",
              "ip -n " + w + " addr add " + kSite4 + "/32 dev lo",
              "ip -n " + w + " addr add " + kSite6 + "/128 dev lo",
              "ip -n " + w + " addr add " + std::string(build::kTunnelDns) + "/32 dev lo",
              "ip -n " + w + " addr add " + kLanDns4 + "/32 dev lo",
              "ip -n " + w + " addr add " + kLanDns6 + "/128 dev lo",
              "ip netns exec " + d + " sysctl -qw net.ipv4.ping_group_range='0 2147483647'",
              "mkdir -p /etc/netns/" + d + " && echo 'nameserver " + kLanDns4 + "' > /etc/netns/" + d +
                  "/resolv.conf"})
            ASSERT_EQ(sh(step), 0) << step;

        {
            InNetns in(d);
            ASSERT_GT(devServer_.start(0), 0);
        }
        {
            InNetns in(w);
            std::string error;
            ASSERT_TRUE(node_.start(&error)) << error;
            ASSERT_TRUE(secondNode_.start(&error)) << error;
            site_ = std::make_unique<WebSite>("::", 80);
            // The provider's check asks the account host through the node: the world answers it too.
            hostCheck_ = std::make_unique<WebSite>("127.0.0.1", devServer_.port());
            dns_ = std::make_unique<TinyDns>(kSiteName, kSite4, kSite6);
            ASSERT_TRUE(dns_->ok());
        }
        const std::string counter = "table inet nimo-cap-count {\n counter leak {}\n chain in {\n"
                                    "  type filter hook input priority 0; policy accept;\n"
                                    "  ip saddr " +
                                    kDesktop4 + " tcp dport != { " + std::to_string(node_.port()) + ", " +
                                    std::to_string(secondNode_.port()) + " }" +
                                    " counter name leak\n"
                                    "  ip saddr " +
                                    kDesktop4 +
                                    " meta l4proto != tcp counter name leak\n"
                                    "  ip6 saddr " +
                                    kDesktop6 + " tcp dport != " + std::to_string(secondNode_.port()) +
                                    " counter name leak\n"
                                    "  ip6 saddr " +
                                    kDesktop6 +
                                    " meta l4proto != { tcp, ipv6-icmp } counter name leak\n }\n}\n";
        ASSERT_EQ(sh(world_->exec() + "nft -f - <<'EOF'\n" + counter + "EOF"), 0);
        std::string error;
        ASSERT_TRUE(devService_.loadFixture(
            {{"accounts",
              {{{"email", "cap@nimomac.example.com"},
                {"password", "secret1"},
                {"subscriptions", {{{"id", 1}, {"sub_uuid", "sub-cap"}, {"nodes", {"节点W", "节点V"}}}}}}}},
             {"servers", {node_.serverEntry(), secondNode_.serverEntry()}}},
            &error))
            << error;

        // The user's home: XDG folders of their own, the tunnel service's socket among them.
        home_ = dir_.path().toStdString();
        for (const char* sub : {"", "/run", "/state", "/config", "/data"}) {
            ::mkdir((home_ + sub).c_str(), 0700);
            ASSERT_EQ(::chown((home_ + sub).c_str(), kUser, kUser), 0);
        }
        ::chmod(dir_.path().toStdString().c_str(), 0755);
        netdSocket_ = netdDir_.path().toStdString() + "/netd.sock";
        ::chmod(netdDir_.path().toStdString().c_str(), 0755);
        netd_ = start(desktop_->exec() + binDir() + "/nimo-netd --socket " + netdSocket_ +
                      " --resolver-uid " + std::to_string(kResolver));
        // Listening once it answers (here: refuses root), not when the file appears at bind.
        ASSERT_TRUE(waitUntil([&] { return netdRequest(netdSocket_, {"{}"}).find("error:") != 0; }));
        startTunnelService();
    }

    void TearDown() override {
        for (QProcess* process : {tunneld_.get(), netd_.get()})
            if (process) {
                process->kill();
                process->waitForFinished();
            }
        if (desktop_)
            sh(desktop_->exec() + "nft flush ruleset");
    }

    std::unique_ptr<QProcess> start(const std::string& command) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start("/bin/sh", {"-c", QString::fromStdString("exec " + command)});
        return process;
    }

    void startTunnelService() {
        const std::string socket = home_ + "/run/tunneld.sock";
        ::unlink(socket.c_str());
        tunneld_ = start(asUser(kUser) + binDir() +
                         "/nimo-tunneld --auto-approve --idle-exit 0 --log-stderr --socket " + socket);
        ASSERT_TRUE(waitUntil([&] { return ::access(socket.c_str(), F_OK) == 0; }, std::chrono::seconds(10)));
        // The file appears at bind, a moment before the service listens: connect until it answers.
        ASSERT_TRUE(waitUntil(
            [&] {
                control_ = std::make_unique<RawClient>(socket);
                return waitUntil([&] { return control_->connected(); }, std::chrono::milliseconds(500));
            },
            std::chrono::seconds(10)));
        ASSERT_TRUE(control_->request({{"op", "subscribe"}}));
        ASSERT_TRUE(install(*control_, extensionPackage(packageRoot())));
        tunnel_ = saveConfiguration(*control_, kProviderConfiguration);
        ASSERT_FALSE(tunnel_.empty());
    }

    // The command prefix that runs a program as uid in the desktop, with no proxy settings at all.
    std::string asUser(uid_t uid) const {
        const std::string id = std::to_string(uid);
        return desktop_->exec() + "setpriv --reuid=" + id + " --regid=" + id +
               " --clear-groups env -i PATH=/usr/bin:/bin HOME=" + home_ + " XDG_RUNTIME_DIR=" + home_ +
               "/run XDG_STATE_HOME=" + home_ + "/state XDG_CONFIG_HOME=" + home_ +
               "/config XDG_DATA_HOME=" + home_ +
               "/data GSETTINGS_BACKEND=keyfile NIMO_NETD_SOCKET=" + netdSocket_ + " ";
    }

    // nimo-tunneld's command line as the user; what it printed.
    std::string command(const std::string& verb) const {
        return shOut(asUser(kUser) + binDir() + "/nimo-tunneld " + verb + " --socket " + home_ +
                     "/run/tunneld.sock");
    }

    // curl's body and exit code, as uid.
    std::string curl(uid_t uid, const std::string& url) const {
        return shOut(asUser(uid) + "curl -s -m 5 '" + url + "'; echo \" rc=$?\"");
    }

    void startTunnel() {
        const auto answer = control_->request({{"op", "start"},
                                               {"configuration", tunnel_},
                                               {"options",
                                                {{"subuuid", "sub-cap"},
                                                 {"host", devServer_.baseURL()},
                                                 {"nodeName", "节点W"},
                                                 {"tunMode", "global"}}}});
        ASSERT_TRUE(answer && answer->value("ok", false));
        ASSERT_TRUE(control_->event(statusIs(tunnel_, 3), std::chrono::seconds(30)));
        ASSERT_TRUE(
            waitUntil([&] { return hello().value("capture", "") == "on"; }, std::chrono::seconds(10)));
    }

    nlohmann::json hello() {
        const auto answer = control_->request(
            {{"op", "message"}, {"configuration", tunnel_}, {"data", tunnelproto::toBase64("Hello")}});
        if (!answer || !answer->value("ok", false))
            return nlohmann::json::object();
        const auto data = tunnelproto::fromBase64((*answer)["result"]["data"]);
        const auto reply = nlohmann::json::parse(data ? data->toStdString() : "", nullptr, false);
        return reply.is_object() && reply.contains("state") ? reply["state"] : nlohmann::json::object();
    }

    qint64 providerPid() {
        const auto answer = control_->request({{"op", "status"}, {"configuration", tunnel_}});
        return answer ? (*answer)["result"].value("providerPid", 0) : 0;
    }

    std::string leak() const {
        const std::string out = shOut(world_->exec() + "nft list counter inet nimo-cap-count leak");
        const auto at = out.find("packets ");
        return at == std::string::npos ? out : out.substr(at, out.find(' ', at + 8) - at);
    }
    bool blockInForce() const {
        return shOut(desktop_->exec() + "nft list tables").find("nimo_u" + std::to_string(kUser)) !=
               std::string::npos;
    }

    std::unique_ptr<Netns> desktop_, world_;
    devservice::DevService devService_;
    devservice::DevServer devServer_{devService_};
    devservice::LoopbackNode node_{"节点W", kNode4}, secondNode_{"节点V", kSecondNode6};
    std::unique_ptr<WebSite> site_, hostCheck_;
    std::unique_ptr<TinyDns> dns_;
    QTemporaryDir dir_, netdDir_;
    std::string home_, netdSocket_, tunnel_;
    std::unique_ptr<QProcess> netd_, tunneld_;
    std::unique_ptr<RawClient> control_;
};

TEST_F(CaptureRoad, GlobalModeCarriesEveryRoadAndFailsClosed) {
    const std::vector<std::string> desktop = {kDesktop4, kDesktop6};
    OpenConnection before(desktop_->name(), kUser);
    ASSERT_TRUE(before.connected());
    sh(world_->exec() + "nft reset counter inet nimo-cap-count leak >/dev/null"); // its handshake went direct
    startTunnel();

    // No proxy settings: by name, by IPv4 literal; the node has no IPv6, so a literal is refused at once.
    EXPECT_NE(curl(kUser, "http://" + kSiteName + "/").find("site rc=0"), std::string::npos);
    EXPECT_NE(curl(kUser, "http://" + kSite4 + "/").find("site rc=0"), std::string::npos);
    EXPECT_NE(curl(kUser, "http://[" + kSite6 + "]/").find("rc=7"), std::string::npos);
    struct Dns {
        std::string server;
        bool tcp;
        uid_t uid = kUser;
    };
    // The stub resolver's own upstream queries (another uid, over v4 and v6) are carried too.
    for (const Dns& road : std::vector<Dns>{{kLanDns4, false},
                                            {kLanDns6, false},
                                            {kLanDns4, true},
                                            {"127.0.0.53", false},
                                            {kSite4, false},
                                            {kLanDns4, false, kResolver},
                                            {kLanDns6, true, kResolver}}) {
        SCOPED_TRACE(road.server + (road.tcp ? " tcp" : " udp") + " uid " + std::to_string(road.uid));
        EXPECT_EQ(
            runAs(desktop_->name(), road.uid, [&] { return dnsQuery(road.server, kSiteName, road.tcp); }),
            "answer");
    }
    // The forwarder's own port, straight over TCP: the user is answered, another uid is not.
    const std::string rules = shOut(desktop_->exec() + "nft list table inet nimo_u" + std::to_string(kUser));
    const auto at = rules.find("th dport 53 redirect to :");
    ASSERT_NE(at, std::string::npos) << rules;
    const int forwarder = std::atoi(rules.c_str() + at + 25);
    EXPECT_EQ(
        runAs(desktop_->name(), kUser, [&] { return dnsQuery("127.0.0.1", kSiteName, true, forwarder); }),
        "answer");
    EXPECT_NE(
        runAs(desktop_->name(), kOther, [&] { return dnsQuery("127.0.0.1", kSiteName, true, forwarder); }),
        "answer");
    // UDP and ICMP cannot go through the tunnel: refused at once, never sent.
    const std::string udp = runAs(desktop_->name(), kUser, [&] { return udpSend(kSite4, 9999); });
    EXPECT_NE(udp.find("Operation not permitted"), std::string::npos) << udp;
    const std::string pinged = runAs(desktop_->name(), kUser, [&] { return ping(kSite4); });
    EXPECT_TRUE(pinged != "answer" && pinged != "timeout") << pinged;
    // A connection opened before the capture is cut.
    EXPECT_EQ(before.sendRequest().find("site"), std::string::npos);

    EXPECT_NE(command("status").find("全局捕获：已开启\n断网保护：已开启"), std::string::npos)
        << command("status");

    EXPECT_FALSE(site_->peers.all().empty());
    EXPECT_FALSE(site_->peers.anyContains(desktop));
    EXPECT_FALSE(dns_->peers().all().empty());
    EXPECT_FALSE(dns_->peers().anyContains(desktop));
    EXPECT_EQ(leak(), "packets 0");

    // A node switch moves the exemption before the transport connects: no loop through the relay.
    // The new node has IPv6, so IPv6 is carried now; back on the first node it is refused again.
    const auto switchTo = [&](const std::string& name) {
        ASSERT_TRUE(control_->request(
            {{"op", "message"},
             {"configuration", tunnel_},
             {"data", tunnelproto::toBase64(QByteArray::fromStdString("switchNode." + name))}}));
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto state = hello();
                return state.value("node", "") == name && !state.value("switching", true);
            },
            std::chrono::seconds(10)));
    };
    switchTo("节点V");
    EXPECT_NE(curl(kUser, "http://[" + kSite6 + "]/").find("site rc=0"), std::string::npos);
    EXPECT_NE(curl(kUser, "http://" + kSiteName + "/").find("site rc=0"), std::string::npos);
    switchTo("节点W");
    EXPECT_NE(curl(kUser, "http://[" + kSite6 + "]/").find("rc=7"), std::string::npos);
    EXPECT_NE(curl(kUser, "http://" + kSiteName + "/").find("site rc=0"), std::string::npos);
    EXPECT_FALSE(site_->peers.anyContains(desktop));
    EXPECT_EQ(leak(), "packets 0");

    // Another user's traffic is untouched.
    EXPECT_NE(curl(kOther, "http://" + kSite4 + "/").find("site rc=0"), std::string::npos);
    EXPECT_TRUE(site_->peers.anyContains({kDesktop4}));
    sh(world_->exec() + "nft reset counter inet nimo-cap-count leak >/dev/null");

    // The transport dies: the provider brings it back; nothing leaks meanwhile.
    const qint64 provider = providerPid();
    ASSERT_GT(provider, 0);
    for (qint64 child : childPids(provider))
        ::kill(static_cast<pid_t>(child), SIGKILL);
    curl(kUser, "http://" + kSite4 + "/");
    EXPECT_TRUE(waitUntil(
        [&] { return curl(kUser, "http://" + kSite4 + "/").find("site rc=0") != std::string::npos; },
        std::chrono::seconds(20)));
    EXPECT_EQ(leak(), "packets 0");

    // The provider (with the relay and the forwarder) dies: the kill switch holds.
    ::kill(static_cast<pid_t>(provider), SIGKILL);
    ASSERT_TRUE(control_->event(statusIs(tunnel_, 1), std::chrono::seconds(10)));
    EXPECT_EQ(curl(kUser, "http://" + kSite4 + "/").find("site"), std::string::npos);
    EXPECT_EQ(curl(kUser, "http://" + kSiteName + "/").find("site"), std::string::npos);
    EXPECT_NE(runAs(desktop_->name(), kUser, [&] { return dnsQuery(kLanDns4, kSiteName, false); }), "answer");
    EXPECT_TRUE(blockInForce());
    EXPECT_EQ(leak(), "packets 0");
    EXPECT_NE(command("status").find("断网保护：正在拦截"), std::string::npos);

    // Starting again lifts the block; a normal stop leaves nothing and the user goes direct again.
    startTunnel();
    EXPECT_NE(curl(kUser, "http://" + kSiteName + "/").find("site rc=0"), std::string::npos);
    ASSERT_TRUE(control_->request({{"op", "stop"}, {"configuration", tunnel_}}));
    ASSERT_TRUE(control_->event(statusIs(tunnel_, 1), std::chrono::seconds(10)));
    EXPECT_TRUE(waitUntil([&] { return !blockInForce(); }));
    EXPECT_NE(curl(kUser, "http://" + kSite4 + "/").find("site rc=0"), std::string::npos);
    sh(world_->exec() + "nft reset counter inet nimo-cap-count leak >/dev/null");

    // The tunnel service itself is killed: its provider goes, the block stays.
    startTunnel();
    tunneld_->kill();
    tunneld_->waitForFinished();
    EXPECT_TRUE(
        waitUntil([&] { return curl(kUser, "http://" + kSite4 + "/").find("site") == std::string::npos; },
                  std::chrono::seconds(10)));
    EXPECT_TRUE(blockInForce());
    EXPECT_EQ(leak(), "packets 0");
    // Turned off by hand, the block goes and the user is direct again.
    startTunnelService();
    EXPECT_NE(command("stop").find("断网保护：已解除"), std::string::npos);
    EXPECT_FALSE(blockInForce());
    EXPECT_NE(curl(kUser, "http://" + kSite4 + "/").find("site rc=0"), std::string::npos);
}

} // namespace
} // namespace nimo::test
