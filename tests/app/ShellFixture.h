#pragma once

#include "app/AppDelegate.h"
#include "support/ScreenContext.h"

#include <memory>

namespace nimo::test {

// What main makes for the screens, with the application's toasts.
using ScreenContext = BasicScreenContext<Toasts>;

// A delegate on temporary XDG folders with a tunnel manager whose service never answers (no
// executable to start), so status changes are driven through the manager by hand.
struct Shell {
    TempXdg xdg;
    SettingsStore settings;
    VPNTunnelManager tunnel{quietSetup(xdg)};
    ScreenContext screens{settings, tunnel};
    AppDelegate delegate{screens.context, screens.toasts};

    static VPNTunnelManager::Setup quietSetup(const TempXdg& xdg) { return quietTunnelSetup(xdg); }

    // Runs what the delegate queued on the main loop.
    static void drain() {
        waitUntil([] { return false; }, std::chrono::milliseconds(20));
    }
};

} // namespace nimo::test
