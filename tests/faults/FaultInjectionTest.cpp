// Faults injected into the real processes: what the user would live through (a killed or frozen
// process, a full or unwritable disk, damaged files, racing clients) ends in a known state, loses
// nothing and leaves no second provider behind.
#include "TunnelTestSupport.h"
#include "platform/JsonFileStore.h"
#include "platform/Paths.h"
#include "service/SettingsStore.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelProtocol.h"
#include "tunnel/TunnelServiceClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;

namespace {

std::string writer() {
    return binDir() + "/store_writer";
}

QByteArray readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A client in a process of its own that subscribes, asks for a start and then waits to be killed.
pid_t startingClient(const std::string& socketPath, const std::string& configuration) {
    const std::string lines =
        "{\"id\":1,\"op\":\"subscribe\"}\n{\"id\":2,\"op\":\"start\",\"configuration\":\"" + configuration +
        "\"}\n";
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::write(fd, lines.data(), lines.size()) < 0)
        ::_exit(1);
    for (;;)
        ::pause();
}

// The tunnel of a fresh service brought into one state with the test provider.
struct Tunnel {
    ServiceHarness service;
    std::unique_ptr<RawClient> control;
    std::string id;
    bool ready = false;

    explicit Tunnel(const std::string& state, std::vector<std::string> serviceArguments = {})
        : service(true, std::move(serviceArguments)) {
        if (!service.start())
            return;
        control = std::make_unique<RawClient>(service.socketPath());
        id = prepareTestTunnel(*control);
        if (id.empty())
            return;
        const json options = state == "connecting" ? json{{"hold", "connecting"}} : json::object();
        if (!control->request({{"op", "start"}, {"configuration", id}, {"options", options}}))
            return;
        if (state == "connecting") {
            ready = control->event(statusIs(id, 2)).has_value();
            return;
        }
        if (!control->event(statusIs(id, 3)))
            return;
        if (state == "disconnecting") {
            control->request(
                {{"op", "message"}, {"configuration", id}, {"data", tunnelproto::toBase64("slowstop")}});
            control->send({{"op", "stop"}, {"configuration", id}});
            ready = control->event(statusIs(id, 5)).has_value();
            return;
        }
        ready = true;
    }
    qint64 providerPid() {
        auto answer = control->request({{"op", "status"}, {"configuration", id}});
        return answer ? (*answer)["result"].value("providerPid", 0) : 0;
    }
};

} // namespace

// SIGKILL of the provider, the service or a client in each tunnel state.
TEST(Faults, KillsInEveryTunnelState) {
    for (const std::string state : {"connecting", "connected", "disconnecting"}) {
        {
            // The provider: the tunnel is down at once, with the reason, and the service serves on.
            Tunnel t(state);
            ASSERT_TRUE(t.ready) << state;
            const qint64 provider = t.providerPid();
            ASSERT_GT(provider, 0) << state;
            ::kill(static_cast<pid_t>(provider), SIGKILL);
            auto down = t.control->event(statusIs(t.id, 1));
            ASSERT_TRUE(down) << state;
            if (state != "disconnecting") {
                EXPECT_EQ(down->value("error", ""), "隧道提供者异常退出") << state;
            }
            EXPECT_TRUE(t.control->request({{"op", "status"}, {"configuration", t.id}})) << state;
        }
        {
            // The service: its provider goes with it and a client hears the loss at once.
            Tunnel t(state);
            ASSERT_TRUE(t.ready) << state;
            TunnelServiceClient::Options options;
            options.socketPath = t.service.socketPath();
            TunnelServiceClient client(options);
            bool answered = false;
            client.status(nullptr, t.id, [&](int, const auto&) { answered = true; });
            ASSERT_TRUE(waitUntil([&] { return answered; })) << state;
            bool lost = false;
            QObject::connect(&client, &TunnelServiceClient::serviceLost, [&] { lost = true; });
            const qint64 provider = t.providerPid();
            t.service.killService(SIGKILL);
            EXPECT_TRUE(waitUntil([&] { return lost; })) << state;
            EXPECT_TRUE(waitUntil([&] { return !processAlive(provider); })) << state;
        }
        {
            // A client: the tunnel belongs to the service and goes on; other clients are served.
            Tunnel t(state);
            ASSERT_TRUE(t.ready) << state;
            const pid_t other = startingClient(t.service.socketPath(), t.id);
            ASSERT_TRUE(t.control->request({{"op", "status"}, {"configuration", t.id}}));
            ::kill(other, SIGKILL);
            ::waitpid(other, nullptr, 0);
            auto status = t.control->request({{"op", "status"}, {"configuration", t.id}});
            ASSERT_TRUE(status) << state;
            const int expected = state == "connecting" ? 2 : state == "connected" ? 3 : 5;
            const int now = (*status)["result"].value("status", 0);
            EXPECT_TRUE(now == expected || (state == "disconnecting" && now == 1)) << state << " " << now;
        }
    }
}

// The service frozen for 1 s and for 10 s: the client's calls end by their deadline, its loop stays
// responsive, and the tunnel is still up when the service runs again.
TEST(Faults, AStoppedServiceKeepsTheTunnelAndEveryCallHasADeadline) {
    for (const int stallMs : {1000, 10000}) {
        // Liveness checked every second, so the check falls inside and right after the stall.
        Tunnel t("connected", {"--liveness-check", "1"});
        ASSERT_TRUE(t.ready);
        TunnelServiceClient::Options options;
        options.socketPath = t.service.socketPath();
        options.requestTimeoutMs = 400; // fails well within the shorter stall
        TunnelServiceClient client(options);
        client.subscribeStatus();
        std::vector<int> heard;
        QObject::connect(&client, &TunnelServiceClient::statusChanged,
                         [&](const QString&, int s) { heard.push_back(s); });
        ASSERT_TRUE(waitUntil([&] { return !heard.empty(); }));

        QElapsedTimer stall, gap;
        qint64 longestGap = 0;
        QTimer tick;
        tick.setInterval(20);
        QObject::connect(&tick, &QTimer::timeout, [&] { longestGap = std::max(longestGap, gap.restart()); });
        gap.start();
        tick.start();
        ::kill(static_cast<pid_t>(t.service.servicePid()), SIGSTOP);
        stall.start();
        std::optional<int> failed; // the error code
        bool failedInTime = false;
        client.sendProviderMessage(nullptr, t.id, "Hello", [&](std::optional<QByteArray>, const auto& error) {
            failed = error ? error->code : 0;
            failedInTime = stall.elapsed() < 3000;
        });
        waitUntil([&] { return stall.elapsed() >= stallMs; }, std::chrono::milliseconds(stallMs + 1000));
        ::kill(static_cast<pid_t>(t.service.servicePid()), SIGCONT);
        tick.stop();
        ASSERT_TRUE(failed) << stallMs;
        EXPECT_EQ(*failed, tunnelproto::ServiceUnavailable) << stallMs;
        EXPECT_TRUE(failedInTime) << stallMs;
        EXPECT_LT(longestGap, 500) << stallMs;

        // Given time to judge, the service keeps the tunnel: no drop is heard, the status is connected.
        heard.clear();
        waitUntil([&] { return std::find(heard.begin(), heard.end(), 1) != heard.end(); },
                  std::chrono::seconds(5));
        EXPECT_TRUE(std::find(heard.begin(), heard.end(), 1) == heard.end()) << stallMs;
        auto status = t.control->request({{"op", "status"}, {"configuration", t.id}});
        ASSERT_TRUE(status);
        EXPECT_EQ((*status)["result"]["status"], 3) << stallMs << " " << status->dump();
    }
}

// A save into a full disk or a folder the writer may not write: it fails, says so, and the file on
// disk keeps its previous content.
TEST(Faults, SavingIntoAFullOrUnwritableFolderKeepsTheOldFile) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run the writer as another user";
    struct Case {
        const char* name;
        std::function<void()> limit; // runs in the writer before it starts
    };
    const Case cases[] = {
        {"disk full",
         [] {
             ::signal(SIGXFSZ, SIG_IGN);
             const rlimit small{4096, 4096};
             ::setrlimit(RLIMIT_FSIZE, &small);
         }},
        {"folder read-only for the writer",
         [] {
             if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                 ::_exit(9);
         }},
    };
    for (const auto& c : cases) {
        TempXdg xdg;
        const std::string path = xdg.path("XDG_CONFIG_HOME") + "/nimo/settings.json";
        ASSERT_TRUE(platform::JsonFileStore(path).set("kept", "old value"));
        ::chmod(xdg.root().c_str(), 0755);
        ::chmod(xdg.path("XDG_CONFIG_HOME").c_str(), 0755);
        const QByteArray before = readAll(path);
        QProcess p;
        p.setChildProcessModifier(c.limit);
        p.start(QString::fromStdString(writer()), {"set", QString::fromStdString(path), "big", "100000"});
        ASSERT_TRUE(p.waitForFinished(20000)) << c.name;
        EXPECT_EQ(p.exitCode(), 1) << c.name; // reported as not stored
        EXPECT_EQ(readAll(path), before) << c.name;
        EXPECT_EQ(platform::JsonFileStore(path).string("kept"), "old value") << c.name;
    }
}

// Damaged and empty settings, shared-container and configuration files: damaged ones are set aside
// (never deleted) and work goes on from empty; empty ones are empty stores.
TEST(Faults, DamagedFilesAreSetAsideNeverDeleted) {
    struct Case {
        const char* name;
        std::function<std::string()> path;
        QByteArray content;
        bool setAside;
    };
    const Case cases[] = {
        {"settings, junk", [] { return platform::paths::settingsFile(); }, "\xff\xfe{{junk", true},
        {"settings, empty", [] { return platform::paths::settingsFile(); }, "", false},
        {"shared container, truncated", [] { return NimoShared::domainPath(); }, "{\"nimo_tun_mode\":\"glo",
         true},
        {"shared container, not an object", [] { return NimoShared::domainPath(); }, "[1,2]", true},
        {"shared container, empty", [] { return NimoShared::domainPath(); }, "", false},
    };
    for (const auto& c : cases) {
        TempXdg xdg;
        const std::string path = c.path();
        QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
        {
            QFile f(QString::fromStdString(path));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.content);
        }
        platform::JsonFileStore store(path);
        EXPECT_FALSE(store.value("anything")) << c.name;
        EXPECT_TRUE(store.set("after", 1)) << c.name;
        const QFileInfo info(QString::fromStdString(path));
        const QStringList aside = QDir(info.absolutePath()).entryList({info.fileName() + ".corrupt-*"});
        EXPECT_EQ(aside.size(), c.setAside ? 1 : 0) << c.name;
        if (c.setAside && !aside.isEmpty()) {
            EXPECT_EQ(readAll(info.absolutePath().toStdString() + "/" + aside.front().toStdString()),
                      c.content)
                << c.name;
        }
    }

    // The service's configuration file: set aside, and the service starts from an empty list.
    ServiceHarness service;
    const std::string configurations = service.xdg().path("XDG_STATE_HOME") + "/nimo/configurations.json";
    QDir().mkpath(QString::fromStdString(service.xdg().path("XDG_STATE_HOME") + "/nimo"));
    {
        QFile f(QString::fromStdString(configurations));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("{\"configurations\": [tru");
    }
    ASSERT_TRUE(service.start());
    RawClient raw(service.socketPath());
    auto list = raw.request({{"op", "loadAll"}, {"application", "com.nimomac.qn"}});
    ASSERT_TRUE(list && list->value("ok", false));
    EXPECT_TRUE((*list)["result"]["configurations"].empty());
    EXPECT_EQ(QDir(QString::fromStdString(service.xdg().path("XDG_STATE_HOME") + "/nimo"))
                  .entryList({"configurations.json.corrupt-*"})
                  .size(),
              1);
}

// 1000 writers killed at a random moment of a save: the file is always whole and valid, never set
// aside, and the next writer never waits on what the killed one left.
TEST(Faults, AThousandWritersKilledMidSave) {
    TempXdg xdg;
    const std::string path = xdg.path("kill/settings.json");
    ASSERT_TRUE(platform::JsonFileStore(path).set("counter", 0));
    std::string big(100000, 'x');
    for (int cycle = 0; cycle < 1000; ++cycle) {
        // A forked writer (cheaper than a new process each time) that saves until it is killed.
        const pid_t child = ::fork();
        if (child == 0) {
            platform::JsonFileStore store(path);
            for (long i = 0;; ++i) {
                big[static_cast<std::size_t>(i) % big.size()] = static_cast<char>('a' + i % 26);
                (void)store.set("big", big);
                (void)store.set("counter", i);
            }
        }
        ASSERT_GT(child, 0);
        ::usleep(static_cast<useconds_t>(QRandomGenerator::global()->bounded(4000)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const QByteArray data = readAll(path);
        const json parsed = json::parse(data.begin(), data.end(), nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << "cycle " << cycle;
    }
    // The next save is not held up by anything the killed writers left.
    EXPECT_TRUE(platform::JsonFileStore(path).set("after", true));
    const QStringList aside =
        QDir(QString::fromStdString(xdg.path("kill"))).entryList({"settings.json.corrupt-*"});
    EXPECT_TRUE(aside.isEmpty());
}

// Two clients fire 1000 overlapping start and stop requests each: at no moment do two providers of
// the tunnel run, every request is answered, and the tunnel ends in a known state.
TEST(Faults, TwoClientsRacingStartAndStopNeverRunTwoProviders) {
    ServiceHarness service;
    ASSERT_TRUE(service.start());
    RawClient a(service.socketPath()), b(service.socketPath());
    ASSERT_TRUE(install(a, extensionPackage(testPackageRoot())));
    const std::string id = saveConfiguration(a, kProviderConfiguration);
    std::size_t most = 0;
    std::vector<std::int64_t> sentA, sentB;
    for (int i = 0; i < 1000; ++i) {
        const json op = {{"op", i % 2 == 0 ? "start" : "stop"}, {"configuration", id}};
        sentA.push_back(a.send(op));
        sentB.push_back(b.send({{"op", i % 2 == 0 ? "stop" : "start"}, {"configuration", id}}));
        if (i % 20 == 0) {
            QCoreApplication::processEvents();
            most = std::max(most, childPids(service.servicePid()).size());
        }
    }
    for (RawClient* c : {&a, &b})
        for (auto requestId : c == &a ? sentA : sentB) {
            auto answer = c->answer(requestId, std::chrono::seconds(30));
            ASSERT_TRUE(answer) << requestId;
            most = std::max(most, childPids(service.servicePid()).size());
        }
    EXPECT_LE(most, 1u);
    ASSERT_TRUE(waitUntil(
        [&] {
            a.request({{"op", "stop"}, {"configuration", id}});
            return childPids(service.servicePid()).empty();
        },
        std::chrono::seconds(20)));
    auto status = a.request({{"op", "status"}, {"configuration", id}});
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["result"]["status"], 1);
}
