// Shows the client's windows on the current display and saves what is on screen: the status menu
// opened over the main window, then a toast. Used by scripts/screenshots under Xvfb; not a test.
#include "app/AppDelegate.h"
#include "ShellFixture.h"
#include "app/Application.h"
#include "app/NodesInfoVC.h"
#include "service/SettingsStore.h"
#include "support/TestSupport.h"
#include "tunnel/VPNTunnelManager.h"

#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTemporaryDir>
#include <cstdio>

namespace {

bool saveScreen(const QString& path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const bool ok = screen && screen->grabWindow(0).save(path);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

void settle(int ms) {
    nimo::test::waitUntil([] { return false; }, std::chrono::milliseconds(ms));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    nimo::configureApplication(app);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("out");

    nimo::test::TempXdg xdg; // a first start: nothing stored
    nimo::SettingsStore settings;
    nimo::VPNTunnelManager::Setup setup;
    setup.socketPath = xdg.path("no-service.sock");
    nimo::VPNTunnelManager tunnel(setup);
    nimo::test::ScreenContext screens(settings, tunnel);
    nimo::AppDelegate delegate(screens.context, screens.toasts);
    delegate.applicationDidFinishLaunching();
    settle(500);

    // Connected, PAC mode: the menu as a user sees it most of the time.
    delegate.handleVpnStatusChange(2);
    delegate.handleVpnStatusChange(3);
    delegate.pacMode();
    settle(100);
    if (delegate.toastW())
        delegate.toastW()->close();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QMenu* menu = delegate.statusMenu();
    menu->popup(QPoint(screen.right() - menu->sizeHint().width() - 40, 4));
    settle(600);
    bool ok = saveScreen(out + QStringLiteral("/menu.png"));
    menu->hide();

    // A toast of the status menu over the main window.
    delegate.handleVpnStatusChange(5);
    delegate.handleVpnStatusChange(1);
    nimo::test::waitUntil([&] { return delegate.toastW() && delegate.toastW()->panelOpacity() == 1.0; });
    settle(100);
    ok = saveScreen(out + QStringLiteral("/toast.png")) && ok;
    return ok ? 0 : 1;
}
