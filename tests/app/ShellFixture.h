#pragma once

#include "app/AppDelegate.h"
#include "http/SessionManager.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"
#include "support/TestSupport.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"

#include <memory>

namespace nimo::test {

// What main makes for the screens, over a given store and tunnel manager.
struct ScreenContext {
    DesktopUrlOpener opener;
    Toasts toasts;
    AppContext context;
    ScreenContext(SettingsStore& settings, VPNTunnelManager& tunnel)
        : context{settings, NimoShared::shared(), tunnel, http::SessionManager::defaultSession(), opener,
                  toasts} {}
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

// A subscription record as the local account service serves it (10 GiB, nothing used, both
// statuses true, identifier "u-9"), with the given fields changed; a null value removes the field.
inline nlohmann::json subscriptionRecord(const nlohmann::json& changes) {
    nlohmann::json record{{"id", 9},           {"total_bandwidth", 10737418240LL}, {"used_up", 0},
                          {"used_down", 0},    {"service_status", true},           {"sub_status", true},
                          {"sub_uuid", "u-9"}, {"nodes", nlohmann::json::array()}};
    for (const auto& [key, value] : changes.items()) {
        if (value.is_null())
            record.erase(key);
        else
            record[key] = value;
    }
    return record;
}

} // namespace nimo::test
