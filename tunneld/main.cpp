// nimo-tunneld: the per-user tunnel service. Also its command line for users and scripts, answering
// from the running service: status, list, stop, approve <identifier>, logs.

#include "NimoBuildConfig.h"
#include "TunnelService.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/UnixSocket.h"
#include "tunnel/TunnelProtocol.h"
#include "tunnel/TunnelTypes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace nimo;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}

void usage() {
    std::fputs(
        "usage: nimo-tunneld [--auto-approve] [--idle-exit SECONDS] [--socket PATH] [--state-dir DIR]\n"
        "                    [--log-stderr] [--liveness-check SECONDS]\n"
        "       nimo-tunneld status | list | stop | logs [--socket PATH]\n"
        "       nimo-tunneld approve <extension identifier> [--socket PATH]\n",
        stderr);
}

constexpr int kExitFailed = 1, kExitNoService = 3;

// One connection to the running service for the commands; requests are answered in turn.
class Control {
public:
    explicit Control(const std::string& socketPath) : path_(socketPath) {
        socket_.connectToServer(QString::fromStdString(socketPath));
        connected_ = socket_.waitForConnected(3000) && next([](const nlohmann::json& line) {
                                                           return line.value("event", "") == "hello";
                                                       }).has_value();
    }
    bool connected() const { return connected_; }
    void saySilent() const {
        std::printf("nimo-tunneld 未运行（%s）\n状态：%s (0)\n菜单：%s\n", path_.c_str(), vpnStatusLogName(0),
                    statusMenuText(0).c_str());
    }
    // The answer's result, or nullopt with the reason printed.
    std::optional<nlohmann::json> request(const std::string& op,
                                          nlohmann::json fields = nlohmann::json::object()) {
        fields["id"] = ++lastId_;
        fields["op"] = op;
        socket_.write(tunnelproto::encodeLine(fields));
        socket_.flush();
        const auto id = lastId_;
        auto answer = next([id](const nlohmann::json& line) {
            return !line.contains("event") && line.value("id", nlohmann::json()) == id;
        });
        if (!answer) {
            std::fprintf(stderr, "nimo-tunneld 没有应答\n");
            return std::nullopt;
        }
        if (!answer->value("ok", false)) {
            const auto error = tunnelproto::errorFromJson(answer->value("error", nlohmann::json()));
            std::fprintf(stderr, "%s 失败：%s (%d)\n", op.c_str(), error.description.c_str(), error.code);
            return std::nullopt;
        }
        return answer->value("result", nlohmann::json::object());
    }
    // The next line matching pred within the deadline (others are dropped).
    std::optional<nlohmann::json> next(const std::function<bool(const nlohmann::json&)>& pred,
                                       int deadlineMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            for (auto it = pending_.begin(); it != pending_.end(); ++it)
                if (pred(*it)) {
                    auto found = *it;
                    pending_.erase(it);
                    return found;
                }
            const int left = deadlineMs - static_cast<int>(clock.elapsed());
            if (left <= 0 || !socket_.waitForReadyRead(left))
                return std::nullopt;
            for (const auto& line : lines_.feed(socket_.readAll())) {
                auto parsed = nlohmann::json::parse(line.text, nullptr, false);
                if (parsed.is_object())
                    pending_.push_back(std::move(parsed));
            }
        }
    }

private:
    std::string path_;
    QLocalSocket socket_;
    tunnelproto::LineBuffer lines_;
    std::vector<nlohmann::json> pending_;
    bool connected_ = false;
    std::int64_t lastId_ = 0;
};

std::string modeText(const std::string& mode) {
    return mode == kTunModeGlobal ? "全局模式" : "PAC 模式（规则）";
}

std::string nodeText(const std::string& node) {
    return node.empty() || node == kAutoRouteNode ? kAutoRouteTitle : node;
}

// The client's configurations with their status, in the order they were saved.
std::optional<std::vector<std::pair<nlohmann::json, nlohmann::json>>> clientTunnels(Control& control) {
    auto all = control.request("loadAll", {{"application", build::kBundleId}});
    if (!all)
        return std::nullopt;
    std::vector<std::pair<nlohmann::json, nlohmann::json>> tunnels;
    for (const auto& configuration : all->value("configurations", nlohmann::json::array())) {
        const auto id = tunnelproto::stringField(configuration, "identifier").value_or("");
        auto status = control.request("status", {{"configuration", id}});
        if (!status)
            return std::nullopt;
        tunnels.emplace_back(configuration, *status);
    }
    return tunnels;
}

// ---- global mode's system-wide capture, as nimo-netd holds it for this user

std::optional<nlohmann::json> netdAsk(const char* op) {
    const auto answer = platform::unixExchange(platform::paths::netdSocket(),
                                               tunnelproto::encodeLine({{"op", op}}), 4096, 2000);
    const auto reply = nlohmann::json::parse(answer.reply.toStdString(), nullptr, false);
    if (!answer.connected || !reply.is_object())
        return std::nullopt;
    return reply;
}

void printCapture() {
    const auto reply = netdAsk("status");
    const std::string capture = reply ? reply->value("capture", "") : "";
    if (!reply)
        std::printf("全局捕获：nimo-netd 不可用（全局模式只经桌面代理设置）\n");
    else if (capture == "on")
        std::printf("全局捕获：已开启\n断网保护：%s\n",
                    reply->value("killSwitch", false) ? "已开启" : "未开启");
    else if (capture == "held")
        std::printf(
            "全局捕获：隧道已意外断开\n断网保护：正在拦截（重新连接或执行 nimo-tunneld stop 解除）\n");
    else
        std::printf("全局捕获：未开启\n");
}

int runStatus(Control& control) {
    auto tunnels = clientTunnels(control);
    if (!tunnels)
        return kExitFailed;
    // The client's tunnel is its first configuration of the client's own provider, as the menu's is.
    const nlohmann::json* status = nullptr;
    std::string configurationId;
    for (const auto& [configuration, s] : *tunnels) {
        const auto protocol = configuration.value("protocol", nlohmann::json::object());
        if (protocol.is_object() && protocol.value("providerBundleIdentifier", "") == kTunnelBundleId) {
            status = &s;
            configurationId = tunnelproto::stringField(configuration, "identifier").value_or("");
            break;
        }
    }
    if (!status) {
        std::printf("没有 NimoMac 的隧道配置\n状态：%s (0)\n菜单：%s\n", vpnStatusLogName(0),
                    statusMenuText(0).c_str());
        return 0;
    }
    const int value = static_cast<int>(tunnelproto::integerField(*status, "status").value_or(0));
    std::printf("状态：%s (%d)\n菜单：%s\n", vpnStatusLogName(value), value, statusMenuText(value).c_str());
    // A running provider says where the tunnel is now (node and mode may have changed since the start).
    nlohmann::json now;
    if (value == 3 || value == 4) {
        auto reply = control.request("message", {{"configuration", configurationId},
                                                 {"data", tunnelproto::toBase64(QByteArray("Hello"))}});
        const auto data =
            reply && reply->contains("data") ? tunnelproto::fromBase64((*reply)["data"]) : std::nullopt;
        const auto parsed = nlohmann::json::parse(data ? data->toStdString() : std::string(), nullptr, false);
        if (parsed.is_object() && parsed.contains("state") && parsed["state"].is_object())
            now = parsed["state"];
    }
    const auto options = status->value("options", nlohmann::json::object());
    const auto from = [&](const char* key) {
        if (auto found = now.is_object() ? tunnelproto::stringField(now, key) : std::nullopt)
            return found;
        return options.is_object() ? tunnelproto::stringField(options, key) : std::nullopt;
    };
    if (now.is_object() || (options.is_object() && !options.empty())) {
        const auto node =
            now.is_object() && now.contains("node") ? tunnelproto::stringField(now, "node") : std::nullopt;
        std::printf("节点：%s\n模式：%s\n", (node ? *node : nodeText(from("nodeName").value_or(""))).c_str(),
                    modeText(from("tunMode").value_or(kTunModeRule)).c_str());
    }
    if (auto port = now.is_object() ? tunnelproto::integerField(now, "socksPort") : std::nullopt)
        std::printf("SOCKS5：127.0.0.1:%lld\n", static_cast<long long>(*port));
    if (auto pac = now.is_object() ? tunnelproto::stringField(now, "pacUrl") : std::nullopt)
        std::printf("PAC：%s\n", pac->c_str());
    if (auto pid = tunnelproto::integerField(*status, "providerPid"); pid && *pid > 0)
        std::printf("隧道提供者进程：%lld\n", static_cast<long long>(*pid));
    if (auto error = tunnelproto::stringField(*status, "lastError"); error && !error->empty())
        std::printf("上次断开原因：%s\n", error->c_str());
    printCapture();
    return 0;
}

int runList(Control& control) {
    auto tunnels = clientTunnels(control);
    if (!tunnels)
        return kExitFailed;
    if (tunnels->empty())
        std::printf("没有隧道配置\n");
    for (const auto& [configuration, status] : *tunnels) {
        const int value = static_cast<int>(tunnelproto::integerField(status, "status").value_or(0));
        const auto protocol = configuration.value("protocol", nlohmann::json::object());
        std::printf("%s  %s  %s  %s%s\n",
                    tunnelproto::stringField(configuration, "identifier").value_or("?").c_str(),
                    tunnelproto::stringField(configuration, "localizedDescription").value_or("").c_str(),
                    protocol.is_object() ? protocol.value("providerBundleIdentifier", "").c_str() : "",
                    vpnStatusLogName(value), configuration.value("enabled", false) ? "" : "  （未启用）");
    }
    return 0;
}

int runStop(Control& control) {
    if (!control.request("subscribe", {{"application", build::kBundleId}}))
        return kExitFailed;
    auto tunnels = clientTunnels(control);
    if (!tunnels)
        return kExitFailed;
    int stopped = 0;
    for (const auto& [configuration, status] : *tunnels) {
        const int value = static_cast<int>(tunnelproto::integerField(status, "status").value_or(0));
        if (value == 0 || value == 1)
            continue;
        const std::string id = tunnelproto::stringField(configuration, "identifier").value_or("");
        if (!control.request("stop", {{"configuration", id}}))
            return kExitFailed;
        const auto ended = control.next(
            [&id](const nlohmann::json& line) {
                return line.value("event", "") == "status" && line.value("configuration", "") == id &&
                       (line.value("status", -1) == 1 || line.value("status", -1) == 0);
            },
            12000);
        if (!ended) {
            std::fprintf(stderr, "隧道没有在 12 秒内断开\n");
            return kExitFailed;
        }
        ++stopped;
    }
    // A block the kill switch holds after an unexpected end goes with an explicit stop.
    if (const auto held = netdAsk("status"); held && held->value("capture", "") == "held" && netdAsk("off"))
        std::printf("断网保护：已解除\n");
    std::printf(stopped ? "已断开\n状态：%s (1)\n菜单：%s\n" : "没有运行中的隧道\n状态：%s (1)\n菜单：%s\n",
                vpnStatusLogName(1), statusMenuText(1).c_str());
    return 0;
}

int runApprove(Control& control, const std::string& identifier) {
    auto result = control.request("approve", {{"identifier", identifier}});
    if (!result)
        return kExitFailed;
    std::printf("approved %s\n", identifier.c_str());
    return 0;
}

std::string logFile(const std::string& stateDir) {
    return stateDir + "/tunneld.log";
}

bool journalRuns() {
    return QFileInfo::exists("/run/systemd/journal/socket");
}

// The service's and its providers' log: the journal where it runs, the service's log file otherwise.
int runLogs(const std::string& stateDir) {
    if (journalRuns())
        return QProcess::execute("journalctl", {"--no-pager", "-q", "-n", "200", "SYSLOG_IDENTIFIER=nimo"}) ==
                       0
                   ? 0
                   : kExitFailed;
    QStringList lines;
    for (const QString& path :
         {QString::fromStdString(logFile(stateDir)) + ".1", QString::fromStdString(logFile(stateDir))}) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            lines += QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    if (lines.isEmpty()) {
        std::printf("没有日志（%s）\n", logFile(stateDir).c_str());
        return 0;
    }
    for (qsizetype i = std::max<qsizetype>(0, lines.size() - 200); i < lines.size(); ++i)
        std::printf("%s\n", lines[i].toUtf8().constData());
    return 0;
}

// Without a journal the service's lines (and its providers', which share its stderr) go to a file
// that "logs" can show; kept under 1 MiB by one rotation.
void logToFile(const std::string& stateDir) {
    if (journalRuns() || !platform::paths::ensureDir(stateDir, 0700))
        return;
    const std::string path = logFile(stateDir);
    if (QFileInfo(QString::fromStdString(path)).size() > 1024 * 1024)
        std::rename(path.c_str(), (path + ".1").c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
}

constexpr int kHelloMs = 5000;

// The holder of the instance lock does not answer on the socket (frozen, or deaf without its
// socket file): it is ended, first asked, then killed, and the lock is taken. False when the lock
// could not be had.
bool takeOverLock(int lockFd, const platform::SystemLog& log) {
    char text[32] = {};
    const ssize_t n = ::pread(lockFd, text, sizeof text - 1, 0);
    const pid_t holder = n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
    // Only a process of this program: a reused pid of anything else is left alone.
    const bool ours = holder > 0 && QFileInfo(QString("/proc/%1/exe").arg(holder)).canonicalFilePath() ==
                                        QFileInfo("/proc/self/exe").canonicalFilePath();
    log.error("实例锁的持有者不再应答（进程 " + std::to_string(holder) + "），接管服务");
    if (ours) {
        ::kill(holder, SIGTERM);
        ::kill(holder, SIGCONT);
    }
    for (int i = 0; i < 60; ++i) {
        if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (i == 30 && ours)
            ::kill(holder, SIGKILL);
        ::usleep(100 * 1000);
    }
    log.error("无法接管实例锁：进程 " + std::to_string(holder) + " 仍然持有它");
    return false;
}

// Every client and provider costs descriptors; the usual soft limit of 1024 is far below what the
// system allows.
void raiseFileLimit(const platform::SystemLog& log) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 65536);
    if (wanted <= limit.rlim_cur)
        return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
        log.info("文件描述符上限：" + std::to_string(before) + " → " + std::to_string(wanted));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    tunneld::TunnelService::Options options;
    options.socketPath = platform::paths::runtimeDir() + "/tunneld.sock";
    options.stateDir = platform::paths::stateDir();
    std::string command, approveIdentifier;
    bool logStderr = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--auto-approve") {
            options.autoApprove = true;
        } else if (arg == "--idle-exit" && i + 1 < argc) {
            options.idleExitMs = std::atoi(argv[++i]) * 1000;
        } else if (arg == "--liveness-check" && i + 1 < argc) {
            // A quiet provider is pinged this often; the wait for its answer is never longer.
            const int ms = static_cast<int>(std::atof(argv[++i]) * 1000);
            if (ms <= 0) {
                usage();
                return 64;
            }
            options.timings.livenessMs = ms;
            options.timings.silenceMs = std::min(options.timings.silenceMs, std::max(ms, 1000));
        } else if (arg == "--socket" && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (arg == "--state-dir" && i + 1 < argc) {
            options.stateDir = argv[++i];
        } else if (arg == "--log-stderr") {
            logStderr = true;
        } else if (command.empty() && arg == "approve" && i + 1 < argc) {
            command = arg;
            approveIdentifier = argv[++i];
        } else if (command.empty() && (arg == "status" || arg == "list" || arg == "stop" || arg == "logs")) {
            command = arg;
        } else if (arg == "--version") {
            std::printf("nimo-tunneld protocol %d\n", tunnelproto::kVersion);
            return 0;
        } else {
            usage();
            return 64;
        }
    }
    if (command == "logs")
        return runLogs(options.stateDir);
    if (!command.empty()) {
        Control control(options.socketPath);
        if (!control.connected()) {
            control.saySilent();
            return kExitNoService;
        }
        if (command == "status")
            return runStatus(control);
        if (command == "list")
            return runList(control);
        if (command == "stop")
            return runStop(control);
        return runApprove(control, approveIdentifier);
    }
    if (!logStderr)
        logToFile(options.stateDir);

    const platform::SystemLog log("tunneld");
    const std::string dir =
        QFileInfo(QString::fromStdString(options.socketPath)).absolutePath().toStdString();
    if (!platform::paths::ensureDir(dir, 0700)) {
        log.error("无法创建目录 " + dir);
        return 1;
    }
    // One service per socket: a second one leaves the live one alone and exits.
    const std::string lockPath = options.socketPath + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        log.error("无法打开实例锁 " + lockPath);
        return 1;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (platform::unixExchange(options.socketPath, QByteArray(), 4096, kHelloMs)
                .reply.contains("\"hello\"")) {
            log.notice("nimo-tunneld 已在运行：" + options.socketPath);
            return 0;
        }
        if (!takeOverLock(lockFd, log))
            return 1;
    }
    if (::ftruncate(lockFd, 0) == 0) {
        const std::string pid = std::to_string(::getpid()) + "\n";
        [[maybe_unused]] auto n = ::pwrite(lockFd, pid.data(), pid.size(), 0);
    }
    raiseFileLimit(log);

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

    tunneld::TunnelService service(options);
    std::string error;
    if (!service.listen(&error)) {
        log.error(error);
        return 1;
    }
    log.info("nimo-tunneld 已启动：" + options.socketPath);
    service.recoverDesktop();
    const int rc = app.exec();
    log.info("nimo-tunneld 退出");
    return rc;
}
