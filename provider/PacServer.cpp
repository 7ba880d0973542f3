#include "PacServer.h"

#include "PeerUid.h"
#include "platform/Log.h"

#include <QTcpSocket>
#include <QTimer>

namespace nimo::provider {

namespace {
const platform::SystemLog kLog("provider");
constexpr qsizetype kMaxRequest = 8192;
constexpr int kRequestMs = 5000;

// "10.0.0.0/8" -> ["10.0.0.0","255.0.0.0"] for isInNet.
std::string maskPair(const std::string& cidr) {
    const auto slash = cidr.find('/');
    const int bits = std::stoi(cidr.substr(slash + 1));
    const unsigned mask = bits == 0 ? 0 : ~0u << (32 - bits);
    return "[\"" + cidr.substr(0, slash) + "\",\"" + std::to_string(mask >> 24) + "." +
           std::to_string((mask >> 16) & 255) + "." + std::to_string((mask >> 8) & 255) + "." +
           std::to_string(mask & 255) + "\"]";
}
} // namespace

const std::vector<std::string>& directDomains() {
    static const std::vector<std::string> domains = {
        "localhost",  "local",           "lan",        "internal",  "cn",         "baidu.com",
        "qq.com",     "weixin.com",      "taobao.com", "tmall.com", "alipay.com", "aliyun.com",
        "jd.com",     "163.com",         "126.com",    "weibo.com", "zhihu.com",  "bilibili.com",
        "douyin.com", "xiaohongshu.com", "meituan.com"};
    return domains;
}

const std::vector<std::string>& directNetworks() {
    static const std::vector<std::string> networks = {"127.0.0.0/8",    "10.0.0.0/8",     "172.16.0.0/12",
                                                      "192.168.0.0/16", "169.254.0.0/16", "100.64.0.0/10"};
    return networks;
}

std::string pacScript(int socksPort) {
    const std::string proxy = "127.0.0.1:" + std::to_string(socksPort);
    std::string domains, nets;
    for (const auto& d : directDomains()) {
        domains += domains.empty() ? "\"" : ",\"";
        domains += d;
        domains += '"';
    }
    for (const auto& n : directNetworks()) {
        if (!nets.empty())
            nets += ',';
        nets += maskPair(n);
    }
    return "// NimoMac rule mode\n"
           "var proxy = \"SOCKS5 " +
           proxy + "; SOCKS " + proxy +
           "\";\n"
           "var directDomains = [" +
           domains +
           "];\n"
           "var directNets = [" +
           nets +
           "];\n"
           "function FindProxyForURL(url, host) {\n"
           "  host = host.toLowerCase();\n"
           "  if (host.charAt(0) == \"[\") host = host.substring(1, host.length - 1);\n"
           "  if (isPlainHostName(host) || host == \"::1\") return \"DIRECT\";\n"
           "  if (/^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$/.test(host)) {\n"
           "    for (var i = 0; i < directNets.length; i++)\n"
           "      if (isInNet(host, directNets[i][0], directNets[i][1])) return \"DIRECT\";\n"
           "    return proxy;\n"
           "  }\n"
           "  if (/^(fc|fd|fe80)[0-9a-f]*:/.test(host)) return \"DIRECT\";\n"
           "  for (var j = 0; j < directDomains.length; j++) {\n"
           "    var d = directDomains[j];\n"
           "    if (host == d || dnsDomainIs(host, \".\" + d)) return \"DIRECT\";\n"
           "  }\n"
           "  return proxy;\n"
           "}\n";
}

PacRequest readPacRequest(const QByteArray& seen) {
    if (seen.size() > kMaxRequest)
        return PacRequest::TooLarge;
    if (!seen.contains("\r\n\r\n"))
        return PacRequest::Incomplete;
    return seen.startsWith("HEAD ") ? PacRequest::Head : PacRequest::Get;
}

PacServer::PacServer(QObject* parent) : QObject(parent) {
    connect(&server_, &QTcpServer::newConnection, this, &PacServer::onConnection);
}

bool PacServer::listen() {
    return server_.isListening() || server_.listen(QHostAddress::LocalHost, 0);
}

std::string PacServer::url() const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/proxy.pac";
}

void PacServer::onConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (!peerIsOwnUser(static_cast<int>(socket->socketDescriptor()))) {
            if (refused_++ == 0)
                kLog.error("拒绝其他用户读取 PAC 文件");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kRequestMs, socket, [socket] { socket->abort(); });
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            // The request itself does not matter: every path gets the script. Wait for its end.
            if (socket->property("answered").toBool())
                return;
            const QByteArray seen = socket->property("seen").toByteArray() + socket->readAll();
            const PacRequest request = readPacRequest(seen);
            if (request == PacRequest::TooLarge) {
                socket->abort();
                return;
            }
            socket->setProperty("seen", seen);
            if (request == PacRequest::Incomplete)
                return;
            socket->setProperty("answered", true);
            const QByteArray body = QByteArray::fromStdString(pacScript(socksPort_));
            const bool head = request == PacRequest::Head;
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
                          "Cache-Control: no-cache\r\nConnection: close\r\nContent-Length: " +
                          QByteArray::number(body.size()) + "\r\n\r\n");
            if (!head)
                socket->write(body);
            socket->disconnectFromHost();
        });
    }
}

} // namespace nimo::provider
