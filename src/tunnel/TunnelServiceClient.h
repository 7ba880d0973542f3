#pragma once

#include "tunnel/TunnelConfiguration.h"
#include "tunnel/TunnelProtocol.h"
#include "tunnel/TunnelTypes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace nimo {

namespace platform {
class UnixSocket;
}

// Client of nimo-tunneld's control socket: the tunnel-configuration, connection and
// extension-activation operations the tunnel manager is written against. Every callback runs on the
// main loop and is dropped when the context object it was given with is gone (a null context means
// "always call"). When the socket does not answer, the service executable is started and the
// connection retried; a lost connection fails what was waiting. Once subscribed, the client comes
// back by itself after the service went away (with growing pauses, without starting the service)
// and takes a fresh status snapshot.
//
// Before anything is sent, the client makes sure it speaks to its own user's service: the socket's
// folder belongs to the user and is closed to others, the socket belongs to the user, and the peer
// of the connection runs as the user (or root).
class TunnelServiceClient : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::string socketPath;
        std::string serviceExecutable; // empty: never start the service
        std::vector<std::string> serviceArguments;
        std::string application;      // whose configurations are loaded and saved
        int startTimeoutMs = 5000;    // how long a started service may take to answer
        int requestTimeoutMs = 15000; // an ordinary request unanswered this long fails
    };
    using MaybeError = std::optional<TunnelError>;
    using ConfigurationsHandler = std::function<void(std::vector<TunnelConfiguration>, const MaybeError&)>;
    using ConfigurationHandler = std::function<void(std::optional<TunnelConfiguration>, const MaybeError&)>;
    using ErrorHandler = std::function<void(const MaybeError&)>;
    using StatusHandler = std::function<void(int status, const MaybeError&)>;
    using ReplyHandler = std::function<void(std::optional<QByteArray> reply, const MaybeError&)>;
    using ResultHandler = std::function<void(const nlohmann::json& result, const MaybeError&)>;

    // The four callbacks of an activation request.
    struct ActivationCallbacks {
        std::function<ExtensionReplacementAction(const std::string& installedVersion,
                                                 const std::string& newVersion)>
            replace;
        std::function<void()> needsUserApproval;
        std::function<void(int result)> finished;
        std::function<void(const TunnelError& error)> failed;
    };

    explicit TunnelServiceClient(Options options, QObject* parent = nullptr);
    ~TunnelServiceClient() override;

    const Options& options() const { return options_; }

    void loadAllFromPreferences(QObject* context, ConfigurationsHandler handler);
    // Answers with the configuration as stored (a first save gives it its identifier).
    void saveToPreferences(QObject* context, const TunnelConfiguration& configuration,
                           ConfigurationHandler handler);
    void loadFromPreferences(QObject* context, const std::string& identifier, ConfigurationHandler handler);
    // An error means the start request was refused.
    void startVPNTunnel(QObject* context, const std::string& identifier,
                        const std::map<std::string, std::string>& options, ErrorHandler handler);
    // handler (optional) hears whether the service took the stop.
    void stopVPNTunnel(const std::string& identifier, QObject* context = nullptr, ErrorHandler handler = {});
    void status(QObject* context, const std::string& identifier, StatusHandler handler);
    // The reply is the provider's answer, or none.
    void sendProviderMessage(QObject* context, const std::string& identifier, const QByteArray& data,
                             ReplyHandler handler);
    // From now on every connection subscribes to status changes; the snapshot and every later change
    // arrive as statusChanged. Connects at once.
    void subscribeStatus();
    void submitActivationRequest(QObject* context, const std::string& identifier,
                                 const std::string& packagePath, ActivationCallbacks callbacks);

    // Any request by operation name with its fields; for tools (approve) and diagnostics.
    void request(const std::string& op, nlohmann::json fields, QObject* context, ResultHandler handler);

    // Fails every waiting request and activation with error, at once.
    void cancelAll(const TunnelError& error) { failAll(error); }

    bool isConnected() const { return state_ == State::Ready; }
    qint64 servicePid() const { return servicePid_; }

Q_SIGNALS:
    // A status of one configuration, from the subscription snapshot or a change.
    void statusChanged(const QString& configuration, int status);
    // A running tunnel ended by itself; reason is what the service recorded (sent after statusChanged).
    void tunnelDropped(const QString& configuration, const QString& reason);
    // The connection to the service closed (service stopped or killed).
    void serviceLost();
    // The service put back desktop settings a tunnel that ended unexpectedly had left; text says so.
    void desktopRecovered(const QString& text);

private:
    // Answer to "subscribe": the current status of every configuration, as statusChanged.
    void applyStatusSnapshot(const nlohmann::json& result, const MaybeError& error);

    enum class State {
        Idle,       // no connection and none under way
        Connecting, // connecting to the socket, maybe after starting the service
        Greeting,   // connected, waiting for the service's greeting
        Ready,      // greeted; requests flow
    };
    struct Pending {
        QPointer<QObject> context;
        bool hadContext = false;
        ResultHandler handler;
        QElapsedTimer age;
        bool timed = true;
    };
    struct Activation {
        QPointer<QObject> context;
        bool hadContext = false;
        ActivationCallbacks callbacks;
        QElapsedTimer age;           // since the request or the last callback the service sent
        bool waitingForUser = false; // needs approval: no deadline while the user decides
    };

    std::int64_t send(const std::string& op, nlohmann::json fields, QObject* context, ResultHandler handler,
                      bool timed = true);
    void ensureConnected();
    // Refuses (with the reason) a socket path whose folder or socket is not the user's own.
    bool socketPathTrusted(std::string* why) const;
    void refuse(const std::string& why);
    void scheduleReconnect();
    void connectSocket();
    void onConnected();
    void onSocketError();
    void onDisconnected();
    void onReadyRead();
    void handleLine(const std::string& line);
    void handleEvent(const nlohmann::json& event);
    void handleActivationEvent(std::int64_t id, const nlohmann::json& event);
    void flushQueue();
    void failAll(const TunnelError& error);
    void expireRequests();
    bool launchService();

    Options options_;
    platform::UnixSocket* socket_ = nullptr;
    State state_ = State::Idle;
    tunnelproto::LineBuffer lines_;
    std::int64_t nextId_ = 1;
    std::map<std::int64_t, Pending> pending_;
    std::map<std::int64_t, Activation> activations_;
    std::vector<QByteArray> queue_; // lines waiting for the greeting
    bool subscribed_ = false;
    bool launched_ = false;
    QElapsedTimer connectClock_;
    QTimer expiryTimer_;
    qint64 servicePid_ = 0;
    bool mayLaunch_ = true;    // false for a reconnect attempt nobody is waiting on
    int reconnectDelayMs_ = 0; // the next pause before reconnecting; 0: none scheduled
    QTimer reconnectTimer_;
};

} // namespace nimo
