#pragma once

#include "app/AppDelegate.h"
#include "service/SettingsStore.h"
#include "support/ScreenContext.h"
#include "support/ScriptedTunnel.h"
#include "support/TestSupport.h"
#include "tunnel/VPNTunnelManager.h"

#include <memory>

namespace nimo::test {

// What main makes for the screens, with the application's toasts.
using ScreenContext = BasicScreenContext<Toasts>;

// A delegate on temporary XDG folders with a tunnel manager over a scripted tunnel service, so
// status changes are the test's to send (script->report).
struct Shell {
    TempXdg xdg;
    SettingsStore settings;
    ScriptedTunnel* script = nullptr;
    std::unique_ptr<VPNTunnelManager> manager = scriptedManager(quietSetup(xdg), script);
    VPNTunnelManager& tunnel = *manager;
    ScreenContext screens{settings, tunnel};
    AppDelegate delegate{screens.context, screens.toasts};

    static VPNTunnelManager::Setup quietSetup(const TempXdg& xdg) { return quietTunnelSetup(xdg); }

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
