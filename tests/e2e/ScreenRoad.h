#pragma once

// The client as a user runs it, for the whole-road tests through the real window: a running tunnel
// service, the local account service, a real loopback node, the delegate with its status menu and
// the main screen, and every toast kept in order with its owner.
#include "LoopbackNodes.h"
#include "ServiceServers.h"
#include "ShellFixture.h"
#include "TunnelTestSupport.h"
#include "account/LoginAlertView.h"
#include "app/NodesInfoVC.h"
#include "service/UserDefaultsCacheKeys.h"
#include "widgets/ConnectButton.h"
#include "widgets/ImageButton.h"

#include <QLineEdit>
#include <QProcess>
#include <memory>
#include <sys/prctl.h>
#include <utility>
#include <vector>

namespace nimo::test {

// The application's toasts, each also written down with its owner in the order shown.
struct ToastLog : Toasts {
    std::vector<std::pair<const QObject*, QString>> shown;
    void showToast(QObject* owner, const QString& text) override {
        shown.emplace_back(owner, text);
        Toasts::showToast(owner, text);
    }
};

struct Road {
    explicit Road(bool autoApprove = true) : service(autoApprove) {}
    ServiceHarness service; // also points the XDG folders at a temporary home
    std::unique_ptr<LocalService> account = std::make_unique<LocalService>();
    devservice::LoopbackNode node{"香港 01"}; // connected means traffic flows through a real node
    SettingsStore settings;
    std::unique_ptr<VPNTunnelManager> tunnel;
    std::unique_ptr<BasicScreenContext<ToastLog>> screens;
    std::unique_ptr<AppDelegate> delegate;
    NodesInfoVC* vc = nullptr;

    bool launch() {
        if (!service.start() || !node.start())
            return false;
        account->service().setServers(nlohmann::json::array({node.serverEntry()}));
        (void)settings.set(UserDefaultsCacheKeys::lastOkHost, account->url());
        tunnel = std::make_unique<VPNTunnelManager>(service.setup());
        screens = std::make_unique<BasicScreenContext<ToastLog>>(settings, *tunnel);
        delegate = std::make_unique<AppDelegate>(screens->context, screens->toasts);
        delegate->applicationDidFinishLaunching();
        vc = delegate->mainWC()->mainVC();
        return vc != nullptr;
    }
    // Fills the login dialog and submits it; true once the dialog has gone signed in.
    bool signIn(const char* email = devservice::kDemoEmail,
                const char* password = devservice::kDemoPassword) {
        vc->showLoginDialog();
        LoginAlertView* dialog = vc->loginDialog();
        dialog->accountField()->setText(QString::fromUtf8(email));
        dialog->passwordField()->setText(QString::fromUtf8(password));
        dialog->onTapButton(dialog->startLoginButton());
        return waitUntil([&] { return !vc->loginDialog() && settings.hasUserInfo(); },
                         std::chrono::seconds(8));
    }
    QString toast() const {
        ToastWindowController* t = vc->toastWC();
        return t ? t->message : QString();
    }
    bool startFace() const {
        return vc->startProxyButton()->isVisible() && !vc->connectButton()->isVisible();
    }
    bool connectedFace() const {
        return !vc->startProxyButton()->isVisible() && vc->connectButton()->isVisible() &&
               vc->connectButton()->titleLabel()->text() == QStringLiteral("已连接");
    }
    // Neither the window nor the delegate shows a toast.
    bool quiet() const { return !vc->toastWC() && !delegate->toastW(); }
    void useSubscription(const nlohmann::json& fields) {
        const nlohmann::json record = subscriptionRecord(fields);
        account->script({{"path", "/api/customer/customerService/getCustomerServiceList"},
                         {"json", {{"code", 0}, {"data", {record}}}}});
    }
    void admin(const char* path, const std::string& body = {}) {
        account->service().handle({"POST", path, {}, {}, {}, {}, {}, body});
    }
};

// Starts the nimo executable offscreen in this process's temporary home; it dies with the test
// process, however that ends (a client left running keeps ctest waiting).
inline bool startClient(QProcess& client) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    client.start(QString::fromStdString(binDir() + "/nimo"), {});
    return client.waitForStarted();
}

} // namespace nimo::test
