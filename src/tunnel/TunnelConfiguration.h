#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace nimo {

// The kind of protocol a configuration carries; only tunnel-provider configurations can be the
// client's own.
inline constexpr const char* kTunnelProviderProtocolType = "tunnel-provider";

// A configuration's protocol as kept by the tunnel service. An absent value stays absent through a
// round trip, so "missing counts as a mismatch" can be decided by the manager.
struct TunnelProtocol {
    std::string type = kTunnelProviderProtocolType;
    std::optional<std::string> providerBundleIdentifier;
    std::optional<std::string> serverAddress;
    std::optional<bool> disconnectOnSleep;
    std::optional<nlohmann::json> providerConfiguration; // an object when present
    nlohmann::json other = nlohmann::json::object();     // properties this client does not know

    bool isTunnelProvider() const { return type == kTunnelProviderProtocolType; }
};

// One tunnel configuration in the service's preferences. The identifier is given by the service on
// the first save; an empty identifier marks a configuration that was never saved.
struct TunnelConfiguration {
    std::string identifier;
    std::optional<TunnelProtocol> protocol;
    std::optional<std::string> localizedDescription;
    std::optional<bool> enabled;
    std::optional<bool> onDemandEnabled;
    nlohmann::json other = nlohmann::json::object();
};

// Wire form (see docs/tunnel-protocol.md). Decoding checks every type and treats a value of the
// wrong type as absent; a non-object gives nullopt.
nlohmann::json toJson(const TunnelConfiguration& configuration);
std::optional<TunnelConfiguration> configurationFromJson(const nlohmann::json& value);

} // namespace nimo
