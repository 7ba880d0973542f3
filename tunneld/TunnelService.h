#pragma once

#include "ConfigurationStore.h"
#include "ExtensionStore.h"
#include "ProviderSession.h"
#include "ProviderSpare.h"
#include "platform/UnixSocket.h"
#include "tunnel/TunnelProtocol.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace nimo::tunneld {

// nimo-tunneld: serves the control socket, keeps the configurations, runs one provider session per
// started configuration and answers activation requests. Single-threaded, on the Qt event loop.
class TunnelService : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::string socketPath;
        std::string stateDir;
        bool autoApprove = false; // install extensions without waiting for "approve"
        int idleExitMs = 60000;   // exit after this long with no client, tunnel or request; 0: never
        SessionTimings timings;
        std::size_t maxConnectionsPerUser = 128; // a peer's connections past these are refused
        std::size_t maxConnections = 512;
    };

    explicit TunnelService(Options options, QObject* parent = nullptr);
    ~TunnelService() override;

    // Binds the socket (directory 0700, socket 0600) and watches that its file stays there. The
    // caller holds the single-instance lock.
    bool listen(std::string* error);
    // Puts back desktop settings a provider left changed when no tunnel runs (a power loss, every
    // process killed); the first subscriber hears what was done.
    void recoverDesktop();

private:
    struct Connection {
        platform::UnixSocket* socket = nullptr;
        unsigned uid = 0;
        tunnelproto::LineBuffer lines;
        bool subscribed = false;
        std::string subscribedApplication; // empty: every application
        bool dropped = false;
    };
    enum class Stage {
        Replace,  // waiting for the requester's answer to the replacement callback
        Approval, // waiting for "approve"
    };
    struct Activation {
        QPointer<platform::UnixSocket> socket;
        nlohmann::json id; // of the "activate" request; its events carry it
        std::string package;
        PackageInfo info;
        Stage stage = Stage::Replace;
    };

    bool bind(std::string* error);
    void onFolderChanged();
    void onNewConnection(platform::UnixSocket* socket);
    // Turns a peer away with a refusal line.
    void refuse(platform::UnixSocket* socket, const TunnelError& error);
    void onReadyRead(platform::UnixSocket* socket);
    void onDisconnected(platform::UnixSocket* socket);
    void handleLine(Connection& connection, const std::string& line);
    void dispatch(Connection& connection, const nlohmann::json& id, const std::string& op,
                  const nlohmann::json& request);
    // Writes one line; a peer that lets more than the limit pile up is dropped.
    void send(Connection& connection, const nlohmann::json& line);
    void answer(Connection& connection, const nlohmann::json& id, nlohmann::json result);
    void fail(Connection& connection, const nlohmann::json& id, const TunnelError& error);
    void sendTo(const QPointer<platform::UnixSocket>& socket, const nlohmann::json& line);
    void flushAll();

    int statusOf(const std::string& configuration) const;
    // reason: why a tunnel ended by itself, sent along as "error".
    void broadcastStatus(const std::string& configuration, const std::string& application, int status,
                         const std::string& reason = {});
    ProviderSession& session(const std::string& configuration, const std::string& application);

    void opStart(Connection& c, const nlohmann::json& id, const nlohmann::json& request);
    void opMessage(Connection& c, const nlohmann::json& id, const nlohmann::json& request);
    void opActivate(Connection& c, const nlohmann::json& id, const nlohmann::json& request);
    void opActivationReply(Connection& c, const nlohmann::json& id, const nlohmann::json& request);
    void opApprove(Connection& c, const nlohmann::json& id, const nlohmann::json& request);
    void proceedToApproval(Activation activation);
    void install(const Activation& activation);
    void activationEvent(const Activation& activation, nlohmann::json fields);
    void onSessionEnded(const QString& configuration);
    // Installs versions held back while their provider ran, once none of it runs.
    void applyDeferredInstalls();
    // Arms or disarms the idle exit after anything that may have changed whether the service is needed.
    void checkIdle();
    bool isIdle() const;
    // Keeps a provider launched ahead for the next start while a client follows and no tunnel runs.
    void keepSpare();
    void keepSpareIn(int ms);
    std::string spareExecutable() const;

    Options options_;
    std::unique_ptr<platform::UnixServer> server_;
    QFileSystemWatcher folderWatch_;
    std::map<platform::UnixSocket*, std::unique_ptr<Connection>> connections_;
    std::size_t refusedForLoad_ = 0; // since the last one accepted
    std::string recovery_;           // for the first subscriber
    ConfigurationStore configurations_;
    ExtensionStore extensions_;
    std::map<std::string, std::unique_ptr<ProviderSession>> sessions_;
    std::map<std::string, std::string> sessionApplications_; // configuration -> application
    std::vector<Activation> activations_;
    bool flushScheduled_ = false;
    QTimer idleTimer_;
    std::map<std::string, std::pair<std::string, PackageInfo>> deferredInstalls_; // by identifier
    ProviderSpare spare_;
    QTimer spareTimer_;
    std::string lastExtension_; // of the last start
};

} // namespace nimo::tunneld
