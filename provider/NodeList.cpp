#include "NodeList.h"

#include <algorithm>

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

const std::vector<std::string>& aeadMethods() {
    static const std::vector<std::string> methods = {"aes-128-gcm", "aes-192-gcm", "aes-256-gcm",
                                                     "chacha20-ietf-poly1305", "xchacha20-ietf-poly1305"};
    return methods;
}

bool isAeadMethod(const std::string& method) {
    const auto& all = aeadMethods();
    return std::find(all.begin(), all.end(), method) != all.end();
}

std::vector<Node> parseServerList(const nlohmann::json& document, std::string* error, int* skipped) {
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
    for (const auto& item : *servers) {
        if (nodes.size() >= kMaxServers)
            break;
        Node node;
        auto remarks = item.is_object() ? text(item, "remarks", 256) : std::nullopt;
        auto server = item.is_object() ? text(item, "server", 255) : std::nullopt;
        auto serverPort = item.is_object() ? port(item, "server_port", 1) : std::nullopt;
        auto method = item.is_object() ? text(item, "method", 64) : std::nullopt;
        auto password = item.is_object() ? text(item, "password", 1024) : std::nullopt;
        if (!remarks || !server || !serverPort || !method || !password) {
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
