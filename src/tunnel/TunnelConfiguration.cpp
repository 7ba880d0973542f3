#include "tunnel/TunnelConfiguration.h"

#include "tunnel/TunnelProtocol.h"

namespace nimo {

using tunnelproto::boolField;
using tunnelproto::stringField;

namespace {
// Keys this client reads; everything else is carried in `other` so a round trip loses nothing.
const char* const kProtocolKeys[] = {"type", "providerBundleIdentifier", "serverAddress", "disconnectOnSleep",
                                     "providerConfiguration"};
const char* const kConfigurationKeys[] = {"identifier", "protocol", "localizedDescription", "enabled",
                                          "onDemandEnabled"};

template <std::size_t N>
nlohmann::json othersOf(const nlohmann::json& object, const char* const (&known)[N]) {
    nlohmann::json other = nlohmann::json::object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool isKnown = false;
        for (const char* key : known)
            isKnown = isKnown || it.key() == key;
        if (!isKnown)
            other[it.key()] = it.value();
    }
    return other;
}

nlohmann::json protocolToJson(const TunnelProtocol& p) {
    nlohmann::json out = p.other.is_object() ? p.other : nlohmann::json::object();
    out["type"] = p.type;
    if (p.providerBundleIdentifier)
        out["providerBundleIdentifier"] = *p.providerBundleIdentifier;
    if (p.serverAddress)
        out["serverAddress"] = *p.serverAddress;
    if (p.disconnectOnSleep)
        out["disconnectOnSleep"] = *p.disconnectOnSleep;
    if (p.providerConfiguration)
        out["providerConfiguration"] = *p.providerConfiguration;
    return out;
}

std::optional<TunnelProtocol> protocolFromJson(const nlohmann::json& value) {
    if (!value.is_object())
        return std::nullopt;
    TunnelProtocol p;
    // A protocol without a type is not one this client can recognise as its own.
    p.type = stringField(value, "type").value_or("");
    p.providerBundleIdentifier = stringField(value, "providerBundleIdentifier");
    p.serverAddress = stringField(value, "serverAddress");
    p.disconnectOnSleep = boolField(value, "disconnectOnSleep");
    if (auto it = value.find("providerConfiguration"); it != value.end() && it->is_object())
        p.providerConfiguration = *it;
    p.other = othersOf(value, kProtocolKeys);
    return p;
}
} // namespace

nlohmann::json toJson(const TunnelConfiguration& c) {
    nlohmann::json out = c.other.is_object() ? c.other : nlohmann::json::object();
    out["identifier"] = c.identifier;
    out["protocol"] = c.protocol ? protocolToJson(*c.protocol) : nlohmann::json();
    if (c.localizedDescription)
        out["localizedDescription"] = *c.localizedDescription;
    if (c.enabled)
        out["enabled"] = *c.enabled;
    if (c.onDemandEnabled)
        out["onDemandEnabled"] = *c.onDemandEnabled;
    return out;
}

std::optional<TunnelConfiguration> configurationFromJson(const nlohmann::json& value) {
    if (!value.is_object())
        return std::nullopt;
    TunnelConfiguration c;
    c.identifier = stringField(value, "identifier").value_or("");
    if (auto it = value.find("protocol"); it != value.end())
        c.protocol = protocolFromJson(*it);
    c.localizedDescription = stringField(value, "localizedDescription");
    c.enabled = boolField(value, "enabled");
    c.onDemandEnabled = boolField(value, "onDemandEnabled");
    c.other = othersOf(value, kConfigurationKeys);
    return c;
}

} // namespace nimo
