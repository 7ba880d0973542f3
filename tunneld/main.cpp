// nimo-tunneld: the per-user tunnel service. Also "nimo-tunneld approve <identifier>", which approves
// an extension waiting for the user's consent.

#include "TunnelService.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "tunnel/TunnelProtocol.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

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
        "       nimo-tunneld approve <extension identifier> [--socket PATH]\n",
        stderr);
}

// Sends one request to the live service and prints its answer; 0 when it succeeded.
int runApprove(const std::string& socketPath, const std::string& identifier) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socketPath));
    if (!socket.waitForConnected(3000)) {
        std::fprintf(stderr, "nimo-tunneld is not running at %s\n", socketPath.c_str());
        return 2;
    }
    socket.write(tunnelproto::encodeLine({{"id", 1}, {"op", "approve"}, {"identifier", identifier}}));
    socket.flush();
    tunnelproto::LineBuffer lines;
    while (socket.waitForReadyRead(5000)) {
        for (const auto& line : lines.feed(socket.readAll())) {
            const auto message = nlohmann::json::parse(line.text, nullptr, false);
            if (!message.is_object() || message.value("id", nlohmann::json()) != 1)
                continue;
            if (message.value("ok", false)) {
                std::printf("approved %s\n", identifier.c_str());
                return 0;
            }
            const auto error = tunnelproto::errorFromJson(message.value("error", nlohmann::json()));
            std::fprintf(stderr, "approve failed: %s (%d)\n", error.description.c_str(), error.code);
            return 1;
        }
    }
    std::fprintf(stderr, "no answer from nimo-tunneld\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    tunneld::TunnelService::Options options;
    options.socketPath = platform::paths::runtimeDir() + "/tunneld.sock";
    options.stateDir = platform::paths::stateDir();
    std::string approveIdentifier;
    bool approve = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--auto-approve") {
            options.autoApprove = true;
        } else if (arg == "--idle-exit" && i + 1 < argc) {
            options.idleExitMs = std::atoi(argv[++i]) * 1000;
        } else if (arg == "--socket" && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (arg == "--state-dir" && i + 1 < argc) {
            options.stateDir = argv[++i];
        } else if (arg == "approve" && i + 1 < argc) {
            approve = true;
            approveIdentifier = argv[++i];
        } else if (arg == "--version") {
            std::printf("nimo-tunneld protocol %d\n", tunnelproto::kVersion);
            return 0;
        } else {
            usage();
            return 64;
        }
    }
    if (approve)
        return runApprove(options.socketPath, approveIdentifier);

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
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        log.notice("nimo-tunneld 已在运行：" + options.socketPath);
        return 0;
    }

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
    const int rc = app.exec();
    log.info("nimo-tunneld 退出");
    return rc;
}
