#pragma once

#include "http/SessionManager.h"
#include "service/AccountSession.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"
#include "support/TestSupport.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"

#include <QObject>
#include <QString>
#include <utility>
#include <vector>

namespace nimo::test {

// Toasts kept for the test to read, in order, with their owners.
struct RecordedToasts : ToastPresenter {
    std::vector<std::pair<const QObject*, QString>> shown;
    void showToast(QObject* owner, const QString& text) override { shown.emplace_back(owner, text); }
};

// What main makes for the screens, over a given store and tunnel manager; ToastsT presents the
// toasts (the application's own, or RecordedToasts).
template <class ToastsT> struct BasicScreenContext {
    http::SessionManager session{http::SessionManager::standardConfiguration()};
    DesktopUrlOpener opener;
    ToastsT toasts;
    AccountSession account;
    AppContext context;
    BasicScreenContext(SettingsStore& settings, VPNTunnelManager& tunnel)
        : account(settings), context{settings, NimoShared::shared(), tunnel, session, opener, toasts,
                                     account} {}
};

// A tunnel manager setup whose service never answers (no executable to start), so status changes
// are driven through the manager by hand.
inline VPNTunnelManager::Setup quietTunnelSetup(const TempXdg& xdg) {
    VPNTunnelManager::Setup setup;
    setup.socketPath = xdg.path("no-service.sock");
    setup.packageRoot = xdg.path("package");
    setup.shared = &NimoShared::shared();
    return setup;
}

} // namespace nimo::test
