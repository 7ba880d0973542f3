#include "TunnelTestSupport.h"
#include "tunnel/TunnelProtocol.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;

namespace {

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

bool isError(const std::optional<json>& answer, int code) {
    return answer && !answer->value("ok", true) && (*answer)["error"].value("code", 0) == code;
}

qint64 providerPid(RawClient& client, const std::string& configuration) {
    auto answer = client.request({{"op", "status"}, {"configuration", configuration}});
    return answer ? (*answer)["result"].value("providerPid", 0) : 0;
}

int rawConnect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(TunnelService, MalformedRequestsGetOneErrorAndTheConnectionStays) {
    ServiceHarness service;
    ASSERT_TRUE(service.start());
    RawClient client(service.socketPath());
    auto hello = client.event([](const json& e) { return e.value("event", "") == "hello"; });
    ASSERT_TRUE(hello);
    EXPECT_EQ((*hello)["version"], tunnelproto::kVersion);

    struct Case {
        const char* name;
        QByteArray line;
        int code;
    };
    const std::vector<Case> cases = {
        {"not JSON", "{oops\n", tunnelproto::BadRequest},
        {"not an object", "[1,2]\n", tunnelproto::BadRequest},
        {"no id",
         R"({"op":"status"})"
         "\n",
         tunnelproto::BadRequest},
        {"id of a wrong type",
         R"({"id":[1],"op":"status"})"
         "\n",
         tunnelproto::BadRequest},
        {"unknown operation",
         R"({"id":7,"op":"explode"})"
         "\n",
         tunnelproto::UnknownOperation},
        {"wrong field type",
         R"({"id":8,"op":"start","configuration":5})"
         "\n",
         tunnelproto::NotFound},
        {"options not strings",
         R"({"id":9,"op":"message","configuration":"x","data":"%%"})"
         "\n",
         tunnelproto::BadRequest},
        {"line over 64 KiB", QByteArray(70 * 1024, 'a') + "\n", tunnelproto::LineTooLong},
    };
    for (const auto& c : cases) {
        client.lines().clear();
        client.sendLine(c.line);
        // Exactly one answer, then the connection still serves a request.
        const auto probe = client.send({{"op", "status"}, {"configuration", "none"}});
        auto answer = client.answer(probe);
        ASSERT_TRUE(answer) << c.name;
        EXPECT_EQ((*answer)["result"]["status"], 0) << c.name;
        ASSERT_EQ(client.lines().size(), 1u) << c.name;
        const json& error = client.lines().front();
        EXPECT_FALSE(error.value("ok", true)) << c.name;
        EXPECT_EQ(error["error"].value("code", 0), c.code) << c.name;
    }
}

TEST(TunnelService, SocketIsPrivateAndASecondInstanceLeavesTheFirstAlone) {
    ServiceHarness service;
    ASSERT_TRUE(service.start());
    const std::string dir = service.socketPath().substr(0, service.socketPath().rfind('/'));
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(service.socketPath()), 0600u);

    QProcess second;
    second.start(QString::fromStdString(service.serviceExecutable()), {});
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(second.exitCode(), 0);
    RawClient client(service.socketPath());
    auto answer = client.request({{"op", "loadAll"}});
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->value("ok", false));
    EXPECT_TRUE(processAlive(service.servicePid()));
}

TEST(TunnelService, RefusesAPeerOfAnotherUser) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    ServiceHarness service;
    ASSERT_TRUE(service.start());
    // One answered request: the service is past its own set-up (which fixes the socket's mode), so
    // the modes opened below stay open.
    RawClient own(service.socketPath());
    ASSERT_TRUE(own.request({{"op", "loadAll"}}));
    // Let the other user reach the socket, so only the peer check stands in its way.
    const std::string dir = service.socketPath().substr(0, service.socketPath().rfind('/'));
    // Only the folders of this test's temporary home are opened.
    for (std::string d = dir; d.size() >= service.xdg().root().size(); d = d.substr(0, d.rfind('/')))
        ::chmod(d.c_str(), modeOf(d) | 0755);
    ::chmod(service.socketPath().c_str(), 0666);

    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const int fd = rawConnect(service.socketPath());
        if (fd < 0)
            ::_exit(10 + errno);
        char buffer[512] = {};
        std::size_t got = 0;
        for (ssize_t n;
             got < sizeof buffer - 1 && (n = ::read(fd, buffer + got, sizeof buffer - 1 - got)) > 0;)
            got += static_cast<std::size_t>(n);
        // Refused: an explanation, no greeting, then the end of the connection.
        const std::string text(buffer, got);
        ::_exit(text.find("\"refused\"") != std::string::npos && text.find("hello") == std::string::npos ? 0
                                                                                                         : 1);
    }
    int status = 0;
    ASSERT_TRUE(waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: not refused, 3: could not change user, 10 + errno: could not connect";

    EXPECT_TRUE(own.request({{"op", "loadAll"}}));
}

TEST(TunnelService, ConfigurationsPersistAndADamagedFileIsSetAside) {
    std::string stateDir;
    {
        ServiceHarness service;
        stateDir = service.xdg().path("XDG_STATE_HOME") + "/nimo";
        ASSERT_TRUE(service.start());
        RawClient client(service.socketPath());
        const std::string a = saveConfiguration(client, kProviderConfiguration, "app.one");
        ASSERT_FALSE(a.empty());
        ASSERT_FALSE(saveConfiguration(client, kProviderConfiguration, "app.two").empty());
        // Updating keeps the identifier; an unknown identifier is refused.
        json changed = kProviderConfiguration;
        changed["identifier"] = a;
        changed["localizedDescription"] = "renamed";
        EXPECT_EQ(saveConfiguration(client, changed, "app.one"), a);
        changed["identifier"] = "nope";
        EXPECT_TRUE(
            isError(client.request({{"op", "save"}, {"application", "app.one"}, {"configuration", changed}}),
                    tunnelproto::NotFound));

        service.killService();
        ASSERT_TRUE(service.start());
        RawClient again(service.socketPath());
        auto list = again.request({{"op", "loadAll"}, {"application", "app.one"}});
        ASSERT_TRUE(list);
        ASSERT_EQ((*list)["result"]["configurations"].size(), 1u);
        EXPECT_EQ((*list)["result"]["configurations"][0]["localizedDescription"], "renamed");
        auto loaded = again.request({{"op", "load"}, {"application", "app.two"}, {"configuration", a}});
        EXPECT_TRUE(isError(loaded, tunnelproto::NotFound)); // another application's configuration

        service.killService();
        QFile file(QString::fromStdString(stateDir + "/configurations.json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{broken");
        file.close();
        ASSERT_TRUE(service.start());
        RawClient third(service.socketPath());
        list = third.request({{"op", "loadAll"}, {"application", "app.one"}});
        ASSERT_TRUE(list);
        EXPECT_TRUE((*list)["result"]["configurations"].empty());
        EXPECT_FALSE(saveConfiguration(third, kProviderConfiguration, "app.one").empty());
        const QStringList aside = QDir(QString::fromStdString(stateDir))
                                      .entryList({QStringLiteral("configurations.json.corrupt-*")});
        EXPECT_EQ(aside.size(), 1);
    }
}

TEST(TunnelService, SessionStatusFollowsTheProviderAndItsDeath) {
    // A quiet provider is pinged every second instead of every few minutes, so a hang is found
    // within the test's patience.
    ServiceHarness service(true, {"--liveness-check", "1"});
    ASSERT_TRUE(service.start());
    RawClient control(service.socketPath());
    ASSERT_TRUE(install(control, extensionPackage(testPackageRoot())));
    const std::string id = saveConfiguration(control, kProviderConfiguration);
    RawClient first(service.socketPath()), second(service.socketPath());
    for (RawClient* c : {&first, &second}) {
        auto snapshot = c->request({{"op", "subscribe"}});
        ASSERT_TRUE(snapshot);
        EXPECT_EQ((*snapshot)["result"]["statuses"][0]["status"], 1); // saved, not started
    }

    auto started = control.request({{"op", "start"}, {"configuration", id}, {"options", {{"host", "x"}}}});
    ASSERT_TRUE(started && started->value("ok", false));
    for (RawClient* c : {&first, &second}) {
        EXPECT_TRUE(c->event(statusIs(id, 2)));
        EXPECT_TRUE(c->event(statusIs(id, 3)));
    }
    // A second start of a running tunnel changes nothing.
    EXPECT_TRUE(control.request({{"op", "start"}, {"configuration", id}})->value("ok", false));

    const qint64 pid = providerPid(control, id);
    ASSERT_GT(pid, 0);
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    for (RawClient* c : {&first, &second})
        EXPECT_TRUE(c->event(statusIs(id, 1), std::chrono::seconds(1)));

    // A provider that exits by itself, and one that stops answering.
    ASSERT_TRUE(control.request({{"op", "start"}, {"configuration", id}})->value("ok", false));
    ASSERT_TRUE(first.event(statusIs(id, 3)));
    control.send({{"op", "message"}, {"configuration", id}, {"data", tunnelproto::toBase64("exit")}});
    EXPECT_TRUE(first.event(statusIs(id, 1), std::chrono::seconds(1)));

    ASSERT_TRUE(control.request({{"op", "start"}, {"configuration", id}})->value("ok", false));
    ASSERT_TRUE(first.event(statusIs(id, 3)));
    const qint64 hung = providerPid(control, id);
    control.send({{"op", "message"}, {"configuration", id}, {"data", tunnelproto::toBase64("hang")}});
    EXPECT_TRUE(first.event(statusIs(id, 1), std::chrono::seconds(5)));
    EXPECT_TRUE(waitUntil([&] { return !processAlive(hung); }));
    auto status = control.request({{"op", "status"}, {"configuration", id}});
    EXPECT_EQ((*status)["result"]["lastError"], "隧道提供者没有响应");
}

// The memory bound of this road is measured by bench/tunnel (tunnel_bench): a figure, not a test.
TEST(TunnelService, ASubscriberThatNeverReadsIsDropped) {
    ServiceHarness service;
    ASSERT_TRUE(service.start());
    RawClient control(service.socketPath());
    const std::string id = prepareTestTunnel(control);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(control.request({{"op", "start"}, {"configuration", id}})->value("ok", false));
    ASSERT_TRUE(control.event(statusIs(id, 3)));

    const int silent = rawConnect(service.socketPath());
    ASSERT_GE(silent, 0);
    const QByteArray subscribe = tunnelproto::encodeLine({{"id", 1}, {"op", "subscribe"}});
    ASSERT_EQ(::write(silent, subscribe.constData(), subscribe.size()), subscribe.size());
    ASSERT_TRUE(control.request({{"op", "status"}, {"configuration", id}})); // the subscription is in

    const auto flood = control.send(
        {{"op", "message"}, {"configuration", id}, {"data", tunnelproto::toBase64("flood.10000")}});
    ASSERT_TRUE(control.answer(flood, std::chrono::seconds(20)));

    // The reader heard the last change; the silent one was cut off.
    control.lines().clear();
    control.send({{"op", "message"}, {"configuration", id}, {"data", tunnelproto::toBase64("status.4")}});
    EXPECT_TRUE(control.event(statusIs(id, 4)));
    ::fcntl(silent, F_SETFL, O_NONBLOCK);
    char sink[65536];
    EXPECT_TRUE(waitUntil([&] { return ::read(silent, sink, sizeof sink) == 0; }));
    ::close(silent);
}

TEST(TunnelService, ActivationAsksForApprovalAndReplacement) {
    ServiceHarness service(/*autoApprove=*/false);
    ASSERT_TRUE(service.start());
    RawClient client(service.socketPath());
    const std::string real = extensionPackage(packageRoot());
    const std::string test = extensionPackage(testPackageRoot());
    auto activationEvent = [&](std::int64_t id) {
        return client.event(
            [id](const json& e) { return e.value("event", "") == "activation" && e["id"] == id; });
    };

    // Bad packages fail at once with the package error.
    for (const std::string& bad : {std::string("relative/path"), real + "-missing", packageRoot()})
        EXPECT_TRUE(isError(
            client.request({{"op", "activate"}, {"identifier", "com.nimomac.qn.sysne"}, {"package", bad}}),
            tunnelproto::PackageInvalid))
            << bad;
    EXPECT_TRUE(isError(client.request({{"op", "activate"}, {"identifier", "other.id"}, {"package", real}}),
                        tunnelproto::PackageInvalid));

    // First installation waits for the user's approval.
    auto id = client.send({{"op", "activate"}, {"identifier", "com.nimomac.qn.sysne"}, {"package", real}});
    ASSERT_TRUE(client.answer(id));
    auto event = activationEvent(id);
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["callback"], "needsApproval");
    QProcess approve;
    approve.start(QString::fromStdString(service.serviceExecutable()), {"approve", "com.nimomac.qn.sysne"});
    ASSERT_TRUE(approve.waitForFinished(5000));
    EXPECT_EQ(approve.exitCode(), 0);
    event = activationEvent(id);
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["callback"], "finished");
    EXPECT_EQ((*event)["result"], 0);

    // Another version: the requester is asked; declining fails, replacing installs.
    for (int action : {0, 1}) {
        id = client.send({{"op", "activate"}, {"identifier", "com.nimomac.qn.sysne"}, {"package", test}});
        ASSERT_TRUE(client.answer(id));
        event = activationEvent(id);
        ASSERT_TRUE(event);
        EXPECT_EQ((*event)["callback"], "replace");
        EXPECT_EQ((*event)["installedVersion"], "1.0.0");
        EXPECT_EQ((*event)["newVersion"], kTestProviderVersion);
        ASSERT_TRUE(client.request({{"op", "activation.reply"}, {"request", id}, {"action", action}}));
        event = activationEvent(id);
        ASSERT_TRUE(event);
        if (action == 0) {
            EXPECT_EQ((*event)["callback"], "failed");
            EXPECT_EQ((*event)["error"]["code"], tunnelproto::RequestCanceled);
        } else {
            EXPECT_EQ((*event)["callback"], "finished");
            EXPECT_EQ((*event)["result"], 0);
        }
    }

    // A replacement while that provider runs completes later (result 1), when its tunnel ends.
    const std::string configuration = saveConfiguration(client, kProviderConfiguration);
    ASSERT_TRUE(client.request({{"op", "subscribe"}}));
    ASSERT_TRUE(client.request({{"op", "start"}, {"configuration", configuration}})->value("ok", false));
    ASSERT_TRUE(client.event(statusIs(configuration, 3)));
    id = client.send({{"op", "activate"}, {"identifier", "com.nimomac.qn.sysne"}, {"package", real}});
    ASSERT_TRUE(client.answer(id));
    ASSERT_TRUE(activationEvent(id));
    ASSERT_TRUE(client.request({{"op", "activation.reply"}, {"request", id}, {"action", 1}}));
    event = activationEvent(id);
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["result"], 1);
    ASSERT_TRUE(client.request({{"op", "stop"}, {"configuration", configuration}}));
    ASSERT_TRUE(client.event(statusIs(configuration, 1)));
    id = client.send({{"op", "activate"}, {"identifier", "com.nimomac.qn.sysne"}, {"package", real}});
    ASSERT_TRUE(client.answer(id));
    event = activationEvent(id);
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["callback"], "finished") << "the deferred version was installed";
}

TEST(TunnelService, ExitsWhenIdleButNotWhileATunnelRuns) {
    ServiceHarness service(true, {"--idle-exit", "1"});
    ASSERT_TRUE(service.start());
    const qint64 pid = service.servicePid();
    std::string id;
    {
        RawClient client(service.socketPath());
        ASSERT_TRUE(install(client, extensionPackage(testPackageRoot())));
        id = saveConfiguration(client, kProviderConfiguration);
        ASSERT_TRUE(client.request({{"op", "subscribe"}}));
        ASSERT_TRUE(client.request({{"op", "start"}, {"configuration", id}})->value("ok", false));
        ASSERT_TRUE(client.event(statusIs(id, 3)));
    }
    // No client is left, but the tunnel is up: the service stays.
    EXPECT_FALSE(waitUntil([&] { return !processAlive(pid); }, std::chrono::milliseconds(2000)));
    {
        RawClient client(service.socketPath());
        ASSERT_TRUE(client.request({{"op", "subscribe"}}));
        ASSERT_TRUE(client.request({{"op", "stop"}, {"configuration", id}}));
        ASSERT_TRUE(client.event(statusIs(id, 1)));
    }
    EXPECT_TRUE(waitUntil([&] { return !processAlive(pid); }, std::chrono::seconds(4)));
}

// A followed service keeps one provider launched ahead while no tunnel runs: the next start takes
// it, a stop launches the next, and the last client to leave takes it away.
TEST(TunnelService, TheNextStartTakesTheProviderLaunchedAhead) {
    ServiceHarness service;
    ASSERT_TRUE(service.start());
    auto control = std::make_unique<RawClient>(service.socketPath());
    const std::string id = prepareTestTunnel(*control);
    ASSERT_FALSE(id.empty());
    for (int round = 0; round < 2; ++round) {
        std::vector<qint64> ahead;
        ASSERT_TRUE(waitUntil([&] { return (ahead = childPids(service.servicePid())).size() == 1; }))
            << round;
        ASSERT_TRUE(control->request({{"op", "start"}, {"configuration", id}})->value("ok", false));
        ASSERT_TRUE(control->event(statusIs(id, 3)));
        EXPECT_EQ(providerPid(*control, id), ahead[0]) << round;
        EXPECT_EQ(childPids(service.servicePid()).size(), 1u);
        ASSERT_TRUE(control->request({{"op", "stop"}, {"configuration", id}}));
        ASSERT_TRUE(control->event(statusIs(id, 1)));
        ASSERT_TRUE(waitUntil([&] {
            const auto now = childPids(service.servicePid());
            return now.size() == 1 && now[0] != ahead[0];
        }));
    }
    control.reset();
    EXPECT_TRUE(waitUntil([&] { return childPids(service.servicePid()).empty(); }));
}
