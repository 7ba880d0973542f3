#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace nimo::netd {

// What one user asked to capture: every TCP connection and DNS query of that uid goes to the
// provider's relay and DNS forwarder, except traffic to the node itself, loopback and the LAN.
struct CaptureRequest {
    std::vector<std::string> node4; // the node's IPv4 addresses
    std::vector<std::string> node6; // the node's IPv6 addresses
    int nodePort = 0;
    int relayPort = 0;
    int dnsPort = 0;
    bool killSwitch = true; // the block outlives the provider when the tunnel ends unexpectedly
    bool ipv6 = false;      // the node carries IPv6; otherwise IPv6 is rejected locally
};

inline constexpr std::size_t kMaxNodeAddresses = 8;

// Strictly typed: unknown fields, wrong types, addresses that are not IP literals and ports out of
// range are refused with the reason in *error.
std::optional<CaptureRequest> parseCaptureRequest(const nlohmann::json& request, std::string* error);

// The name of uid's table in the inet family.
std::string tableName(uid_t uid);
bool isOurTable(const std::string& name, uid_t* uid = nullptr);

// One transaction that replaces uid's table with the rules of request (created when absent).
// resolverUid, when set, is a system resolver whose upstream queries are carried too.
std::string captureScript(uid_t uid, const CaptureRequest& request, std::optional<uid_t> resolverUid);
// One transaction that removes uid's table whether or not it exists.
std::string removeScript(uid_t uid);

} // namespace nimo::netd
