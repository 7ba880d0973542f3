#pragma once

#include "service/SettingsStore.h"
#include "support/TestSupport.h"
#include "tunnel/VPNTunnelManager.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QProcess>
#include <QTcpServer>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace nimo::test {

// The reference provider's package in the build tree, the package root above it, and a second
// package root whose provider is the test provider (same identifier, version 0.9.0).
std::string packageRoot();
std::string extensionPackage(const std::string& root);
std::string testPackageRoot();
inline constexpr const char* kTestProviderVersion = "0.9.0";

bool processAlive(qint64 pid);
// Live (not zombie) child processes of pid.
std::vector<qint64> childPids(qint64 pid);

// A real nimo-tunneld on temporary XDG folders. Everything it and the clients started (a service
// restarted by a client, providers) is killed when the fixture goes.
class ServiceHarness {
public:
    explicit ServiceHarness(bool autoApprove = true, std::vector<std::string> extraArguments = {});
    ~ServiceHarness();

    bool start(); // starts the service and waits for its socket
    void killService(int signal = SIGKILL);
    // Also kill this pid at teardown (a service restarted by a client).
    void adopt(qint64 pid) { adopted_.push_back(pid); }

    const std::string& socketPath() const { return socketPath_; }
    qint64 servicePid() const { return process_ ? process_->processId() : 0; }
    std::vector<std::string> serviceArguments() const;
    std::string serviceExecutable() const;
    // Runs "nimo-tunneld <args> --socket <this service's socket>"; its standard output and exit code.
    std::pair<std::string, int> command(const QStringList& args) const;
    VPNTunnelManager::Setup setup(const std::string& packageRoot = test::packageRoot()) const;
    TempXdg& xdg() { return xdg_; }

private:
    TempXdg xdg_;
    bool autoApprove_;
    std::vector<std::string> extraArguments_;
    std::string socketPath_;
    std::unique_ptr<QProcess> process_;
    std::vector<qint64> adopted_;
    mutable std::unique_ptr<SettingsStore> settings_;
};

// A line client for protocol tests: sends requests, collects answers and events.
class RawClient {
public:
    explicit RawClient(const std::string& socketPath);
    bool connected() const { return socket_.state() == QLocalSocket::ConnectedState; }
    void sendLine(const QByteArray& line);
    std::int64_t send(nlohmann::json request); // adds an id, returns it
    // Waits for the answer with that id (events seen meanwhile are kept).
    std::optional<nlohmann::json> answer(std::int64_t id,
                                         std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // Waits for the next event matching pred.
    std::optional<nlohmann::json> event(const std::function<bool(const nlohmann::json&)>& pred,
                                        std::chrono::milliseconds deadline = std::chrono::seconds(5));
    std::optional<nlohmann::json> request(nlohmann::json request);
    std::vector<nlohmann::json>& lines() { return lines_; }
    QLocalSocket& socket() { return socket_; }

private:
    void pump();
    std::optional<nlohmann::json> find(const std::function<bool(const nlohmann::json&)>& pred,
                                       std::chrono::milliseconds deadline);
    QLocalSocket socket_;
    QByteArray partial_;
    std::vector<nlohmann::json> lines_;
    std::int64_t nextId_ = 1000;
};

// A loopback TCP listener that stands for a service host that answers.
class LoopbackHost {
public:
    LoopbackHost();
    std::string url() const;

private:
    QTcpServer server_;
};

// The road the reference provider needs to come up: an account host (the local account service)
// whose subscriptions "sub-1" and "sub-2" list two real loopback nodes ("节点A" on 127.0.0.2,
// "节点B" on 127.0.0.3), with "sub-1" stored in the shared container.
class NodeRoad {
public:
    NodeRoad();
    ~NodeRoad();
    bool ok() const { return ok_; }
    std::string url() const; // the start option "host"

private:
    std::unique_ptr<struct NodeRoadParts> parts_;
    bool ok_ = false;
};
// A configuration for the installed provider, enabled.
inline const nlohmann::json kProviderConfiguration = {
    {"protocol", {{"type", "tunnel-provider"}, {"providerBundleIdentifier", "com.nimomac.qn.sysne"}}},
    {"enabled", true}};

// Matches the status event of configuration with that status.
std::function<bool(const nlohmann::json&)> statusIs(const std::string& configuration, int status);

// Installs the test provider, saves kProviderConfiguration and subscribes control: the tunnel's
// identifier, or empty when a step failed.
std::string prepareTestTunnel(RawClient& control);

// Saves a configuration through the protocol (its identifier comes back) and installs the package.
std::string saveConfiguration(RawClient& client, const nlohmann::json& configuration,
                              const std::string& application = "com.nimomac.qn");
bool install(RawClient& client, const std::string& package);

// Stops the tunnel as the user does and waits until it is down. The stop must have been taken (no
// unanswered or missing configuration); the check half a second later may still see "disconnecting"
// behind a provider slower than that (a sanitized build), which is the product's own rule and has
// its own test, not a fault of the road under test.
bool stopUntilDown(VPNTunnelManager& manager);

} // namespace nimo::test
