#pragma once

#include "tunnel/TunnelTypes.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace nimo::transport {

// Where the provider fetches a subscription's server list, below the start option "host"; the
// subscription identifier goes in the query parameter kServerListQuery.
inline constexpr const char* kServerListPath = "/api/public/sub/sip008";
inline constexpr const char* kServerListQuery = "sub_uuid";
// A list of more servers or bytes is refused whole (docs/tunnel-protocol.md; the client keeps as
// many node names).
inline constexpr std::size_t kMaxServerListBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxServers = 10000;
inline constexpr std::size_t kMaxConfigLine = 8192;
inline constexpr int kIdleTimeoutSeconds = 300;
// The automatic route's name as the client stores it; empty means the same.
inline constexpr const char* kAutomaticRoute = kAutoRouteNode;

// One server of the list, in the online-configuration format's field names.
struct Node {
    std::string remarks;
    std::string server;
    int serverPort = 0;
    std::string method;
    std::string password;
};

// The helper's whole configuration.
struct TransportConfig {
    std::string server;
    int serverPort = 0;
    std::string method;
    std::string password;
    int localPort = 0; // 0: any free port
};

// Authenticated ciphers only: the stream ciphers of the old format can be tampered with and probed.
bool isAeadMethod(const std::string& method);
const std::vector<std::string>& aeadMethods();

// The servers of an online-configuration document ({"version":1,"servers":[…]}). A server with a
// missing or mistyped field is skipped; *skipped counts them. Empty with *error set when the
// document itself is unusable.
// A server at a special address (loopback, link-local, unspecified, multicast, reserved, or a
// "localhost" name) is skipped too, unless the address lies in one of allowedNetworks (CIDR, as the
// operator's build allows: a demo's loopback nodes).
std::vector<Node> parseServerList(const nlohmann::json& document, std::string* error, int* skipped = nullptr,
                                  const std::vector<std::string>& allowedNetworks = {});

// Why server may not be dialled as a node ("" when it may).
std::string specialAddressReason(const std::string& server, const std::vector<std::string>& allowedNetworks);

// Picks by "remarks"; empty or the automatic route name gives nullopt (the caller measures).
bool isAutomatic(const std::string& nodeName);
const Node* findNode(const std::vector<Node>& nodes, const std::string& remarks);

// Why a node cannot be used as it is, or empty.
std::string unusableReason(const Node& node);

nlohmann::json configLine(const Node& node, int localPort);
std::optional<TransportConfig> parseConfig(const nlohmann::json& line, std::string* error);

} // namespace nimo::transport
