// The reference tunnel provider, com.nimomac.qn.sysne, started by nimo-tunneld.
// "--restore-desktop": put back the desktop proxy settings a provider that died left changed
// (nimo-tunneld runs it when a provider ends without doing so itself, and when it starts).

#include "DesktopProxy.h"
#include "ReferenceProvider.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}
// One line on standard output for nimo-tunneld: "restored", "nothing", "damaged <why>" or
// "failed <why>"; exit 1 when the saved copy is still to be put back.
int restoreDesktop() {
    using nimo::provider::RestoreOutcome;
    nimo::provider::DesktopProxy desktop(nimo::provider::DesktopProxy::defaultSavedFile());
    const RestoreOutcome outcome = desktop.restore();
    const char* word = outcome == RestoreOutcome::Restored  ? "restored"
                       : outcome == RestoreOutcome::Damaged ? "damaged"
                       : outcome == RestoreOutcome::Failed  ? "failed"
                                                            : "nothing";
    std::printf("%s%s%s\n", word, desktop.restoreProblem().empty() ? "" : " ",
                desktop.restoreProblem().c_str());
    return outcome == RestoreOutcome::Failed ? 1 : 0;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--restore-desktop") == 0)
        return restoreDesktop();

    nimo::provider::ReferenceProvider provider;
    // A stop by signal (the service went away) still gives the desktop its settings back.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    // Launched ahead of its start, it has the time to load what its first connect needs.
    QTimer::singleShot(0, &provider, [&provider] { provider.warmUp(); });
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, &provider, [&provider] { provider.shutdown(); });
    return app.exec();
}
