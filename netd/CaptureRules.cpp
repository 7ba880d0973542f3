#include "CaptureRules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>

namespace nimo::netd {

namespace {
// Never captured: the user's own machine and network stay reachable as they are.
constexpr const char* kLan4 = "10.0.0.0/8, 100.64.0.0/10, 169.254.0.0/16, 172.16.0.0/12, 192.168.0.0/16";
constexpr const char* kLan6 = "fc00::/7, fe80::/10";
constexpr const char* kTablePrefix = "nimo_u";

std::optional<int> port(const nlohmann::json& request, const char* key, std::string* error) {
    const auto it = request.find(key);
    if (it == request.end() || !it->is_number_integer()) {
        *error = std::string(key) + " 必须是整数";
        return std::nullopt;
    }
    const auto value = it->get<std::int64_t>();
    if (value < 1 || value > 65535) {
        *error = std::string(key) + " 超出端口范围";
        return std::nullopt;
    }
    return static_cast<int>(value);
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}
} // namespace

std::optional<CaptureRequest> parseCaptureRequest(const nlohmann::json& request, std::string* error) {
    if (!request.is_object()) {
        *error = "请求必须是 JSON 对象";
        return std::nullopt;
    }
    static const char* const known[] = {"id",        "op",      "node",       "nodePort",
                                        "relayPort", "dnsPort", "killSwitch", "ipv6"};
    for (const auto& [key, value] : request.items()) {
        (void)value;
        if (std::find(std::begin(known), std::end(known), key) == std::end(known)) {
            *error = "未知字段：" + key;
            return std::nullopt;
        }
    }
    CaptureRequest out;
    const auto node = request.find("node");
    if (node == request.end() || !node->is_array() || node->empty() || node->size() > kMaxNodeAddresses) {
        *error = "node 必须是 1 到 8 个 IP 地址";
        return std::nullopt;
    }
    for (const auto& address : *node) {
        if (!address.is_string()) {
            *error = "node 必须是 IP 地址";
            return std::nullopt;
        }
        const auto text = address.get<std::string>();
        in_addr a4{};
        in6_addr a6{};
        char canonical[INET6_ADDRSTRLEN] = {};
        // The canonical form goes into the rules, never the caller's text.
        if (text.size() < INET6_ADDRSTRLEN && ::inet_pton(AF_INET, text.c_str(), &a4) == 1) {
            ::inet_ntop(AF_INET, &a4, canonical, sizeof canonical);
            out.node4.emplace_back(canonical);
        } else if (text.size() < INET6_ADDRSTRLEN && ::inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
            ::inet_ntop(AF_INET6, &a6, canonical, sizeof canonical);
            out.node6.emplace_back(canonical);
        } else {
            *error = "node 不是 IP 地址";
            return std::nullopt;
        }
    }
    const auto nodePort = port(request, "nodePort", error);
    const auto relayPort = nodePort ? port(request, "relayPort", error) : std::nullopt;
    const auto dnsPort = relayPort ? port(request, "dnsPort", error) : std::nullopt;
    if (!dnsPort)
        return std::nullopt;
    out.nodePort = *nodePort;
    out.relayPort = *relayPort;
    out.dnsPort = *dnsPort;
    for (auto [key, target] : {std::pair{"killSwitch", &out.killSwitch}, std::pair{"ipv6", &out.ipv6}}) {
        const auto it = request.find(key);
        if (it == request.end())
            continue;
        if (!it->is_boolean()) {
            *error = std::string(key) + " 必须是布尔值";
            return std::nullopt;
        }
        *target = it->get<bool>();
    }
    return out;
}

std::string tableName(uid_t uid) {
    return kTablePrefix + std::to_string(uid);
}

bool isOurTable(const std::string& name, uid_t* uid) {
    const std::string prefix = kTablePrefix;
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() || name.size() > prefix.size() + 10)
        return false;
    unsigned long value = 0;
    const char* begin = name.data() + prefix.size();
    const char* end = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || (*begin == '0' && end - begin > 1) || value == 0 ||
        value > 0xfffffffeUL)
        return false;
    if (uid)
        *uid = static_cast<uid_t>(value);
    return true;
}

std::string captureScript(uid_t uid, const CaptureRequest& r, std::optional<uid_t> resolverUid) {
    const std::string table = "inet " + tableName(uid);
    const std::string me = "meta skuid " + std::to_string(uid) + " ";
    const std::string nodePort = std::to_string(r.nodePort);
    const std::string dns = std::to_string(r.dnsPort);
    std::string s;
    // add + delete + define in one transaction: the old table (if any) is replaced atomically.
    s += "add table " + table + "\n";
    s += "delete table " + table + "\n";
    s += "table " + table + " {\n";
    s += std::string("  set lan4 { type ipv4_addr; flags interval; elements = { ") + kLan4 + " } }\n";
    s += std::string("  set lan6 { type ipv6_addr; flags interval; elements = { ") + kLan6 + " } }\n";

    s += "  chain capture {\n    type nat hook output priority -100; policy accept;\n";
    if (!r.node4.empty())
        s += "    " + me + "ip daddr { " + joined(r.node4) + " } tcp dport " + nodePort + " return\n";
    if (!r.node6.empty())
        s += "    " + me + "ip6 daddr { " + joined(r.node6) + " } tcp dport " + nodePort + " return\n";
    // DNS to any server, a local stub included, goes to the forwarder.
    s += "    " + me + "meta l4proto { tcp, udp } th dport 53 redirect to :" + dns + "\n";
    if (resolverUid) {
        const std::string resolver = "    meta skuid " + std::to_string(*resolverUid);
        s += resolver + " ip daddr != 127.0.0.0/8 meta l4proto { tcp, udp } th dport 53 redirect to :" + dns +
             "\n";
        s += resolver + " ip6 daddr != ::1 meta l4proto { tcp, udp } th dport 53 redirect to :" + dns + "\n";
    }
    s += "    " + me + "ip daddr 127.0.0.0/8 return\n";
    s += "    " + me + "ip daddr @lan4 return\n";
    s += "    " + me + "ip6 daddr ::1 return\n";
    s += "    " + me + "ip6 daddr @lan6 return\n";
    s += "    " + me + (r.ipv6 ? "" : "meta nfproto ipv4 ") +
         "meta l4proto tcp redirect to :" + std::to_string(r.relayPort) + "\n";
    s += "  }\n";

    // Whatever was not redirected or exempted never leaves: connections opened before the capture,
    // UDP and ICMP, and IPv6 where the node carries none.
    s += "  chain block {\n    type filter hook output priority 0; policy accept;\n";
    s += "    " + me + "oif lo accept\n";
    s += "    " + me + "ct status dnat accept\n";
    s += "    " + me + "ip daddr 127.0.0.0/8 accept\n";
    s += "    " + me + "ip6 daddr ::1 accept\n";
    if (!r.node4.empty())
        s += "    " + me + "ip daddr { " + joined(r.node4) + " } tcp dport " + nodePort + " accept\n";
    if (!r.node6.empty())
        s += "    " + me + "ip6 daddr { " + joined(r.node6) + " } tcp dport " + nodePort + " accept\n";
    s += "    " + me + "ip daddr @lan4 accept\n";
    s += "    " + me + "ip6 daddr @lan6 accept\n";
    s += "    " + me + "meta l4proto tcp reject with tcp reset\n";
    s += "    " + me + "reject\n";
    s += "  }\n}\n";
    return s;
}

std::string removeScript(uid_t uid) {
    const std::string table = "inet " + tableName(uid);
    return "add table " + table + "\ndelete table " + table + "\n";
}

} // namespace nimo::netd
