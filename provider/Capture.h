#pragma once

#include "DnsForwarder.h"
#include "NodeList.h"
#include "Relay.h"
#include "platform/UnixSocket.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace nimo::provider {

// Global mode's system-wide capture, through nimo-netd: the user's TCP goes to the relay, DNS to the
// forwarder, both on into the tunnel; with the kill switch the block stays when the tunnel ends
// unexpectedly. Without nimo-netd global mode carries only what follows the desktop's proxy.
class Capture : public QObject {
    Q_OBJECT
public:
    enum class State {
        Unavailable, // nimo-netd is not installed or does not answer
        Off,         // nothing captured
        Switching,   // asked nimo-netd, no answer yet
        On,          // every TCP connection and DNS query of the user goes into the tunnel
        Failed,      // nimo-netd refused; global mode goes on through the proxy settings only
    };

    explicit Capture(QObject* parent = nullptr);

    // At the start of a tunnel: a block a dead tunnel left (kill switch) is lifted so the start can
    // reach the account service; true when nimo-netd answered.
    bool liftHeldBlock();
    // Captures the user's traffic into the tunnel whose SOCKS5 port is socksPort, the node exempt.
    void switchOn(const transport::Node& node, int socksPort, bool killSwitch);
    // Before the transport connects to another node: its exemption comes first, then go runs.
    void nodeChanging(const transport::Node& node, std::function<void()> go);
    // While the transport is down the relay refuses and the forwarder answers SERVFAIL at once.
    void setTunnelUp(bool up);
    // A normal stop or rule mode: nothing captured, nothing blocked.
    void switchOff();
    // The tunnel ends unexpectedly: the kill switch's block stays, without it the capture goes.
    void abandon();

    State state() const { return state_; }
    bool killSwitch() const { return killSwitch_; }
    // The user's connections are being redirected: a probe of any node but the current one would
    // reach the relay, not the node.
    bool capturing() const { return lastOn_.has_value(); }
    // While global mode runs without the capture: what the user should know (the client shows it
    // once per start).
    std::optional<std::string> notice() const;
    // For "Hello": the capture in force and whether the kill switch holds.
    nlohmann::json stateJson() const;

Q_SIGNALS:
    void stateChanged(Capture::State state, const QString& reason);

private:
    nlohmann::json request(const std::vector<std::string>& addresses) const;
    void connectNetd();
    void send(const nlohmann::json& request);
    void onReply();
    void setState(State state, const std::string& reason = {});

    Relay relay_;
    DnsForwarder dns_;
    platform::UnixSocket netd_;
    QTimer reconnect_;
    State state_ = State::Off;
    bool killSwitch_ = true;
    bool everConnected_ = false;
    int socksPort_ = 0;
    std::optional<transport::Node> node_;
    std::optional<nlohmann::json> lastOn_; // sent again when nimo-netd restarts
    std::function<void()> afterAnswer_;    // a node switch waiting for its exemption
    QTimer answerTimer_;
};

// The node's addresses as IP literals: the text itself when it is one, else what it resolves to
// (looked up without blocking the loop the forwarder runs on).
void nodeAddresses(QObject* owner, const std::string& server,
                   std::function<void(std::vector<std::string>)> done);

} // namespace nimo::provider
