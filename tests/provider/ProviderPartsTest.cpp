// The provider's parts on their own: the server list, the transport helper against a real node, and
// the desktop's proxy settings saved, changed and put back (also by a later process).
#include "DesktopProxy.h"
#include "DnsForwarder.h"
#include "LoopbackNodes.h"
#include "NodeList.h"
#include "Relay.h"
#include "TrafficSupport.h"
#include "Transport.h"
#include "TunnelTestSupport.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QPointer>
#include <QProcess>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;

namespace {

std::string helperPath() {
    return test::binDir() + "/../Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension/"
                            "Contents/bin/nimo-transport";
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(ServerList, KeepsEveryWellFormedServerAndCountsTheRest) {
    const json good = {{"remarks", "香港 01"},
                       {"server", "198.51.100.2"},
                       {"server_port", 8388},
                       {"method", "aes-256-gcm"},
                       {"password", "p"}};
    auto with = [&](const char* key, json value) {
        json s = good;
        if (value.is_null())
            s.erase(key);
        else
            s[key] = std::move(value);
        return s;
    };
    struct Row {
        const char* what;
        json document;
        std::size_t kept;
        int skipped;
        bool error;
    };
    const std::vector<Row> rows = {
        {"one good server", {{"version", 1}, {"servers", {good}}}, 1, 0, false},
        {"no password", {{"servers", {good, with("password", nullptr)}}}, 1, 1, false},
        {"port as text", {{"servers", {good, with("server_port", "8388")}}}, 1, 1, false},
        {"port 0", {{"servers", {with("server_port", 0)}}}, 0, 1, true},
        {"port 70000", {{"servers", {with("server_port", 70000)}}}, 0, 1, true},
        {"remarks a number", {{"servers", {with("remarks", 7)}}}, 0, 1, true},
        {"empty server", {{"servers", {with("server", "")}}}, 0, 1, true},
        {"server not an object", {{"servers", {good, "x", 3, nullptr}}}, 1, 3, false},
        {"servers not an array", {{"servers", good}}, 0, 0, true},
        {"no servers", json::object(), 0, 0, true},
        {"document an array", json::array({good}), 0, 0, true},
        {"not JSON at all", json::parse("{", nullptr, false), 0, 0, true},
        {"empty list", {{"servers", json::array()}}, 0, 0, true},
        // Special addresses are no nodes: a hostile list may not point the tunnel at this machine or
        // at the cloud's metadata service.
        {"loopback", {{"servers", {good, with("server", "127.0.0.1")}}}, 1, 1, false},
        {"metadata service", {{"servers", {with("server", "169.254.169.254")}}}, 0, 1, true},
        {"unspecified, multicast, reserved",
         {{"servers",
           {with("server", "0.0.0.0"), with("server", "224.0.0.1"), with("server", "255.255.255.255")}}},
         0,
         3,
         true},
        {"IPv6 loopback, link-local, mapped",
         {{"servers",
           {with("server", "::1"), with("server", "[fe80::1]"), with("server", "::ffff:127.0.0.1")}}},
         0,
         3,
         true},
        {"localhost names",
         {{"servers", {with("server", "LocalHost."), with("server", "a.localhost")}}},
         0,
         2,
         true},
        {"a name and a private address are fine",
         {{"servers", {with("server", "node.example.com"), with("server", "10.1.2.3")}}},
         2,
         0,
         false},
        {"10,000 servers", {{"servers", json(std::vector<json>(10000, good))}}, 10000, 0, false},
        {"10,001 servers", {{"servers", json(std::vector<json>(10001, good))}}, 0, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string error;
        int skipped = -1;
        const auto nodes = transport::parseServerList(row.document, &error, &skipped);
        EXPECT_EQ(nodes.size(), row.kept);
        EXPECT_EQ(skipped, row.skipped);
        EXPECT_EQ(!error.empty(), row.error) << error;
    }
    // The operator's build may allow a range, as the demo's and the tests' loopback nodes need.
    std::string error;
    EXPECT_EQ(transport::parseServerList({{"servers", {with("server", "127.0.0.2")}}}, &error, nullptr,
                                         {"127.0.0.0/8"})
                  .size(),
              1u);
    EXPECT_TRUE(transport::parseServerList({{"servers", {with("server", "169.254.169.254")}}}, &error,
                                           nullptr, {"127.0.0.0/8"})
                    .empty());
}

TEST(ServerList, OnlyAuthenticatedCiphersAreUsable) {
    const std::vector<std::pair<std::string, bool>> methods = {{"aes-128-gcm", true},
                                                               {"aes-192-gcm", true},
                                                               {"aes-256-gcm", true},
                                                               {"chacha20-ietf-poly1305", true},
                                                               {"xchacha20-ietf-poly1305", true},
                                                               {"rc4-md5", false},
                                                               {"aes-256-cfb", false},
                                                               {"chacha20", false},
                                                               {"AES-256-GCM", false},
                                                               {"", false},
                                                               {"none", false}};
    for (const auto& [method, usable] : methods) {
        transport::Node node{"n", "127.0.0.1", 1, method, "p"};
        EXPECT_EQ(transport::unusableReason(node).empty(), usable) << method;
        std::string error;
        EXPECT_EQ(transport::parseConfig(transport::configLine(node, 0), &error).has_value(), usable)
            << method;
    }
    EXPECT_TRUE(transport::isAutomatic(""));
    EXPECT_TRUE(transport::isAutomatic("RiZezuva"));
    EXPECT_FALSE(transport::isAutomatic("香港 01"));
}

// The helper refuses what it cannot use with a reason; with a real node its SOCKS5 port carries
// traffic through it. The password reaches it through stdin only.
TEST(TransportHelper, RefusesBadConfigurationsAndCarriesTrafficThroughARealNode) {
    struct Bad {
        const char* what;
        std::string line;
    };
    const std::vector<Bad> bad = {
        {"not JSON", "{oops\n"},
        {"not an object", "[1,2]\n"},
        {"no password", R"({"server":"127.0.0.1","server_port":1,"method":"aes-256-gcm","local_port":0})"
                        "\n"},
        {"old cipher",
         R"({"server":"127.0.0.1","server_port":1,"method":"rc4-md5","password":"p","local_port":0})"
         "\n"},
        {"port out of range",
         R"({"server":"127.0.0.1","server_port":1,"method":"aes-256-gcm","password":"p","local_port":99999})"
         "\n"},
        {"empty input", ""},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.what);
        QProcess helper;
        helper.start(QString::fromStdString(helperPath()));
        ASSERT_TRUE(helper.waitForStarted());
        helper.write(QByteArray::fromStdString(b.line));
        helper.closeWriteChannel();
        ASSERT_TRUE(helper.waitForFinished(5000));
        EXPECT_NE(helper.exitCode(), 0);
        const auto answer = json::parse(helper.readAllStandardOutput().toStdString(), nullptr, false);
        EXPECT_TRUE(answer.is_object() && answer.contains("error")) << answer.dump();
    }

    devservice::LoopbackNode node("香港 01", "127.0.0.2");
    std::string error;
    ASSERT_TRUE(node.start(&error)) << error;
    TrafficTarget target;
    const auto entry = node.serverEntry();
    QProcess helper;
    helper.start(QString::fromStdString(helperPath()));
    ASSERT_TRUE(helper.waitForStarted());
    helper.write(QByteArray::fromStdString(
        transport::configLine(
            {"香港 01", entry["server"], entry["server_port"], entry["method"], entry["password"]}, 0)
            .dump() +
        "\n"));
    ASSERT_TRUE(waitUntil([&] { return helper.canReadLine() || helper.waitForReadyRead(10); }));
    const auto answer = json::parse(helper.readLine().toStdString(), nullptr, false);
    ASSERT_TRUE(answer.contains("listening")) << answer.dump();
    const int port = answer["listening"];
    EXPECT_EQ(fetch(target.url(), port), "127.0.0.2");
    const std::string password = entry["password"];
    for (const char* file : {"cmdline", "environ"})
        EXPECT_EQ(readAll("/proc/" + std::to_string(helper.processId()) + "/" + file).find(password),
                  std::string::npos);
    // End of input ends it, and its port with it.
    helper.closeWriteChannel();
    EXPECT_TRUE(helper.waitForFinished(5000));
    EXPECT_FALSE(portOpen(port));
}

// The helper launched ahead waits for its node and is the one the next start uses, unless its file
// was replaced since; either way the check through the tunnel sees the node answer.
TEST(Transport, TheHelperLaunchedAheadCarriesTheStartUnlessItsFileWasReplaced) {
    QTemporaryDir dir;
    const std::string copy = dir.path().toStdString() + "/nimo-transport";
    auto install = [&] {
        const QString fresh = QString::fromStdString(copy + ".new");
        QFile::remove(fresh);
        ASSERT_TRUE(QFile::copy(QString::fromStdString(helperPath()), fresh));
        ASSERT_EQ(::rename(fresh.toLocal8Bit().constData(), copy.c_str()), 0);
    };
    install();
    devservice::LoopbackNode live("香港 01", "127.0.0.2");
    std::string error;
    ASSERT_TRUE(live.start(&error)) << error;
    TrafficTarget target;
    const auto entry = live.serverEntry();
    const transport::Node node{"香港 01", entry["server"], entry["server_port"], entry["method"],
                               entry["password"]};
    auto wrong = node;
    wrong.password += "-wrong";

    auto helpers = [] {
        std::vector<qint64> found;
        for (qint64 pid : childPids(::getpid()))
            if (readAll("/proc/" + std::to_string(pid) + "/comm") == "nimo-transport\n")
                found.push_back(pid);
        return found;
    };
    provider::Transport transport(copy);
    std::optional<int> port;
    QObject::connect(&transport, &provider::Transport::listening, [&](int p) { port = p; });
    struct Round {
        const char* what;
        bool replaced;
        const transport::Node& node;
        const char* checkError; // "" when the answer must come back
    };
    for (const Round& round :
         {Round{"launched ahead", false, node, ""}, Round{"file replaced", true, node, ""},
          Round{"wrong password", false, wrong, "密码或加密方式可能不符"}}) {
        SCOPED_TRACE(round.what);
        transport.prepare();
        std::vector<qint64> ahead;
        ASSERT_TRUE(waitUntil([&] { return (ahead = helpers()).size() == 1; }));
        if (round.replaced)
            install();
        port.reset();
        transport.start(round.node, 0);
        ASSERT_TRUE(waitUntil([&] { return port.has_value(); }));
        const auto running = helpers();
        ASSERT_EQ(running.size(), 1u);
        EXPECT_EQ(running[0] == ahead[0], !round.replaced);
        std::optional<std::string> checked;
        provider::checkThroughTunnel(&transport, *port, QUrl(QString::fromStdString(target.url())), 1500,
                                     [&](std::string why) { checked = why; });
        ASSERT_TRUE(waitUntil([&] { return checked.has_value(); }));
        EXPECT_NE(checked->find(round.checkError), std::string::npos) << *checked;
        EXPECT_EQ(checked->empty(), *round.checkError == 0) << *checked;
        transport.stop();
    }
}

// The relay's link between a redirected client and the proxy: what Qt read early goes first, bulk
// goes both ways at once, a half-close passes on and the link ends once both ways have ended.
TEST(RelayLink, CarriesEarlyBytesBulkAndHalfClosesBothWays) {
    int user[2], far[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, user), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, far), 0);
    bool ended = false;
    QPointer<QObject> link =
        provider::splice(user[1], far[1], "banner;", "request;", [&ended] { ended = true; });
    const std::string up(8 << 20, 'u'), down(3 << 20, 'd');
    // Each peer writes all it has, shuts its sending side and reads to the end.
    const auto peer = [](int fd, const std::string& out, std::string* in) {
        std::thread writer([fd, &out] {
            for (std::size_t at = 0; at < out.size();) {
                const ssize_t n = ::send(fd, out.data() + at, out.size() - at, MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                at += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
        });
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            in->append(buffer, static_cast<std::size_t>(n));
        writer.join();
    };
    std::string atUser, atFar;
    std::thread userSide(peer, user[0], up, &atUser), farSide(peer, far[0], down, &atFar);
    EXPECT_TRUE(waitUntil([&] { return ended && !link; }, std::chrono::seconds(30)));
    userSide.join();
    farSide.join();
    EXPECT_EQ(atUser.size(), 7 + down.size());
    EXPECT_EQ(atUser.substr(0, 7), "banner;");
    EXPECT_EQ(atFar.size(), 8 + up.size());
    EXPECT_EQ(atFar.substr(0, 8), "request;");
    EXPECT_EQ(atFar.find_first_not_of('u', 8), std::string::npos);
    ::close(user[0]);
    ::close(far[0]);
}

TEST(DnsForwarder, ServfailKeepsTheIdAndQuestionAndIgnoresWhatIsNoQuery) {
    const QByteArray header("\xab\xcd\x01\x00\x00\x01\x00\x00\x00\x00\x00\x01", 12);
    const QByteArray question("\x03www\x04test\x00\x00\x01\x00\x01", 14);
    const QByteArray opt("\x00\x00\x29\x10\x00\x00\x00\x00\x00\x00\x00", 11);
    struct Case {
        const char* what;
        QByteArray query;
        int replySize; // 0: no answer at all
        int questions;
    };
    const std::vector<Case> cases = {
        {"query with EDNS", header + question + opt, 12 + 14, 1},
        {"too short", header.left(11), 0, 0},
        {"already an answer", QByteArray("\xab\xcd\x81\x80", 4) + header.mid(4) + question, 0, 0},
        {"question cut off", header + question.left(7), 12, 0},
        {"label past the end",
         header + QByteArray("\x3f"
                             "abc",
                             4),
         12, 0},
        {"compression pointer in a query", header + QByteArray("\xc0\x0c\x00\x01\x00\x01", 6), 12, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray reply = provider::servfailFor(c.query);
        ASSERT_EQ(reply.size(), c.replySize);
        if (!c.replySize)
            continue;
        EXPECT_EQ(reply.left(2), QByteArray("\xab\xcd", 2));
        EXPECT_EQ(static_cast<uchar>(reply[2]) & 0x80, 0x80); // an answer
        EXPECT_EQ(reply[3] & 0x0f, 2);                        // SERVFAIL
        EXPECT_EQ(reply[5], c.questions);
        EXPECT_EQ(reply[11], 0); // no additional records copied
    }
}

TEST(KioslavercEditing, ReplacesOneGroupsKeysAndLeavesTheRest) {
    const std::string original =
        "[General]\nProxyType=9\n\n[Proxy Settings]\nProxyType=0\nhttpProxy=http://corp 3128\n"
        "Custom=keep\n\n[Other]\nx=1\n";
    struct Row {
        const char* what;
        std::string text;
        json values;
        std::vector<std::pair<std::string, json>> expect; // key in [Proxy Settings] -> value or null
    };
    const std::vector<Row> rows = {
        {"replace and add",
         original,
         {{"ProxyType", "2"}, {"Proxy Config Script", "http://127.0.0.1:9/proxy.pac"}},
         {{"ProxyType", "2"},
          {"Proxy Config Script", "http://127.0.0.1:9/proxy.pac"},
          {"httpProxy", "http://corp 3128"},
          {"Custom", "keep"}}},
        {"null removes",
         original,
         {{"httpProxy", nullptr}, {"ProxyType", "1"}},
         {{"httpProxy", nullptr}, {"ProxyType", "1"}, {"Custom", "keep"}}},
        {"group made when missing", "[General]\nx=1", {{"ProxyType", "1"}}, {{"ProxyType", "1"}}},
        {"empty file", "", {{"ProxyType", "2"}}, {{"ProxyType", "2"}}},
        {"only nulls on an empty file", "", {{"ProxyType", nullptr}}, {{"ProxyType", nullptr}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string edited = provider::editIniGroup(row.text, "Proxy Settings", row.values);
        for (const auto& [key, value] : row.expect)
            EXPECT_EQ(provider::iniValue(edited, "Proxy Settings", key), value) << key << "\n" << edited;
        EXPECT_EQ(provider::iniValue(edited, "General", "ProxyType"),
                  provider::iniValue(row.text, "General", "ProxyType"));
        EXPECT_EQ(provider::iniValue(edited, "Other", "x"), provider::iniValue(row.text, "Other", "x"));
    }
}

// Both desktops at once, as a KDE user with GSettings present has them: apply, switch mode, and let
// a later process (after a power loss) put everything back from the saved copy.
TEST(DesktopProxy, AppliesBothModesAndALaterProcessRestoresTheUsersSettings) {
    TempXdg xdg;
    const QByteArray hadBackend = qgetenv("GSETTINGS_BACKEND");
    qputenv("GSETTINGS_BACKEND", "keyfile");
    const std::string kioslaverc = xdg.path("XDG_CONFIG_HOME") + "/kioslaverc";
    const std::string kde =
        "[Proxy Settings]\nProxyType=4\nhttpProxy=HTTP_PROXY\n\n[Cache]\nMaxCacheSize=5\n";
    writeAll(kioslaverc, kde);
    ASSERT_TRUE(gsettingsSet("org.gnome.system.proxy", "mode", "'auto'"));
    ASSERT_TRUE(gsettingsSet("org.gnome.system.proxy", "autoconfig-url", "'http://wpad.example/wpad.dat'"));
    auto gnome = [] {
        return std::vector<std::string>{gsettingsGet("org.gnome.system.proxy", "mode"),
                                        gsettingsGet("org.gnome.system.proxy", "autoconfig-url"),
                                        gsettingsGet("org.gnome.system.proxy.socks", "port")};
    };
    const auto before = gnome();
    const std::string saved = xdg.path("XDG_STATE_HOME") + "/nimo/desktop-proxy.json";
    {
        provider::DesktopProxy desktop(saved);
        EXPECT_EQ(desktop.apply({"global", 4321, "http://127.0.0.1:9/proxy.pac"}), "");
        EXPECT_EQ(gnome()[0], "'manual'");
        EXPECT_EQ(gnome()[2], "4321");
        const std::string text = readAll(kioslaverc);
        EXPECT_EQ(provider::iniValue(text, "Proxy Settings", "ProxyType"), "1");
        EXPECT_EQ(provider::iniValue(text, "Proxy Settings", "socksProxy"), "socks://127.0.0.1 4321");
        // A second apply (mode switch) keeps the user's copy, not the tunnel's settings.
        EXPECT_EQ(desktop.apply({"rule", 4321, "http://127.0.0.1:9/proxy.pac"}), "");
        EXPECT_EQ(gnome()[1], "'http://127.0.0.1:9/proxy.pac'");
        EXPECT_EQ(provider::iniValue(readAll(kioslaverc), "Proxy Settings", "ProxyType"), "2");
        EXPECT_TRUE(QFile::exists(QString::fromStdString(provider::DesktopProxy::envFile())));
    } // power lost here: nothing was put back
    provider::DesktopProxy later(saved);
    EXPECT_TRUE(later.hasSaved());
    EXPECT_EQ(later.restore(), provider::RestoreOutcome::Restored);
    EXPECT_EQ(gnome(), before);
    EXPECT_EQ(readAll(kioslaverc), kde);
    const std::string text = readAll(kioslaverc);
    EXPECT_EQ(provider::iniValue(text, "Proxy Settings", "ProxyType"), "4");
    EXPECT_EQ(provider::iniValue(text, "Proxy Settings", "httpProxy"), "HTTP_PROXY");
    EXPECT_EQ(provider::iniValue(text, "Proxy Settings", "socksProxy"), nullptr);
    EXPECT_EQ(provider::iniValue(text, "Cache", "MaxCacheSize"), "5");
    EXPECT_FALSE(later.hasSaved());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(provider::DesktopProxy::envFile())));
    EXPECT_EQ(later.restore(), provider::RestoreOutcome::NothingSaved);

    // A damaged saved copy is kept aside; the user's own settings are not touched.
    writeAll(saved, "{not json");
    EXPECT_EQ(provider::DesktopProxy(saved).restore(), provider::RestoreOutcome::Damaged);
    EXPECT_EQ(gnome(), before);
    if (hadBackend.isNull())
        qunsetenv("GSETTINGS_BACKEND");
    else
        qputenv("GSETTINGS_BACKEND", hadBackend);
}

} // namespace
