// nimo-netd: the root service for global mode's system-wide capture and its kill switch.
//   nimo-netd [--socket PATH]   serve (socket activation: the socket the service manager hands over)
//   nimo-netd --remove-all      remove every table this service made (the package's removal step)
#include "NetdService.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {
constexpr const char* kDefaultSocket = "/run/nimo-netd/netd.sock";
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    nimo::netd::NetdService::Options options;
    options.socketPath = kDefaultSocket;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--socket") == 0 && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (std::strcmp(argv[i], "--resolver-uid") == 0 && i + 1 < argc) {
            // Where the system resolver runs as a user other than systemd-resolve.
            char* end = nullptr;
            const unsigned long uid = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || uid == 0 || uid > 0x7fffffffUL) {
                nimo::platform::consoleLog("nimo-netd: --resolver-uid 需要一个非 root 的用户号");
                return 2;
            }
            options.resolverUid = static_cast<uid_t>(uid);
        } else if (std::strcmp(argv[i], "--remove-all") == 0) {
            std::string why;
            if (nimo::netd::NetdService::removeAll(&why))
                return 0;
            nimo::platform::consoleLog("nimo-netd: " + why);
            return 1;
        } else {
            nimo::platform::consoleLog(
                "usage: nimo-netd [--socket PATH] [--resolver-uid UID] | --remove-all");
            return 2;
        }
    }
    if (::geteuid() != 0) {
        nimo::platform::consoleLog("nimo-netd: 需要以 root 运行");
        return 1;
    }
    if (sd_listen_fds(1) == 1)
        options.listenFd = SD_LISTEN_FDS_START;
    if (!options.resolverUid)
        if (const passwd* resolver = ::getpwnam("systemd-resolve"))
            options.resolverUid = resolver->pw_uid;

    nimo::netd::NetdService service(options);
    std::string why;
    if (!service.start(&why)) {
        nimo::platform::consoleLog("nimo-netd: " + why);
        return 1;
    }
    // A stop leaves every table in place: a block in force stays in force until its owner lifts it.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    sd_notify(0, "READY=1");
    return app.exec();
}
