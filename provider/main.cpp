// The reference tunnel provider, com.nimomac.qn.sysne, started by nimo-tunneld.
// "--restore-desktop": put back the desktop proxy settings a provider that died left changed
// (nimo-tunneld runs it when a provider ends without doing so itself).

#include "DesktopProxy.h"
#include "ReferenceProvider.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--restore-desktop") == 0)
        return nimo::provider::DesktopProxy(nimo::provider::DesktopProxy::defaultSavedFile()).restore() ? 0
                                                                                                        : 1;

    nimo::provider::ReferenceProvider provider;
    // A stop by signal (the service went away) still gives the desktop its settings back.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, &provider, [&provider] { provider.shutdown(); });
    return app.exec();
}
