#pragma once

#include "tunnel/TunnelProtocol.h"
#include "tunnel/TunnelTypes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

namespace nimo::tunneld {

// Timing of a session; the defaults are the service's.
struct SessionTimings {
    int connectingMs = 30000;    // connecting that does not finish ends in disconnected
    int disconnectingMs = 10000; // so does disconnecting
    int livenessMs = 120000;     // a provider silent this long is pinged
    int silenceMs = 5000;        // a ping unanswered this long: the provider hangs
    int messageMs = 5000;        // a provider message unanswered this long gets "no reply"
    int exitGraceMs = 1000;      // a provider that reported disconnected has this long to exit
};

// A provider process launched and waiting for its first line. Its output comes through a pipe of
// our own: the pipe's end of file says the provider can report nothing more, which QProcess only
// tells once the process is gone.
struct LaunchedProvider {
    QProcess* process = nullptr;
    int outputFd = -1;
};
std::optional<LaunchedProvider> launchProvider(const std::string& executable, QObject* parent,
                                               std::string* error);
// Ends one that was never given a line: idle, it holds nothing that needs putting back.
void discardProvider(LaunchedProvider& launched);

// The tunnel of one configuration: a provider child process speaking line JSON on stdin/stdout
// (see docs/tunnel-protocol.md), and the status it reports.
class ProviderSession : public QObject {
    Q_OBJECT
public:
    using ReplyHandler = std::function<void(std::optional<QByteArray> reply)>;

    ProviderSession(std::string configuration, SessionTimings timings, QObject* parent = nullptr);
    ~ProviderSession() override;

    const std::string& configuration() const { return configuration_; }
    const std::string& extension() const { return extension_; }
    VpnStatus status() const { return status_; }
    bool isRunning() const { return process_ != nullptr; }
    const nlohmann::json& options() const { return options_; }
    // The options as they may be shown to a client: secrets masked, URLs without credentials.
    nlohmann::json shownOptions() const;
    const std::string& lastError() const { return lastError_; }
    qint64 providerPid() const;

    // Launches the provider, or takes one launched ahead of time; the status becomes connecting.
    std::optional<TunnelError> start(const std::string& executable, const std::string& extension,
                                     nlohmann::json options, nlohmann::json configuration,
                                     std::optional<LaunchedProvider> launched = std::nullopt);
    // Asks the provider to stop; false when nothing runs.
    bool stop();
    // false when too many messages wait; the handler is then not called.
    bool sendMessage(const QByteArray& data, ReplyHandler handler);
    // An earlier provider of this session is still on its way out (its grace period or a kill).
    bool isExiting() const { return !exiting_.isNull(); }
    // Runs fn once no earlier provider is left (at once when none is).
    void whenExited(std::function<void()> fn);

Q_SIGNALS:
    // reason: why a running tunnel ended by itself (empty for a requested stop and other changes).
    void statusChanged(const QString& configuration, int status, const QString& reason);
    // The provider process is gone (exited, crashed, killed).
    void ended(const QString& configuration);

private:
    void setStatus(VpnStatus status, const std::string& reason = {});
    // Text from the provider made fit for clients and logs: no secret option, no URL credentials.
    std::string shown(const std::string& text) const;
    void exited();
    void readOutput();
    void closeOutput();
    void onOutput(const QByteArray& bytes);
    void handleLine(const std::string& line);
    void onFinished();
    void onOutputClosed();
    // Pings a provider that has been silent for a while; nothing happens while it talks.
    void checkLiveness();
    void ping();
    void judgeSilence();
    void expireMessages();
    // Moves to disconnected at once and makes sure the process goes.
    void finish(const std::string& error, bool kill);
    void write(const nlohmann::json& line);
    void answerAllMessages();
    // A provider that did not end on its own terms may have left the desktop pointed at a tunnel
    // that is gone: its restore step ("--restore-desktop") puts the user's settings back.
    void runRestoreStep();

    std::string configuration_;
    SessionTimings timings_;
    std::string extension_;
    std::string executable_;
    VpnStatus status_ = VpnStatus::Disconnected;
    QProcess* process_ = nullptr;
    int outputFd_ = -1; // the provider's standard output
    QSocketNotifier* outputNotifier_ = nullptr;
    bool draining_ = false; // reading what a provider that exited left behind
    tunnelproto::LineBuffer lines_;
    nlohmann::json options_ = nlohmann::json::object();
    std::string lastError_;
    QTimer phaseTimer_; // connecting or disconnecting deadline
    // No timer runs while a healthy provider is quiet, except the rare liveness check: its exit
    // and the end of its output are events of their own.
    QTimer livenessTimer_;
    QTimer answerTimer_;  // armed while a ping waits
    QTimer messageTimer_; // armed while a message waits
    QElapsedTimer lastHeard_;
    QElapsedTimer pingSent_;
    // A stall of the service itself (stopped, suspended) is not the provider's silence: it may
    // extend the wait for a pong once.
    bool stallForgiven_ = false;
    bool awaitingPong_ = false;
    bool stopRequested_ = false;
    QPointer<QProcess> exiting_;
    std::vector<std::function<void()>> afterExit_;
    std::int64_t nextMessage_ = 1;
    struct PendingMessage {
        ReplyHandler handler;
        QElapsedTimer age;
    };
    std::map<std::int64_t, PendingMessage> messages_;
};

} // namespace nimo::tunneld
