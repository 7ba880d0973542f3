#include "NodeList.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace nimo::transport {

namespace {
std::optional<std::string> text(const nlohmann::json& object, const char* key, std::size_t maxSize) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    auto value = it->get<std::string>();
    if (value.empty() || value.size() > maxSize)
        return std::nullopt;
    return value;
}

std::optional<int> port(const nlohmann::json& object, const char* key, int lowest) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    const auto value = it->get<std::int64_t>();
    if (value < lowest || value > 65535)
        return std::nullopt;
    return static_cast<int>(value);
}
} // namespace

namespace {
using Address = std::array<unsigned char, 16>; // IPv4 as ::ffff:a.b.c.d

std::optional<Address> addressOf(std::string text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    Address a{};
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        a[10] = a[11] = 0xff;
        std::memcpy(a.data() + 12, &v4, 4);
        return a;
    }
    if (::inet_pton(AF_INET6, text.c_str(), a.data()) == 1)
        return a;
    return std::nullopt;
}

// Whether a lies in the CIDR network ("127.0.0.0/8", "fe80::/10").
bool inNetwork(const Address& a, const std::string& cidr) {
    const auto slash = cidr.find('/');
    const auto base = addressOf(cidr.substr(0, slash));
    if (!base)
        return false;
    const bool v4 = cidr.find(':') == std::string::npos;
    int bits = slash == std::string::npos ? 128 : std::atoi(cidr.c_str() + slash + 1) + (v4 ? 96 : 0);
    bits = std::clamp(bits, 0, 128);
    for (int i = 0; i < bits; ++i) {
        const int byte = i / 8, bit = 7 - i % 8;
        if (((a[byte] >> bit) & 1) != (((*base)[byte] >> bit) & 1))
            return false;
    }
    return true;
}

const std::vector<std::string>& specialNetworks() {
    static const std::vector<std::string> networks = {
        "0.0.0.0/8", "127.0.0.0/8", "169.254.0.0/16", "192.0.0.0/24", "224.0.0.0/4", "240.0.0.0/4",
        "::/128",    "::1/128",     "fe80::/10",      "ff00::/8",     "64:ff9b::/96"};
    return networks;
}
} // namespace

std::string specialAddressReason(const std::string& server, const std::vector<std::string>& allowedNetworks) {
    std::string lower = server;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    while (!lower.empty() && lower.back() == '.')
        lower.pop_back();
    if (lower == "localhost" ||
        (lower.size() > 10 && lower.compare(lower.size() - 10, 10, ".localhost") == 0))
        return "节点地址是本机名称：" + server;
    const auto address = addressOf(lower);
    if (!address)
        return {};
    for (const auto& allowed : allowedNetworks)
        if (inNetwork(*address, allowed))
            return {};
    for (const auto& special : specialNetworks())
        if (inNetwork(*address, special))
            return "节点地址是保留地址：" + server;
    return {};
}

const std::vector<std::string>& aeadMethods() {
    static const std::vector<std::string> methods = {"aes-128-gcm", "aes-192-gcm", "aes-256-gcm",
                                                     "chacha20-ietf-poly1305", "xchacha20-ietf-poly1305"};
    return methods;
}

bool isAeadMethod(const std::string& method) {
    const auto& all = aeadMethods();
    return std::find(all.begin(), all.end(), method) != all.end();
}

std::vector<Node> parseServerList(const nlohmann::json& document, std::string* error, int* skipped,
                                  const std::vector<std::string>& allowedNetworks) {
    std::vector<Node> nodes;
    if (skipped)
        *skipped = 0;
    if (!document.is_object()) {
        *error = "服务器列表不是 JSON 对象";
        return nodes;
    }
    auto servers = document.find("servers");
    if (servers == document.end() || !servers->is_array()) {
        *error = "服务器列表缺少 servers 数组";
        return nodes;
    }
    if (servers->size() > kMaxServers) {
        *error = "服务器列表有 " + std::to_string(servers->size()) + " 个节点，超过上限 " +
                 std::to_string(kMaxServers) + " 个";
        return nodes;
    }
    for (const auto& item : *servers) {
        auto remarks = item.is_object() ? text(item, "remarks", 256) : std::nullopt;
        auto server = item.is_object() ? text(item, "server", 255) : std::nullopt;
        auto serverPort = item.is_object() ? port(item, "server_port", 1) : std::nullopt;
        auto method = item.is_object() ? text(item, "method", 64) : std::nullopt;
        auto password = item.is_object() ? text(item, "password", 1024) : std::nullopt;
        if (!remarks || !server || !serverPort || !method || !password ||
            !specialAddressReason(*server, allowedNetworks).empty()) {
            if (skipped)
                ++*skipped;
            continue;
        }
        nodes.push_back({*remarks, *server, *serverPort, *method, *password});
    }
    if (nodes.empty())
        *error = "服务器列表中没有可用的节点";
    return nodes;
}

bool isAutomatic(const std::string& nodeName) {
    return nodeName.empty() || nodeName == kAutomaticRoute;
}

const Node* findNode(const std::vector<Node>& nodes, const std::string& remarks) {
    for (const auto& node : nodes)
        if (node.remarks == remarks)
            return &node;
    return nullptr;
}

std::string unusableReason(const Node& node) {
    if (!isAeadMethod(node.method))
        return "节点“" + node.remarks + "”的加密方式 " + node.method + " 不受支持（仅支持 AEAD 加密）";
    return {};
}

nlohmann::json configLine(const Node& node, int localPort) {
    return {{"server", node.server},
            {"server_port", node.serverPort},
            {"method", node.method},
            {"password", node.password},
            {"local_port", localPort}};
}

std::optional<TransportConfig> parseConfig(const nlohmann::json& line, std::string* error) {
    if (!line.is_object()) {
        *error = "传输配置不是 JSON 对象";
        return std::nullopt;
    }
    TransportConfig config;
    auto server = text(line, "server", 255);
    auto serverPort = port(line, "server_port", 1);
    auto method = text(line, "method", 64);
    auto password = text(line, "password", 1024);
    auto localPort = port(line, "local_port", 0);
    if (!server || !serverPort || !method || !password || !localPort) {
        *error = "传输配置缺少字段或字段类型不符";
        return std::nullopt;
    }
    if (!isAeadMethod(*method)) {
        *error = "加密方式不受支持：" + *method;
        return std::nullopt;
    }
    return TransportConfig{*server, *serverPort, *method, *password, *localPort};
}

} // namespace nimo::transport
