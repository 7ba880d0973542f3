#include "Capture.h"

#include "NimoBuildConfig.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "tunnel/TunnelProtocol.h"

#include <QHostInfo>
#include <arpa/inet.h>
#include <cstdlib>
#include <utility>

namespace nimo::provider {

namespace {
const platform::SystemLog kLog("capture");
constexpr int kExchangeMs = 2000;
constexpr int kReconnectMs = 500;

bool isLiteral(const std::string& text) {
    in6_addr any{};
    return ::inet_pton(AF_INET, text.c_str(), &any) == 1 || ::inet_pton(AF_INET6, text.c_str(), &any) == 1;
}

const char* stateName(Capture::State state) {
    switch (state) {
    case Capture::State::Unavailable:
        return "unavailable";
    case Capture::State::Off:
        return "off";
    case Capture::State::Switching:
        return "switching";
    case Capture::State::On:
        return "on";
    case Capture::State::Failed:
        return "failed";
    }
    return "off";
}

// One request on a connection of its own, answered before this returns.
std::optional<nlohmann::json> exchange(const nlohmann::json& request) {
    const auto result = platform::unixExchange(platform::paths::netdSocket(),
                                               tunnelproto::encodeLine(request), 4096, kExchangeMs);
    if (!result.connected)
        return std::nullopt;
    const auto reply = nlohmann::json::parse(result.reply.toStdString(), nullptr, false);
    return reply.is_object() ? reply : nlohmann::json::object();
}
} // namespace

void nodeAddresses(QObject* owner, const std::string& server,
                   std::function<void(std::vector<std::string>)> done) {
    if (isLiteral(server)) {
        done({server});
        return;
    }
    QHostInfo::lookupHost(QString::fromStdString(server), owner, [done](const QHostInfo& info) {
        std::vector<std::string> addresses;
        for (const QHostAddress& address : info.addresses())
            if (addresses.size() < 8)
                addresses.push_back(address.toString().toStdString());
        done(addresses);
    });
}

Capture::Capture(QObject* parent)
    : QObject(parent), dns_(QHostAddress(QString::fromLatin1(build::kTunnelDns))) {
    reconnect_.setSingleShot(true);
    answerTimer_.setSingleShot(true);
    connect(&answerTimer_, &QTimer::timeout, this, [this] {
        if (afterAnswer_)
            std::exchange(afterAnswer_, nullptr)();
    });
    connect(&reconnect_, &QTimer::timeout, this, &Capture::connectNetd);
    connect(&netd_, &platform::UnixSocket::connected, this, [this] {
        everConnected_ = true;
        if (lastOn_)
            netd_.write(tunnelproto::encodeLine(*lastOn_));
    });
    connect(&netd_, &platform::UnixSocket::connectFailed, this, [this](int) {
        // Once it answered, nimo-netd is only restarting; before, it is not there at all.
        if (lastOn_ && everConnected_)
            reconnect_.start(kReconnectMs);
        else if (lastOn_)
            setState(State::Unavailable);
    });
    connect(&netd_, &platform::UnixSocket::readyRead, this, &Capture::onReply);
    connect(&netd_, &platform::UnixSocket::disconnected, this, [this] {
        // nimo-netd restarted: it keeps the table held meanwhile; the capture is asked for again.
        if (lastOn_) {
            setState(State::Switching, "nimo-netd 连接中断");
            reconnect_.start(kReconnectMs);
        }
    });
}

bool Capture::liftHeldBlock() {
    const auto reply = exchange({{"op", "off"}});
    if (!reply) {
        setState(State::Unavailable);
        return false;
    }
    setState(State::Off);
    return true;
}

nlohmann::json Capture::request(const std::vector<std::string>& addresses) const {
    bool ipv6 = false;
    in6_addr any{};
    for (const auto& address : addresses)
        ipv6 = ipv6 || ::inet_pton(AF_INET6, address.c_str(), &any) == 1;
    return {{"op", "on"},
            {"node", addresses},
            {"nodePort", node_ ? node_->serverPort : 0},
            {"relayPort", relay_.port()},
            {"dnsPort", dns_.port()},
            {"killSwitch", killSwitch_},
            {"ipv6", ipv6}};
}

void Capture::switchOn(const transport::Node& node, int socksPort, bool killSwitch) {
    if (state_ == State::Unavailable)
        return; // global mode as it is without nimo-netd: the desktop's proxy settings only
    if (!relay_.listen() || !dns_.listen()) {
        setState(State::Failed, "中继或 DNS 端口无法监听");
        return;
    }
    killSwitch_ = killSwitch;
    node_ = node;
    socksPort_ = socksPort;
    setTunnelUp(true);
    setState(State::Switching);
    nodeAddresses(this, node.server, [this, node](std::vector<std::string> addresses) {
        if (state_ != State::Switching || !node_ || node_->server != node.server)
            return;
        if (addresses.empty()) {
            setState(State::Failed, "节点地址无法解析：" + node.server);
            return;
        }
        std::vector<QHostAddress> relayNode;
        for (const auto& address : addresses)
            relayNode.emplace_back(QString::fromStdString(address));
        relay_.setNode(relayNode, static_cast<quint16>(node.serverPort));
        lastOn_ = request(addresses);
        if (netd_.isConnected())
            netd_.write(tunnelproto::encodeLine(*lastOn_));
        else
            connectNetd();
    });
}

void Capture::connectNetd() {
    if (!netd_.isConnected())
        netd_.connectTo(platform::paths::netdSocket());
}

void Capture::onReply() {
    while (netd_.canReadLine()) {
        const auto reply = nlohmann::json::parse(netd_.readLine().toStdString(), nullptr, false);
        if (!reply.is_object() || !lastOn_)
            continue;
        if (afterAnswer_) {
            answerTimer_.stop();
            std::exchange(afterAnswer_, nullptr)();
        }
        if (reply.value("ok", false) == true) {
            setState(State::On);
        } else {
            const auto error = reply.find("error");
            setState(State::Failed, error != reply.end() && error->is_string() ? error->get<std::string>()
                                                                               : "nimo-netd 拒绝");
        }
    }
}

void Capture::nodeChanging(const transport::Node& node, std::function<void()> go) {
    if (!lastOn_) {
        go();
        return;
    }
    nodeAddresses(this, node.server, [this, node, go](std::vector<std::string> addresses) {
        if (lastOn_ && !addresses.empty()) {
            node_ = node;
            std::vector<QHostAddress> relayNode;
            for (const auto& address : addresses)
                relayNode.emplace_back(QString::fromStdString(address));
            relay_.setNode(relayNode, static_cast<quint16>(node.serverPort));
            lastOn_ = request(addresses);
            // Over the lease's own connection, so nothing else waits on it; answered before the
            // transport connects, so the new node is never captured into the relay.
            if (netd_.isConnected() && netd_.write(tunnelproto::encodeLine(*lastOn_))) {
                afterAnswer_ = go;
                answerTimer_.start(kExchangeMs);
                return;
            }
        }
        go();
    });
}

void Capture::setTunnelUp(bool up) {
    relay_.setSocksPort(up ? socksPort_ : 0);
    dns_.setSocksPort(up ? socksPort_ : 0);
}

void Capture::switchOff() {
    reconnect_.stop();
    const bool wasWanted = lastOn_.has_value();
    lastOn_.reset();
    setTunnelUp(false);
    if (state_ == State::Unavailable && !wasWanted)
        return;
    // Answered before this returns: a provider on its way out leaves nothing behind.
    if (exchange({{"op", "off"}}))
        setState(State::Off);
    netd_.abort();
}

void Capture::abandon() {
    reconnect_.stop();
    setTunnelUp(false);
    if (lastOn_ && !killSwitch_) {
        switchOff();
        return;
    }
    // Ending the lease leaves the block held by nimo-netd.
    lastOn_.reset();
    netd_.abort();
}

std::optional<std::string> Capture::notice() const {
    if (state_ == State::Unavailable)
        return std::string("未检测到 nimo-netd：全局模式只对遵循系统代理设置的程序生效");
    if (state_ == State::Failed)
        return std::string("全局捕获未能开启：全局模式只对遵循系统代理设置的程序生效");
    return std::nullopt;
}

nlohmann::json Capture::stateJson() const {
    return {{"capture", stateName(state_)}, {"killSwitch", killSwitch_ && state_ == State::On}};
}

void Capture::setState(State state, const std::string& reason) {
    if (state == state_)
        return;
    state_ = state;
    if (state == State::Failed)
        kLog.error("全局捕获失败：" + reason);
    else if (state == State::On)
        kLog.info(std::string("全局捕获已开启") + (killSwitch_ ? "（断网保护）" : ""));
    Q_EMIT stateChanged(state, QString::fromStdString(reason));
}

} // namespace nimo::provider
