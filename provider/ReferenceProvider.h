#pragma once

#include "Capture.h"
#include "DesktopProxy.h"
#include "NodeList.h"
#include "PacServer.h"
#include "Transport.h"
#include "tunnel/TunnelProtocol.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace nimo::provider {

// The reference tunnel provider. On start it fetches the subscription's server list from the
// account service ("host"), picks the node ("nodeName", or the fastest to connect), runs the
// transport helper for it, checks that a request through the SOCKS5 port comes back through the
// node, then points the desktop's proxy at the tunnel ("tunMode") and reports connected.
// Speaks line JSON with nimo-tunneld on stdin/stdout (docs/tunnel-protocol.md).
class ReferenceProvider : public QObject {
    Q_OBJECT
public:
    struct State {
        std::string subuuid, host, nodeName, tunMode;
        bool killSwitch = true;
    };

    explicit ReferenceProvider(QObject* parent = nullptr);
    ~ReferenceProvider() override;

    // Ends the tunnel from a signal or the end of input: the desktop gets its settings back.
    void shutdown();
    // Loads what the first connect needs while the start line is awaited: GSettings and a helper.
    void warmUp();

    static constexpr int kListMs = 8000;      // fetching the server list
    static constexpr int kMeasureMs = 2000;   // connect-time race of the automatic route
    static constexpr int kNodeCheckMs = 3000; // reaching a named node
    static constexpr int kTunnelCheckMs = 6000;
    // While connected and used, the node is asked this often whether it still takes connections.
    static constexpr int kHealthMs = 3000;
    static constexpr int kHealthProbeMs = 2500;

private:
    enum class Phase {
        Idle,       // no start yet
        Connecting, // list, node, helper, check
        Connected,  // traffic flows
        Ended,      // stopped or failed; the process is on its way out
    };

    void onInput();
    void handle(const nlohmann::json& line);
    void start(const nlohmann::json& options);
    void fetchServerList();
    // Picks the node for name (measuring when automatic) and calls done with it, or fail()s.
    void chooseNode(const std::string& name, std::function<void(const transport::Node&)> done,
                    std::function<void(const std::string&)> failed);
    void onListening(int port);
    void onTunnelChecked(const std::string& error);
    void onTransportProblem(const std::string& reason);
    void switchNode(const std::string& name);
    // Node health: a probe when the tunnel was used since the last look; a node that stopped taking
    // connections is left for the next fastest (automatic route) or ends the tunnel (a chosen node).
    void checkHealth();
    void onNodeDead(const std::string& why);
    // What could not be done, "" when the desktop points at the tunnel.
    std::string applyMode();
    void fail(const std::string& why);
    void stop();
    void end(const std::string& error);
    std::string answer(const std::string& message);
    nlohmann::json stateJson() const;
    void send(const nlohmann::json& line);
    void reportStatus(int status, const std::string& error = {});
    QUrl hostUrl() const;

    QSocketNotifier input_;
    tunnelproto::LineBuffer lines_;
    State state_;
    Phase phase_ = Phase::Idle;
    QNetworkAccessManager network_;
    std::vector<transport::Node> nodes_;
    Transport transport_;
    PacServer pac_;
    DesktopProxy desktop_;
    Capture capture_; // global mode's system-wide capture through nimo-netd
    int socksPort_ = 0;
    bool switching_ = false;
    std::optional<std::string> pendingSwitch_;
    std::optional<transport::Node> previousNode_; // while a switch is checked
    int restarts_ = 0;
    QTimer healthTimer_;
    std::uint64_t lastTraffic_ = 0;
    bool probing_ = false;
    bool failingOver_ = false;              // a switch away from a dead node, reported as reasserting
    std::vector<std::string> deadNodes_;    // "server:port" of nodes that stopped answering
    std::map<std::string, int> measuredMs_; // "server:port" -> connect time of its last real probe
};

} // namespace nimo::provider
