// Shows the client's windows on the current display and saves what is on screen: the home page
// signed out, the login dialog in its three modes and loading, the home page signed in, the tunnel
// display's faces, the status menu over the main window, and a toast. Used by scripts/screenshots
// under Xvfb; not a test.
#include "ServiceServers.h"
#include "ShellFixture.h"
#include "account/LoginAlertView.h"
#include "app/AppDelegate.h"
#include "app/Application.h"
#include "app/NodesInfoVC.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/ConnectButton.h"
#include "widgets/ImageButton.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <cstdio>

namespace {

bool report(bool ok, const QString& path) {
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

bool saveScreen(const QString& path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    return report(screen && screen->grabWindow(0).save(path), path);
}

bool saveWidget(QWidget* widget, const QString& path) {
    return report(widget && widget->grab().save(path), path);
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
    nimo::test::LocalService account;
    nimo::SettingsStore settings;
    // The local account service answers as the remembered host.
    (void)settings.set(nimo::UserDefaultsCacheKeys::lastOkHost, account.url());
    nimo::VPNTunnelManager::Setup setup;
    setup.socketPath = xdg.path("no-service.sock");
    nimo::VPNTunnelManager tunnel(setup);
    nimo::test::ScreenContext screens(settings, tunnel);
    nimo::AppDelegate delegate(screens.context, screens.toasts);
    delegate.applicationDidFinishLaunching();
    settle(800);
    nimo::NodesInfoVC* vc = delegate.mainWC()->mainVC();
    QWidget* window = delegate.mainWC();
    bool ok = saveWidget(window, out + QStringLiteral("/home-signed-out.png"));

    // The login dialog in each mode, then loading while the service takes its time.
    vc->showLoginDialog();
    settle(300);
    nimo::LoginAlertView* dialog = vc->loginDialog();
    ok = saveWidget(window, out + QStringLiteral("/login.png")) && ok;
    dialog->onTapButton(dialog->registerBtn());
    settle(200);
    ok = saveWidget(window, out + QStringLiteral("/login-register.png")) && ok;
    dialog->onTapButton(dialog->registerBtn());
    dialog->onTapButton(dialog->forgetPwBtn());
    dialog->accountField()->setText(QString::fromLatin1(nimo::devservice::kDemoEmail));
    dialog->onTapButton(dialog->yzmButton());
    settle(1500);
    ok = saveWidget(window, out + QStringLiteral("/login-reset.png")) && ok;
    dialog->onTapButton(dialog->forgetPwBtn());
    dialog->passwordField()->setText(QString::fromLatin1(nimo::devservice::kDemoPassword));
    account.script({{"path", "/api/public/user/login"}, {"delay_ms", 1500}, {"times", 1}, {"status", 200}});
    dialog->onTapButton(dialog->startLoginButton());
    settle(900);
    ok = saveWidget(window, out + QStringLiteral("/login-loading.png")) && ok;

    // Signed in: the title strip shows the account, traffic and days left.
    nimo::test::waitUntil([&] { return !vc->loginDialog(); }, std::chrono::seconds(10));
    nimo::test::waitUntil([&] { return !vc->ttbarMergeButton()->text().startsWith(QStringLiteral("---")); },
                          std::chrono::seconds(5));
    vc->showPage(0);
    settle(2600); // the sign-in toast fades
    ok = saveWidget(window, out + QStringLiteral("/home-signed-in.png")) && ok;

    // The second container with its toolbar, on the account page.
    vc->showPage(4);
    vc->mainWorkView()->hide();
    vc->otherWorkView()->show();
    settle(300);
    ok = saveWidget(window, out + QStringLiteral("/pages-account.png")) && ok;
    vc->showPage(0);
    settle(300);

    // The tunnel display: loading, connected, disconnecting.
    const struct {
        int state;
        const char* name;
    } faces[] = {{nimo::ConnectButton::Loading, "connect-loading"},
                 {nimo::ConnectButton::Connected, "connect-connected"},
                 {nimo::ConnectButton::Disconnecting, "connect-disconnecting"}};
    for (const auto& face : faces) {
        vc->startProxyButton()->hide();
        vc->connectButton()->changeConnectState(face.state);
        settle(300);
        ok = saveWidget(window, out + QStringLiteral("/%1.png").arg(QString::fromLatin1(face.name))) && ok;
    }
    vc->connectButton()->changeConnectState(nimo::ConnectButton::Idle);
    vc->startProxyButton()->show();

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
    ok = saveScreen(out + QStringLiteral("/menu.png")) && ok;
    menu->hide();

    // A toast of the status menu over the main window.
    delegate.handleVpnStatusChange(5);
    delegate.handleVpnStatusChange(1);
    nimo::test::waitUntil([&] { return delegate.toastW() && delegate.toastW()->panelOpacity() == 1.0; });
    settle(100);
    ok = saveScreen(out + QStringLiteral("/toast.png")) && ok;
    return ok ? 0 : 1;
}
