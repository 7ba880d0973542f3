// Start press -> connected report through the real window, on loopback: the client's share (the
// subscription request, activation, configuration and start request, up to the connecting report)
// and the provider's (connecting -> connected). Then the CPU a connected client uses with its window
// hidden. Run by hand: build/release/bin/connect_bench [rounds]; figures in docs/performance.md.
#include "ServiceServers.h"
#include "ShellFixture.h"
#include "TunnelTestSupport.h"
#include "app/Application.h"
#include "app/NodesInfoVC.h"
#include "http/SessionManager.h"
#include "platform/Log.h"
#include "service/NMApi.h"
#include "service/UserDefaultsCacheKeys.h"
#include "widgets/ConnectButton.h"
#include "widgets/ImageButton.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

using namespace nimo;
using namespace nimo::test;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// utime + stime of this process, in clock ticks.
long cpuTicks() {
    QFile file(QStringLiteral("/proc/self/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = file.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLong() + fields[12].toLong() : -1;
}

// Context switches of one thread: each is a wake-up.
long switchesOf(const QString& task) {
    long total = 0;
    QFile file(QStringLiteral("/proc/self/task/%1/status").arg(task));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
            total += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    return total;
}

QString threadName(const QString& task) {
    QFile file(QStringLiteral("/proc/self/task/%1/comm").arg(task));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().trimmed()) : QString();
}

// Context switches per thread, the main thread (the client's) first.
std::map<QString, long> contextSwitches() {
    std::map<QString, long> out;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        out[task] = switchesOf(task);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication(app);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    ServiceHarness service; // temporary XDG folders, provider approved on its own
    if (!service.start()) {
        std::fprintf(stderr, "tunnel service did not start\n");
        return 1;
    }
    LocalService account;
    SettingsStore settings;
    (void)settings.set(UserDefaultsCacheKeys::lastOkHost, account.url());
    bool signedIn = false;
    http::SessionManager session(http::SessionManager::standardConfiguration());
    NMApi api(settings, HostList::main, session);
    api.login(devservice::kDemoEmail, devservice::kDemoPassword,
              {.success = [&](bool ok) { signedIn = ok; }});
    waitUntil([&] { return signedIn; });
    VPNTunnelManager tunnel(service.setup());
    ScreenContext screens(settings, tunnel);
    AppDelegate delegate(screens.context, screens.toasts);
    delegate.applicationDidFinishLaunching();
    NodesInfoVC* vc = delegate.mainWC()->mainVC();
    waitUntil([] { return false; }, std::chrono::milliseconds(500));

    QElapsedTimer clock;
    qint64 connecting = -1, connected = -1;
    QObject::connect(&tunnel, &VPNTunnelManager::vpnStatusChanged, &app, [&](VpnStatus status) {
        if (status == VpnStatus::Connecting && connecting < 0)
            connecting = clock.nsecsElapsed();
        if (status == VpnStatus::Connected && connected < 0)
            connected = clock.nsecsElapsed();
    });
    std::vector<double> client, provider, total;
    std::vector<double> phases[3];
    for (int i = 0; i < rounds + 2; ++i) {
        connecting = connected = -1;
        clock.start();
        platform::ScopedLogCapture log;
        vc->onTapButton(vc->startProxyButton());
        // Where the client's share goes: subscription answered, activation finished, start answered.
        const char* marks[] = {"--saveSubUUID:", "Extension 激活成功", "-----开始启动VPN隧道"};
        for (int m = 0; m < 3; ++m) {
            waitUntil([&] { return log.contains(marks[m]); }, std::chrono::seconds(10));
            if (i >= 2)
                phases[m].push_back(clock.nsecsElapsed() / 1e6);
        }
        if (!waitUntil([&] { return connected >= 0; }, std::chrono::seconds(15))) {
            std::fprintf(stderr, "round %d did not connect\n", i);
            return 1;
        }
        if (i >= 2) { // two warm-up rounds
            client.push_back((connecting - 0) / 1e6);
            provider.push_back((connected - connecting) / 1e6);
            total.push_back(connected / 1e6);
        }
        if (i + 1 < rounds + 2) {
            tunnel.stopVPN();
            waitUntil([&] { return delegate.lastVpnState() <= 1 && vc->startProxyButton()->isVisible(); },
                      std::chrono::seconds(10));
        }
    }
    std::printf(
        "start press -> connected over %d rounds (ms, median): client %.2f, provider %.2f, total %.2f\n",
        rounds, median(client), median(provider), median(total));

    std::printf("  client phases (ms from the press, median): subscription %.2f, activation %.2f, start "
                "answered %.2f\n",
                median(phases[0]), median(phases[1]), median(phases[2]));

    // Connected, window closed to the tray: nothing should tick.
    delegate.mainWC()->hide();
    waitUntil([] { return false; }, std::chrono::milliseconds(1000));
    const long ticks0 = cpuTicks();
    const auto switches0 = contextSwitches();
    // Which events reach the main thread while idle (NIMO_BENCH_THREADS=1 prints them).
    struct Counter : QObject {
        std::map<std::pair<int, QString>, int> seen;
        bool eventFilter(QObject* o, QEvent* e) override {
            ++seen[{int(e->type()), QString::fromLatin1(o->metaObject()->className())}];
            return false;
        }
    } counter;
    app.installEventFilter(&counter);
    QEventLoop idle; // sleeps until something wakes the main thread
    QTimer::singleShot(10000, &idle, &QEventLoop::quit);
    idle.exec();
    const auto switches1 = contextSwitches();
    const QString mainTask = QString::number(QCoreApplication::applicationPid());
    std::printf("connected, window hidden, 10 s: %ld CPU ticks (whole process); main thread %ld context "
                "switches (ring running: %s)\n",
                cpuTicks() - ticks0, switches1.at(mainTask) - switches0.at(mainTask),
                vc->connectButton()->startButton()->isAnimationRunning() ? "yes" : "no");
    for (const auto& [task, count] : switches1)
        if (task != mainTask && switches0.count(task) && count - switches0.at(task) > 0)
            std::printf("  thread %s (%s): %ld context switches\n", qPrintable(task),
                        qPrintable(threadName(task)), count - switches0.at(task));
    app.removeEventFilter(&counter);
    if (qEnvironmentVariableIsSet("NIMO_BENCH_THREADS"))
        for (const auto& [key, count] : counter.seen)
            std::printf("  event %d on %s: %d\n", key.first, qPrintable(key.second), count);
    if (qEnvironmentVariableIsSet("NIMO_BENCH_THREADS")) {
        for (const QString& task :
             QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
            if (stat.open(QIODevice::ReadOnly))
                std::printf("  %s\n", stat.readAll().left(120).constData());
        }
    }
    tunnel.stopVPN();
    waitUntil([&] { return delegate.lastVpnState() <= 1; }, std::chrono::seconds(5));
    return 0;
}
