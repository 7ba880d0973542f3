// nimo-netd as root in a network namespace of its own, asked by unprivileged uids.
#include "CaptureSupport.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimo::test {
namespace {

constexpr uid_t kUser = 64031, kOther = 64032;

// A socket on 127.0.0.1:port, listening when it is TCP.
int bindLoopback(int type, int port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0))
        return -1;
    return fd;
}

class NetdFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = captureUnavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        ns_ = std::make_unique<Netns>("nimo-cap-netd-" + std::to_string(::getpid()));
        ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
        socket_ = dir_.path().toStdString() + "/netd.sock";
        startNetd();
    }
    void TearDown() override {
        if (netd_) {
            netd_->kill();
            netd_->waitForFinished();
        }
    }
    void startNetd() {
        ::unlink(socket_.c_str()); // a killed run leaves its socket file
        netd_ = std::make_unique<QProcess>();
        netd_->setProcessChannelMode(QProcess::ForwardedChannels);
        netd_->start("ip", {"netns", "exec", QString::fromStdString(ns_->name()),
                            QString::fromStdString(binDir() + "/nimo-netd"), "--socket",
                            QString::fromStdString(socket_)});
        // Listening once it answers (here: refuses root), not when the file appears at bind.
        ASSERT_TRUE(waitUntil([&] { return netdRequest(socket_, {"{}"}).find("error:") != 0; }));
    }
    // As uid, which holds the relay and DNS ports of on() meanwhile, as a provider would.
    nlohmann::json ask(uid_t uid, const std::string& line) {
        const std::string reply = runAs(ns_->name(), uid, [&] {
            const std::vector<int> held = {bindLoopback(SOCK_STREAM, 4000), bindLoopback(SOCK_STREAM, 5300),
                                           bindLoopback(SOCK_DGRAM, 5300)};
            std::string answer = netdRequest(socket_, {line});
            for (int fd : held)
                ::close(fd);
            return answer;
        });
        const auto parsed = nlohmann::json::parse(reply, nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json{{"unparsed", reply}};
    }
    std::string tables() { return shOut(ns_->exec() + "nft list tables"); }
    bool hasTable(uid_t uid) {
        return tables().find("nimo_u" + std::to_string(uid) + "\n") != std::string::npos;
    }
    std::string on(bool killSwitch = true) {
        return nlohmann::json{{"op", "on"},        {"node", {"198.51.100.1"}}, {"nodePort", 8388},
                              {"relayPort", 4000}, {"dnsPort", 5300},          {"killSwitch", killSwitch}}
            .dump();
    }

    std::unique_ptr<Netns> ns_;
    QTemporaryDir dir_;
    std::string socket_;
    std::unique_ptr<QProcess> netd_;
};

TEST_F(NetdFixture, RefusesEveryMalformedRequestAndChangesNothing) {
    struct Case {
        std::string line, error;
    };
    const std::vector<Case> cases = {
        {"not json", "不是 JSON"},
        {"[1,2]", "不是 JSON"},
        {R"({"op":"format"})", "未知的操作"},
        {R"({"op":7})", "未知的操作"},
        {R"({"op":"on"})", "node"},
        {R"({"op":"on","node":[],"nodePort":1,"relayPort":2,"dnsPort":3})", "node"},
        {R"({"op":"on","node":["1.2.3.4; flush ruleset"],"nodePort":1,"relayPort":2,"dnsPort":3})",
         "不是 IP"},
        {R"({"op":"on","node":["example.com"],"nodePort":1,"relayPort":2,"dnsPort":3})", "不是 IP"},
        {R"({"op":"on","node":[7],"nodePort":1,"relayPort":2,"dnsPort":3})", "IP"},
        {R"({"op":"on","node":["1.1.1.1","1.1.1.2","1.1.1.3","1.1.1.4","1.1.1.5","1.1.1.6","1.1.1.7","1.1.1.8","1.1.1.9"],"nodePort":1,"relayPort":2,"dnsPort":3})",
         "node"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1.5,"relayPort":2,"dnsPort":3})", "nodePort"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":70000,"dnsPort":3})", "relayPort"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":2,"dnsPort":"53"})", "dnsPort"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":2,"dnsPort":3,"killSwitch":"yes"})",
         "killSwitch"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":2,"dnsPort":3,"uid":0})", "未知字段"},
        {R"({"op":"update","node":["1.2.3.4"],"nodePort":1})", "没有"},
        {R"({"op":"off","table":"ip filter"})", "不带参数"},
        {std::string(5000, 'x'), "过长"},
        // Ports nobody holds, or another user holds: no one's traffic goes into someone else's tunnel.
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":4002,"dnsPort":5300})",
         "不是请求者自己的"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":4001,"dnsPort":5300})",
         "不是请求者自己的"},
        {R"({"op":"on","node":["1.2.3.4"],"nodePort":1,"relayPort":4000,"dnsPort":5301})",
         "不是请求者自己的"},
    };
    std::vector<int> roots;
    {
        InNetns in(ns_->name());
        roots = {bindLoopback(SOCK_STREAM, 4001), bindLoopback(SOCK_STREAM, 5301),
                 bindLoopback(SOCK_DGRAM, 5301)};
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        const auto reply = ask(kUser, c.line);
        ASSERT_TRUE(reply.is_object());
        EXPECT_EQ(reply.value("ok", true), false);
        EXPECT_NE(reply.value("error", "").find(c.error), std::string::npos) << reply.dump();
    }
    EXPECT_EQ(tables(), "");
    // Root's own requests are refused: a rule scoped to root would take the whole system.
    EXPECT_NE(netdRequest(socket_, {on()}).find("root"), std::string::npos);
    EXPECT_EQ(tables(), "");
    for (int fd : roots)
        ::close(fd);
}

TEST_F(NetdFixture, ScopesByUidKeepsHeldTablesAndPutsThemBack) {
    ASSERT_EQ(ask(kUser, on()).value("ok", false), true);
    ASSERT_TRUE(hasTable(kUser));
    const std::string rules = shOut(ns_->exec() + "nft list table inet nimo_u" + std::to_string(kUser));
    for (const char* rule : {"meta skuid 64031 meta l4proto { tcp, udp } th dport 53 redirect to :5300",
                             "meta skuid 64031 meta nfproto ipv4 meta l4proto tcp redirect to :4000",
                             "meta skuid 64031 ip daddr 198.51.100.1 tcp dport 8388 accept"})
        EXPECT_NE(rules.find(rule), std::string::npos) << rule << "\n" << rules;

    // Another user can only ever touch a table of their own.
    EXPECT_EQ(ask(kOther, R"({"op":"off"})").value("ok", false), true);
    EXPECT_EQ(ask(kOther, R"({"op":"status"})").value("capture", ""), "off");
    EXPECT_TRUE(hasTable(kUser));
    // The lease (the connection) ended with the kill switch on: the block is held.
    EXPECT_EQ(ask(kUser, R"({"op":"status"})").value("capture", ""), "held");

    // The distribution's firewall reload deletes every table; the watch puts ours back.
    sh(ns_->exec() + "nft flush ruleset");
    EXPECT_TRUE(waitUntil([&] { return hasTable(kUser); }));

    // Killed, the service leaves the table; started again it takes it over and keeps guarding it.
    netd_->kill();
    netd_->waitForFinished();
    EXPECT_TRUE(hasTable(kUser));
    startNetd();
    EXPECT_EQ(ask(kUser, R"({"op":"status"})").value("capture", ""), "held");
    sh(ns_->exec() + "nft flush ruleset");
    EXPECT_TRUE(waitUntil([&] { return hasTable(kUser); }));

    EXPECT_EQ(ask(kUser, R"({"op":"off"})").value("ok", false), true);
    EXPECT_FALSE(hasTable(kUser));
    // Without the kill switch the capture ends with the connection that asked for it.
    EXPECT_EQ(ask(kUser, on(false)).value("ok", false), true);
    EXPECT_TRUE(waitUntil([&] { return !hasTable(kUser); }));
    EXPECT_EQ(tables(), "");
}

} // namespace
} // namespace nimo::test
