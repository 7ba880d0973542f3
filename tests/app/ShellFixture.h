#pragma once

#include "app/AppDelegate.h"
#include "http/SessionManager.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"
#include "tunnel/NimoShared.h"
#include "support/TestSupport.h"
#include "tunnel/VPNTunnelManager.h"

#include <memory>

namespace nimo::test {

// What main makes for the screens, over a given store and tunnel manager.
struct ScreenContext {
    DesktopUrlOpener opener;
    Toasts toasts;
    AppContext context;
    ScreenContext(SettingsStore& settings, VPNTunnelManager& tunnel)
        : context{settings, NimoShared::shared(), tunnel, http::SessionManager::defaultSession(), opener, toasts} {}
};

// A delegate on temporary XDG folders with a tunnel manager whose service never answers (no
// executable to start), so status changes are driven through the manager by hand.
struct Shell {
    TempXdg xdg;
    SettingsStore settings;
    VPNTunnelManager tunnel{quietSetup(xdg)};
    ScreenContext screens{settings, tunnel};
    AppDelegate delegate{screens.context, screens.toasts};

    static VPNTunnelManager::Setup quietSetup(const TempXdg& xdg) {
        VPNTunnelManager::Setup setup;
        setup.socketPath = xdg.path("no-service.sock");
        setup.packageRoot = xdg.path("package");
        return setup;
    }

    // Runs what the delegate queued on the main loop.
    static void drain() {
        waitUntil([] { return false; }, std::chrono::milliseconds(20));
    }
};

} // namespace nimo::test
