#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace nimo {

// The tunnel status integer of the VPN platform; the numbers travel on the wire and in logs.
enum class VpnStatus : int {
    Invalid = 0,       // no configuration or no service
    Disconnected = 1,  // configured, not running
    Connecting = 2,    // provider starting
    Connected = 3,     // tunnel up
    Reasserting = 4,   // provider re-establishing the tunnel
    Disconnecting = 5, // stop under way
};

// The name written to the log for a status value ("未知状态" for anything else).
const char* vpnStatusLogName(int status);
inline const char* vpnStatusLogName(VpnStatus status) {
    return vpnStatusLogName(static_cast<int>(status));
}

// The status line of the status menu for a status (the command line says the same). Reasserting
// keeps the connected line, as the menu leaves its text unchanged then.
std::string statusMenuText(int status);

// Running mode as stored under "nimo_tun_mode" and sent as "tunMode." + mode.
inline constexpr const char* kTunModeRule = "rule";     // PAC
inline constexpr const char* kTunModeGlobal = "global"; // everything through the tunnel

// Absent or not a text means "rule".
std::string runningModeFrom(const std::optional<nlohmann::json>& stored);

// The stored node selection that means "the best route the provider finds", besides the empty text,
// and how that route is shown.
inline constexpr const char* kAutoRouteNode = "RiZezuva";
inline constexpr const char* kAutoRouteTitle = "自动适配最佳线路";

// Shared-container keys.
inline constexpr const char* kSharedSubUuid = "nimo_sub_uuid";
inline constexpr const char* kSharedNodeName = "nimo_node_name";
inline constexpr const char* kSharedTunMode = "nimo_tun_mode";
// Global mode keeps the user's traffic blocked when the tunnel ends unexpectedly; absent means on.
inline constexpr const char* kSharedKillSwitch = "nimo_kill_switch";

inline constexpr const char* kAppGroupId = "group.com.nimomac.qn";
inline constexpr const char* kTunnelBundleId = "com.nimomac.qn.sysne";

} // namespace nimo

namespace nimo {

// An error as the tunnel service reports it: a readable description, a domain naming who raised it
// and an integer code (codes of each domain are listed in docs/tunnel-protocol.md).
struct TunnelError {
    std::string description;
    std::string domain;
    int code = 0;
};

// Answer to the activation request's replacement callback; the numbers travel on the wire.
enum class ExtensionReplacementAction : int {
    Cancel = 0,  // keep the installed version, the request fails
    Replace = 1, // install the requested version
};

// Result codes of a finished activation request.
inline constexpr int kActivationCompleted = 0;
inline constexpr int kActivationWillCompleteAfterReboot = 1; // here: after the running tunnel stops

} // namespace nimo
