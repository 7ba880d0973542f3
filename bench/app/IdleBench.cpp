// What the real client (bin/nimo, untouched) costs while nothing happens, and its peak memory.
// Run under a display and a private session bus, as scripts/bench does:
//   xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bin/idle_bench [cycles [shots dir]]
// This program stands for the desktop: it is the panel's status-item watcher (so closing the
// window hides it to the tray), starts the local account service and the tunnel service on
// temporary folders, and drives the client's window with xdotool as a user would. For each case it
// reads the client's CPU ticks (utime + stime) and context switches (voluntary and not, every
// thread) over 10 s, and its VmHWM.
//   signed out: fresh settings (the title strip's sign-in hint animates while shown); peak memory
//     3 s after the window shows, then after 20 toasts ("请先登录再使用", start pressed signed out)
//     and `cycles` (100) sign-ins (typed into the sign-in alert) and sign-outs (account page),
//     resident memory before and after
//   connected: signed in (seeded token), start pressed; then `cycles` (100) disconnects and
//     connects through the window, resident memory before and after
// The floor is the floor window of the start figure: its peak 3 s after it shows, and 10 s idle.

#include "DevService.h"
#include "ProcessActivity.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

using namespace nimo;
using bench::processActivity;
using bench::statusKiB;

namespace {

// The panel's watcher: the client's status item registers here, so the client has a tray.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
public:
    QStringList items;
public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }
};

void pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        pause(100);
    }
    return true;
}

QString tool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The client's top-level window (mapped, titled "NimoMac"), or empty.
QString visibleWindow() {
    return tool("xdotool", {"search", "--onlyvisible", "--name", "^NimoMac$"}).section('\n', 0, 0);
}

// Clicks at a point of the window, in its own coordinates.
void clickIn(const QString& window, int x, int y, int settleMs = 0) {
    const QString geometry = tool("xdotool", {"getwindowgeometry", "--shell", window});
    int left = 0, top = 0;
    for (const QString& line : geometry.split('\n')) {
        if (line.startsWith("X="))
            left = line.mid(2).toInt();
        if (line.startsWith("Y="))
            top = line.mid(2).toInt();
    }
    tool("xdotool", {"mousemove", QString::number(left + x), QString::number(top + y), "click", "1"});
    if (settleMs > 0)
        pause(settleMs);
}

// Replaces the text of the field at a point of the window with text, typed key by key.
void typeInto(const QString& window, int x, int y, const char* text) {
    clickIn(window, x, y, 200);
    tool("xdotool", {"key", "--clearmodifiers", "ctrl+a", "BackSpace"});
    tool("xdotool", {"type", "--delay", "15", "--", text});
}

void memory(const char* what, qint64 pid) {
    std::printf("%s: VmHWM %ld KiB, VmRSS %ld KiB\n", what, statusKiB(pid, "VmHWM:"),
                statusKiB(pid, "VmRSS:"));
    std::fflush(stdout);
}

void report(const char* what, qint64 pid, int seconds) {
    const bench::Activity before = processActivity(pid);
    pause(seconds * 1000);
    const bench::Activity after = processActivity(pid);
    std::printf("%s: %lld CPU ticks, %lld wake-ups in %d s; VmHWM %ld KiB, VmRSS %ld KiB\n", what,
                after.ticks - before.ticks, after.switches - before.switches, seconds,
                statusKiB(pid, "VmHWM:"), statusKiB(pid, "VmRSS:"));
    if (const QString woken = bench::wokenThreads(before, after); !woken.isEmpty())
        std::printf("  woken:%s\n", qPrintable(woken));
    std::fflush(stdout);
}

void shot(const QString& dir, const QString& name) {
    if (!dir.isEmpty())
        tool("import", {"-window", "root", dir + "/" + name + ".png"});
}

struct Client {
    QProcess process;
    explicit Client(const QString& bin) {
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(bin + "/nimo", {});
    }
    ~Client() {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(2000);
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString bin = QCoreApplication::applicationDirPath();
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 100;
    const QString shots = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    constexpr int kStartButton[] = {191, 258}, kRing[] = {133, 253}, kClose[] = {895, 24};
    constexpr int kSignIn[] = {774, 24}, kAccountField[] = {460, 185}, kPasswordField[] = {460, 241},
                  kSubmit[] = {460, 364}, kAccountTab[] = {690, 502}, kSignOut[] = {836, 472},
                  kHomeTool[] = {92, 90};
    constexpr int kSeconds = 10;

    QTemporaryDir home;
    for (const char* var :
         {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const QString dir = home.path() + "/" + var;
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv(var, dir.toLocal8Bit());
    }
    qputenv("GSETTINGS_BACKEND", "keyfile"); // the tunnel points a keyfile's proxy at itself
    qunsetenv("QT_QPA_PLATFORM");

    Watcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerService("org.kde.StatusNotifierWatcher") ||
        !bus.registerObject("/StatusNotifierWatcher", &watcher, QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "no session bus: run under dbus-run-session\n");
        return 1;
    }

    const QString fixture = home.path() + "/fixture.json";
    {
        QFile f(fixture);
        f.open(QIODevice::WriteOnly);
        f.write(nlohmann::json{{"demo", true}, {"tokens", {{"launch-token", devservice::kDemoEmail}}}}
                    .dump()
                    .c_str());
    }
    QProcess account;
    account.setProcessChannelMode(QProcess::SeparateChannels);
    account.setStandardErrorFile(QProcess::nullDevice());
    account.start(bin + "/nimo-devservice", {"--port", "0", "--fixture", fixture});
    if (!account.waitForReadyRead(10000)) {
        std::fprintf(stderr, "nimo-devservice did not start\n");
        return 1;
    }
    const std::string host = "http://127.0.0.1:" + account.readLine().trimmed().toStdString();
    QProcess tunnel;
    tunnel.setStandardOutputFile(QProcess::nullDevice());
    tunnel.setStandardErrorFile(QProcess::nullDevice());
    tunnel.start(bin + "/nimo-tunneld", {"--auto-approve", "--idle-exit", "0", "--log-stderr"});
    tunnel.waitForStarted();
    auto tunnelStatus = [&] { return tool(bin + "/nimo-tunneld", {"status"}); };

    int result = 0;
    {
        // Signed out: only the remembered host, so start-up requests stay on this machine.
        SettingsStore settings;
        settings.set(UserDefaultsCacheKeys::lastOkHost, host);
        Client client(bin);
        if (!waitFor([] { return !visibleWindow().isEmpty(); }, 30000)) {
            std::fprintf(stderr, "the client's window did not show\n");
            return 1;
        }
        pause(3000);
        shot(shots, "signed-out");
        const qint64 pid = client.process.processId();
        memory("signed out, 3 s after the window shows", pid);
        report("signed out, window shown", pid, kSeconds);
        for (int i = 0; i < 20; ++i) {
            clickIn(visibleWindow(), kStartButton[0], kStartButton[1]);
            pause(i == 0 ? 1000 : 3000); // a toast's whole cycle is 2.8 s
            if (i == 0)
                shot(shots, "toast");
        }
        pause(1000);
        memory("signed out, after 20 toasts", pid);
        {
            // The first sign-in builds the pages and loads what they show; growth is counted after it.
            long before = 0;
            int done = 0;
            for (; done <= cycles; ++done) {
                if (done == 1)
                    before = statusKiB(pid, "VmRSS:");
                const QString window = visibleWindow();
                clickIn(window, kSignIn[0], kSignIn[1], 500);
                typeInto(window, kAccountField[0], kAccountField[1], devservice::kDemoEmail);
                typeInto(window, kPasswordField[0], kPasswordField[1], devservice::kDemoPassword);
                clickIn(window, kSubmit[0], kSubmit[1]);
                if (!waitFor([&] { return settings.isSignedIn(); }, 15000))
                    break;
                pause(2500); // the account records arrive and the "登录成功！" toast fades
                clickIn(window, kAccountTab[0], kAccountTab[1], 500);
                clickIn(window, kSignOut[0], kSignOut[1]);
                if (!waitFor([&] { return !settings.isSignedIn(); }, 15000))
                    break;
                clickIn(window, kHomeTool[0], kHomeTool[1], 500);
            }
            pause(3000);
            std::printf("%d sign-in/sign-out cycles: VmRSS %ld -> %ld KiB, VmHWM %ld KiB\n", done - 1, before,
                        statusKiB(pid, "VmRSS:"), statusKiB(pid, "VmHWM:"));
            std::fflush(stdout);
            if (done <= cycles) {
                shot(shots, "sign-in-cycle-failed");
                result = 1;
            }
        }
        clickIn(visibleWindow(), kClose[0], kClose[1]);
        if (!waitFor([] { return visibleWindow().isEmpty(); }, 5000)) {
            std::fprintf(stderr, "closing did not hide the window (tray items: %d)\n",
                         static_cast<int>(watcher.items.size()));
            result = 1;
        }
        pause(1000);
        report("signed out, window hidden", client.process.processId(), kSeconds);
    }
    {
        SettingsStore settings;
        settings.set(UserDefaultsCacheKeys::lastOkHost, host);
        settings.set(UserDefaultsCacheKeys::apiToken, std::string("launch-token"));
        settings.set(UserDefaultsCacheKeys::lastAutoLogin, std::string("true")); // signed in at launch
        Client client(bin);
        if (!waitFor([] { return !visibleWindow().isEmpty(); }, 30000)) {
            std::fprintf(stderr, "the client's window did not show\n");
            return 1;
        }
        pause(3000);
        shot(shots, "signed-in");
        report("signed in, window shown, after start", client.process.processId(), 1);
        const qint64 pid = client.process.processId();
        clickIn(visibleWindow(), kStartButton[0], kStartButton[1]); // "一键加速"
        if (!waitFor([&] { return tunnelStatus().contains("(3)"); }, 30000)) {
            shot(shots, "not-connected");
            std::fprintf(stderr, "the tunnel did not connect: %s\n", qPrintable(tunnelStatus()));
            return 1;
        }
        pause(3000); // the "proxy on" toast fades
        shot(shots, "connected");
        report("connected, window shown", pid, kSeconds);
        const long before = statusKiB(pid, "VmRSS:");
        int done = 0;
        for (; done < cycles; ++done) {
            clickIn(visibleWindow(), kRing[0], kRing[1]); // the ring: stop
            if (!waitFor([&] { return tunnelStatus().contains("(1)"); }, 15000))
                break;
            pause(300);
            clickIn(visibleWindow(), kStartButton[0], kStartButton[1]);
            if (!waitFor([&] { return tunnelStatus().contains("(3)"); }, 30000))
                break;
            pause(300);
        }
        pause(3000);
        std::printf("%d disconnect/connect cycles: VmRSS %ld -> %ld KiB, VmHWM %ld KiB\n", done, before,
                    statusKiB(pid, "VmRSS:"), statusKiB(pid, "VmHWM:"));
        if (done < cycles) {
            shot(shots, "cycle-failed");
            result = 1;
        }
        clickIn(visibleWindow(), kClose[0], kClose[1]);
        if (!waitFor([] { return visibleWindow().isEmpty(); }, 5000)) {
            std::fprintf(stderr, "closing did not hide the window\n");
            result = 1;
        }
        // NIMO_BENCH_STRACE=file: what wakes the hidden client, from the close through the report.
        QProcess strace;
        if (const QString trace = qEnvironmentVariable("NIMO_BENCH_STRACE"); !trace.isEmpty()) {
            strace.start("strace", {"-f", "-tt", "-o", trace, "-p", QString::number(pid)});
            strace.waitForStarted();
        }
        pause(1000);
        report("connected, window hidden", pid, kSeconds);
        if (strace.state() != QProcess::NotRunning) {
            strace.terminate();
            strace.waitForFinished();
        }
        tool(bin + "/nimo-tunneld", {"stop"});
    }
    {
        QProcess floor;
        floor.setStandardErrorFile(QProcess::nullDevice());
        floor.start(bin + "/floor_window", {});
        if (waitFor([] { return !visibleWindow().isEmpty(); }, 30000)) {
            pause(3000);
            memory("floor window, 3 s after it shows", floor.processId());
            report("floor window, shown", floor.processId(), kSeconds);
        }
        floor.kill();
        floor.waitForFinished();
    }
    tunnel.terminate();
    tunnel.waitForFinished(5000);
    account.terminate();
    account.waitForFinished(5000);
    return result;
}

#include "IdleBench.moc"
