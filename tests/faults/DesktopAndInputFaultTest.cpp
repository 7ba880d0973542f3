// Faults on the whole road with the real service, provider and transport: the desktop's proxy
// settings are the user's data and survive a full disk, a power loss and a damaged saved copy; the
// service stays reachable under a flood of connections and the loss of its socket file; hostile
// server lists stay bounded and leave nothing forged in the log.
#include "LoopbackNodes.h"
#include "LoopbackServer.h"
#include "TrafficSupport.h"
#include "TunnelTestSupport.h"
#include "tunnel/TunnelProtocol.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;

namespace {

constexpr const char* kProxy = "org.gnome.system.proxy";
constexpr const char* kListPath = "/api/public/sub/sip008";

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The service of one test on its own folders, with the real provider installed and one tunnel
// configuration; the user had a manual HTTP proxy of their own and no kioslaverc, on KDE and GNOME.
struct Road {
    ScopedEnv kdeSession{"XDG_CURRENT_DESKTOP", std::string("KDE")};
    // The service's own files apart from the provider's, so a small disk under the latter leaves the
    // installed provider in place.
    QTemporaryDir serviceState;
    ServiceHarness service{true, {"--state-dir", serviceState.path().toStdString()}};
    std::unique_ptr<RawClient> control;
    std::string id;
    std::vector<std::string> before;
    bool ok = false;

    Road() {
        if (!gsettingsSet(kProxy, "mode", "'manual'") ||
            !gsettingsSet("org.gnome.system.proxy.http", "host", "'corp-proxy.example'") ||
            !gsettingsSet("org.gnome.system.proxy.http", "port", "3128"))
            return;
        before = desktop();
        ok = connect();
        if (!ok)
            return;
        ok = install(*control, extensionPackage(packageRoot()));
        id = ok ? saveConfiguration(*control, kProviderConfiguration) : std::string();
        ok = !id.empty() && control->event(statusIs(id, 1)).has_value(); // the new configuration's status
    }
    bool connect() {
        if (!service.start())
            return false;
        control = std::make_unique<RawClient>(service.socketPath());
        return control->request({{"op", "subscribe"}}).has_value();
    }
    static std::vector<std::string> desktop() {
        return {gsettingsGet(kProxy, "mode"),
                gsettingsGet(kProxy, "ignore-hosts"),
                gsettingsGet("org.gnome.system.proxy.http", "host"),
                gsettingsGet("org.gnome.system.proxy.http", "port"),
                gsettingsGet("org.gnome.system.proxy.socks", "host"),
                gsettingsGet("org.gnome.system.proxy.socks", "port")};
    }
    std::string state(const std::string& file) {
        return service.xdg().path("XDG_STATE_HOME") + "/nimo/" + file;
    }
    std::string kioslaverc() { return service.xdg().path("XDG_CONFIG_HOME") + "/kioslaverc"; }
    std::string keyfile() { return service.xdg().path("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile"; }
    std::string log() { return fileText(serviceState.path().toStdString() + "/tunneld.log"); }

    // Starts the tunnel and waits until the start has ended: the status it ended in and the reason.
    std::pair<int, std::string> start(const std::string& host, const std::string& mode,
                                      const std::string& nodeName = "") {
        const json options = {
            {"host", host}, {"subuuid", "sub-1"}, {"nodeName", nodeName}, {"tunMode", mode}};
        control->lines().clear(); // statuses of earlier steps
        if (!control->request({{"op", "start"}, {"configuration", id}, {"options", options}}) ||
            !control->event(statusIs(id, 2)))
            return {0, "no answer"};
        auto end = control->event([&](const json& e) { return statusIs(id, 3)(e) || statusIs(id, 1)(e); },
                                  std::chrono::seconds(40));
        if (!end)
            return {0, "no end"};
        auto status = control->request({{"op", "status"}, {"configuration", id}});
        return {end->value("status", 0), status ? (*status)["result"].value("lastError", "") : std::string()};
    }
    bool stop() {
        control->lines().clear();
        control->request({{"op", "stop"}, {"configuration", id}});
        return control->event(statusIs(id, 1), std::chrono::seconds(15)).has_value();
    }
    // kill -9 of the service, its providers and their transports together.
    void powerLoss() {
        std::vector<qint64> all;
        for (qint64 child : childPids(service.servicePid())) {
            all.push_back(child);
            for (qint64 grandchild : childPids(child))
                all.push_back(grandchild);
        }
        for (qint64 pid : all)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        service.killService(SIGKILL);
        for (qint64 pid : all)
            waitUntil([&] { return !processAlive(pid); });
    }
};

// A tmpfs over the folder for the life of the object.
struct SmallDisk {
    std::string dir;
    bool mounted = false;
    SmallDisk(std::string folder, const char* size) : dir(std::move(folder)) {
        QDir().mkpath(QString::fromStdString(dir));
        mounted = ::mount("nimo-flt", dir.c_str(), "tmpfs", 0,
                          (std::string("size=") + size + ",mode=0700").c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted)
            ::umount2(dir.c_str(), MNT_DETACH);
    }
    // Takes every free byte.
    bool fill() {
        struct statvfs fs {};
        if (::statvfs(dir.c_str(), &fs) != 0)
            return false;
        const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
        return true;
    }
    void free() { ::unlink((dir + "/filler").c_str()); }
};

} // namespace

// A full disk under the state folder, a power loss in global mode and a damaged saved copy: the
// user's settings are never lost, nothing is reported connected that changed nothing, and a fresh
// service puts back what a dead tunnel left, saying so to the client.
TEST(Faults, TheDesktopsProxySettingsSurviveEveryFault) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to mount a small disk";
    NodeRoad nodes;
    ASSERT_TRUE(nodes.ok());
    struct Case {
        const char* name;
        bool damageCopy; // the saved copy is found empty after the power loss
    };
    {
        // Full disk: the copy cannot be saved, so nothing changes and the start fails with the reason.
        Road road;
        ASSERT_TRUE(road.ok);
        SmallDisk disk(road.state(""), "1m");
        ASSERT_TRUE(disk.mounted);
        ASSERT_TRUE(disk.fill());
        const auto [status, reason] = road.start(nodes.url(), "global");
        EXPECT_EQ(status, 1);
        EXPECT_NE(reason.find("无法保存原有的代理设置"), std::string::npos) << reason << road.log();
        EXPECT_EQ(Road::desktop(), road.before);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(road.state("desktop-proxy.json"))));
        // Room again: the next start saves the user's values, not the tunnel's, and the stop puts them back.
        disk.free();
        const auto again = road.start(nodes.url(), "global");
        EXPECT_EQ(again.first, 3) << again.second << road.log();
        EXPECT_EQ(gsettingsGet(kProxy, "mode"), "'manual'");
        EXPECT_EQ(gsettingsGet("org.gnome.system.proxy.socks", "host"), "'127.0.0.1'");
        // A provider launched ahead that never got its start line changes nothing as it goes, though
        // the running tunnel's saved copy is there to be put back.
        QProcess ahead;
        ahead.start(
            QString::fromStdString(extensionPackage(packageRoot()) + "/Contents/bin/com.nimomac.qn.sysne"));
        ASSERT_TRUE(ahead.waitForStarted());
        ahead.closeWriteChannel();
        ASSERT_TRUE(ahead.waitForFinished(10000));
        EXPECT_EQ(gsettingsGet("org.gnome.system.proxy.socks", "host"), "'127.0.0.1'");
        EXPECT_TRUE(QFile::exists(QString::fromStdString(road.state("desktop-proxy.json"))));
        ASSERT_TRUE(road.stop());
        EXPECT_EQ(Road::desktop(), road.before);
    }
    for (const Case c : {Case{"power loss", false}, Case{"power loss, damaged copy", true}}) {
        SCOPED_TRACE(c.name);
        Road road;
        ASSERT_TRUE(road.ok);
        const auto started = road.start(nodes.url(), "global");
        ASSERT_EQ(started.first, 3) << started.second << road.log();
        ASSERT_EQ(gsettingsGet("org.gnome.system.proxy.socks", "host"), "'127.0.0.1'");
        ASSERT_TRUE(QFile::exists(QString::fromStdString(road.kioslaverc())));
        road.powerLoss();
        if (c.damageCopy)
            QFile(QString::fromStdString(road.state("desktop-proxy.json"))).resize(0);
        // A fresh service alone (no start, no stop) repairs the desktop and tells the first subscriber.
        ASSERT_TRUE(road.service.start());
        RawClient client(road.service.socketPath());
        auto subscribed = client.request({{"op", "subscribe"}});
        ASSERT_TRUE(subscribed);
        const std::string recovery = (*subscribed)["result"].value("recovery", "");
        const QStringList aside =
            QDir(QString::fromStdString(road.state(""))).entryList({"desktop-proxy.json.corrupt-*"});
        if (c.damageCopy) {
            // What the user had is unknown: the tunnel's values go, the copy is kept aside.
            EXPECT_NE(recovery.find("损坏"), std::string::npos) << recovery;
            EXPECT_EQ(gsettingsGet(kProxy, "mode"), "'none'");
            EXPECT_EQ(gsettingsGet("org.gnome.system.proxy.socks", "host"), "''");
            EXPECT_EQ(aside.size(), 1);
        } else {
            EXPECT_NE(recovery.find("已恢复原有的代理设置"), std::string::npos) << recovery;
            EXPECT_EQ(Road::desktop(), road.before);
            // Exactly: no key the user never set stays set, no file that was not there is left.
            EXPECT_EQ(fileText(road.keyfile()).find("127.0.0.1"), std::string::npos)
                << fileText(road.keyfile());
            EXPECT_FALSE(QFile::exists(QString::fromStdString(road.kioslaverc())));
            EXPECT_TRUE(aside.isEmpty());
        }
        EXPECT_FALSE(QFile::exists(QString::fromStdString(road.state("desktop-proxy.json"))));
        EXPECT_NE(road.log().find("启动时恢复桌面代理设置"), std::string::npos);
    }
}

// 1,100 connections of the user, the socket file removed, the service frozen while a second one
// starts: the service (or the one that took over) keeps answering on its socket, and says so in the log.
TEST(Faults, TheServiceStaysReachable) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    auto answers = [](const std::string& path) {
        RawClient client(path);
        auto status = client.request({{"op", "status"}, {"configuration", "none"}});
        return status && status->contains("ok");
    };
    struct Case {
        const char* name;
        std::function<std::vector<int>(ServiceHarness&)> fault; // descriptors to close afterwards
        const char* logged;
    };
    const Case cases[] = {
        {"1,100 connections",
         [](ServiceHarness& s) {
             std::vector<int> fds;
             for (int i = 0; i < 1100; ++i) {
                 const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                 sockaddr_un addr{};
                 addr.sun_family = AF_UNIX;
                 std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", s.socketPath().c_str());
                 ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
                 fds.push_back(fd);
             }
             return fds;
         },
         "连接过多"},
        {"socket file removed",
         [](ServiceHarness& s) {
             ::unlink(s.socketPath().c_str());
             return std::vector<int>{};
         },
         "控制套接字文件丢失，已重新创建"},
        {"frozen holder of the lock",
         [](ServiceHarness& s) {
             ::kill(static_cast<pid_t>(s.servicePid()), SIGSTOP);
             QStringList args;
             for (const auto& a : s.serviceArguments())
                 args << QString::fromStdString(a);
             qint64 pid = 0;
             QProcess::startDetached(QString::fromStdString(s.serviceExecutable()), args, {}, &pid);
             s.adopt(pid);
             return std::vector<int>{};
         },
         "实例锁的持有者不再应答"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceHarness service;
        ASSERT_TRUE(service.start());
        const std::vector<int> fds = c.fault(service);
        EXPECT_TRUE(waitUntil([&] { return QFile::exists(QString::fromStdString(service.socketPath())); }));
        for (int fd : fds)
            ::close(fd);
        EXPECT_TRUE(waitUntil([&] { return answers(service.socketPath()); }, std::chrono::seconds(20)));
        EXPECT_TRUE(waitUntil([&] {
            return fileText(service.xdg().path("XDG_STATE_HOME") + "/nimo/tunneld.log").find(c.logged) !=
                   std::string::npos;
        }));
    }
}

// Hostile server lists through the real provider: bodies past the cap however they come, a host that
// never answers, special addresses, too many servers; a list of 10,000 works; outside text never
// forges a log line and a host's password never reaches one.
TEST(Faults, HostileServerListsStayBounded) {
    devservice::LoopbackNode node("香港 01");
    ASSERT_TRUE(node.start());
    const json good = node.serverEntry();
    auto serve = [](const std::string& body) {
        return [body](httplib::Server& s) {
            s.Get(kListPath, [body](const httplib::Request&, httplib::Response& res) {
                res.set_content(body, "application/json");
            });
        };
    };
    json many = json::array(), tooMany = json::array();
    for (int i = 0; i < 10001; ++i) {
        json s = good;
        s["remarks"] = "节点 " + std::to_string(i);
        (i < 10000 ? many : tooMany).push_back(s);
    }
    tooMany.insert(tooMany.end(), many.begin(), many.end());
    json metadata = good;
    metadata["server"] = "169.254.169.254";
    metadata["server_port"] = 80;
    json forged = good;
    forged["remarks"] = "香港\n[com.nimomac.qn:tunneld] <error> 伪造的一行";
    struct Case {
        const char* name;
        std::function<void(httplib::Server&)> routes;
        std::string nodeName;
        std::string reason; // empty: connects
        std::string userInfo = {};
    };
    const std::vector<Case> cases = {
        {"chunked 300 MB",
         [](httplib::Server& s) {
             s.Get(kListPath, [](const httplib::Request&, httplib::Response& res) {
                 res.set_chunked_content_provider(
                     "application/json", [](size_t offset, httplib::DataSink& sink) {
                         static const std::string block(64 * 1024, ' ');
                         return offset < (300u << 20) && sink.write(block.data(), block.size());
                     });
             });
         },
         "", "服务器列表超过 4 MB"},

        {"special addresses only", serve(json{{"servers", {metadata}}}.dump()), "",
         "服务器列表中没有可用的节点"},
        {"10,001 servers", serve(json{{"servers", tooMany}}.dump()), "", "超过上限 10000 个"},
        {"10,000 servers, the last one chosen", serve(json{{"servers", many}}.dump()), "节点 9999", ""},
        {"a name that forges a log line", serve(json{{"servers", {forged}}}.dump()), "", ""},
        {"a password in the host", serve(json{{"servers", {good}}}.dump()), "", "", "user:HOSTPW-77@"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Road road;
        ASSERT_TRUE(road.ok);
        LoopbackServer host;
        c.routes(host.server());
        const std::string url = "http://" + c.userInfo + "127.0.0.1:" + std::to_string(host.port());
        const auto [status, reason] = road.start(url, "rule", c.nodeName);
        if (c.reason.empty()) {
            EXPECT_EQ(status, 3) << reason;
            road.stop();
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        }
        const std::string log = road.log();
        EXPECT_EQ(log.find("\n[com.nimomac.qn:tunneld] <error> 伪造"), std::string::npos) << log;
        EXPECT_EQ(log.find("HOSTPW-77"), std::string::npos) << log;
        EXPECT_EQ(Road::desktop(), road.before);
    }
    {
        // A compressed body that grows past the cap once decoded.
        Road road;
        ASSERT_TRUE(road.ok);
        const std::string body = gzip("{\"servers\":[" + std::string(64u << 20, ' ') + "]}");
        RawReplyServer bomb("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\n"
                            "Content-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        const auto [status, reason] = road.start("http://127.0.0.1:" + std::to_string(bomb.port()), "rule");
        EXPECT_EQ(status, 1);
        // Never decoded (the provider asks for the list as it is), so it never grows: refused as a list.
        EXPECT_EQ(reason.rfind("获取节点列表失败：服务器列表", 0), 0u) << reason;
    }
    {
        // A host that never answers: the reason is the user's language, not the network library's.
        Road road;
        ASSERT_TRUE(road.ok);
        SilentListener silent;
        const auto [status, reason] = road.start("http://127.0.0.1:" + std::to_string(silent.port()), "rule");
        EXPECT_EQ(status, 1);
        EXPECT_NE(reason.find("获取节点列表失败：服务器没有及时传完"), std::string::npos) << reason;
    }
}

// Before: another local user (uid 65534) is refused at connect on the tunnel's SOCKS5 and PAC ports,
// where the user's own processes are served. Then a node's server killed while the tunnel carries
// traffic: on the automatic route the tunnel moves to the other node without leaving connected; with
// a chosen node it ends with the reason. Either within 10 s of the kill.
TEST(Faults, ADeadNodeIsNoticedAndThePortsServeTheUserAlone) {
    devservice::LoopbackNode a("节点A", "127.0.0.2"), b("节点B", "127.0.0.3");
    ASSERT_TRUE(a.start() && b.start());
    TrafficTarget target;
    struct Case {
        const char* name;
        std::string nodeName;
        bool movesOn;
    };
    for (const Case& c : {Case{"automatic route", "", true}, Case{"chosen node", "节点A", false}}) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(a.running() || a.start());
        Road road;
        ASSERT_TRUE(road.ok);
        LoopbackServer host;
        const std::string list = json{{"servers", {a.serverEntry(), b.serverEntry()}}}.dump();
        host.server().Get(kListPath, [list](const httplib::Request&, httplib::Response& res) {
            res.set_content(list, "application/json");
        });
        ASSERT_EQ(road.start("http://127.0.0.1:" + std::to_string(host.port()), "rule", c.nodeName).first, 3);
        auto state = [&] {
            auto reply = road.control->request(
                {{"op", "message"}, {"configuration", road.id}, {"data", tunnelproto::toBase64("Hello")}});
            const auto data = reply ? tunnelproto::fromBase64((*reply)["result"]["data"]) : std::nullopt;
            const json parsed = json::parse(data ? data->toStdString() : std::string(), nullptr, false);
            return parsed.is_object() ? parsed.value("state", json::object()) : json::object();
        };
        const json before = state();
        const int port = before.value("socksPort", 0);
        const std::string used = before.value("node", "");
        ASSERT_TRUE(used == "节点A" || used == "节点B") << before.dump();
        const QStringList socks = {"--socks5-hostname", "127.0.0.1:" + QString::number(port),
                                   QString::fromStdString(target.url())};
        const QStringList pac = {QString::fromStdString(before.value("pacUrl", ""))};
        for (const auto& [curl, served] : {std::pair{socks, "127.0.0."}, std::pair{pac, "FindProxyForURL"}}) {
            for (const bool other : {false, true}) {
                if (other && ::getuid() != 0)
                    continue; // running a client as another user needs root
                QProcess p;
                const QStringList args = QStringList{"-s", "-m", "5"} + curl;
                if (other)
                    p.start("setpriv",
                            QStringList{"--reuid", "65534", "--regid", "65534", "--clear-groups", "curl"} +
                                args);
                else
                    p.start("curl", args);
                p.waitForFinished(10000);
                EXPECT_EQ(p.readAllStandardOutput().contains(served), !other) << curl.join(' ').toStdString();
            }
        }
        if (c.movesOn) // a rest past two of the provider's 3 s looks: it sleeps until the tunnel is used
                       // again
            std::this_thread::sleep_for(std::chrono::seconds(7));
        road.control->lines().clear();
        (used == "节点A" ? a : b).stop();
        const auto killed = std::chrono::steady_clock::now();
        // The user goes on browsing: requests fail until the tunnel has moved or ended.
        std::optional<json> outcome;
        while (!outcome && std::chrono::steady_clock::now() - killed < std::chrono::seconds(12)) {
            fetch(target.url(), port, 500);
            outcome =
                road.control->event([&](const json& e) { return statusIs(road.id, c.movesOn ? 4 : 1)(e); },
                                    std::chrono::milliseconds(200));
        }
        ASSERT_TRUE(outcome) << "nothing noticed";
        EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(10));
        if (c.movesOn) {
            ASSERT_TRUE(road.control->event(statusIs(road.id, 3), std::chrono::seconds(10)));
            EXPECT_NE(state().value("node", ""), used);
            EXPECT_TRUE(fetch(target.url(), port).has_value());
        } else {
            auto status = road.control->request({{"op", "status"}, {"configuration", road.id}});
            ASSERT_TRUE(status);
            EXPECT_NE((*status)["result"].value("lastError", "").find("不再应答"), std::string::npos)
                << status->dump();
        }
    }
}
