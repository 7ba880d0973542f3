#pragma once

#include "CaptureRules.h"
#include "platform/UnixSocket.h"

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

struct nft_ctx;

namespace nimo::netd {

// The root service behind global mode's system-wide capture. Every caller is known by the uid the
// kernel gives for its connection, and can only ever change the table of that uid. The connection
// that switched a capture on is its lease: when it ends without "off" (the provider died), a capture
// with the kill switch stays in force ("held"), one without is removed.
class NetdService : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::string socketPath;           // ignored when listenFd is set
        int listenFd = -1;                // a socket handed over by the service manager
        std::optional<uid_t> resolverUid; // the system resolver whose queries are carried too
    };

    explicit NetdService(Options options, QObject* parent = nullptr);
    ~NetdService() override;

    // Listens, takes over the tables a previous run left and starts watching the ruleset.
    bool start(std::string* why);

    // Removes every table this service makes (the package's removal step).
    static bool removeAll(std::string* why);

    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kMaxClients = 128;

private:
    enum class State {
        On,   // the owner's provider holds the lease
        Held, // the provider is gone; the kill switch keeps the block in place
    };
    struct Capture {
        std::optional<CaptureRequest> request; // none for a table taken over from a previous run
        std::string script;                    // what puts the table back
        State state = State::On;
        platform::UnixSocket* lease = nullptr;
    };
    using Handler = nlohmann::json (NetdService::*)(uid_t, platform::UnixSocket*, const nlohmann::json&);

    void onConnection(platform::UnixSocket* socket);
    void onLine(platform::UnixSocket* socket, uid_t uid, const std::string& line);
    void onLeaseEnded(platform::UnixSocket* socket);
    nlohmann::json on(uid_t uid, platform::UnixSocket* socket, const nlohmann::json& request);
    nlohmann::json update(uid_t uid, platform::UnixSocket* socket, const nlohmann::json& request);
    nlohmann::json off(uid_t uid, platform::UnixSocket* socket, const nlohmann::json& request);
    nlohmann::json status(uid_t uid, platform::UnixSocket* socket, const nlohmann::json& request);
    nlohmann::json apply(uid_t uid, platform::UnixSocket* socket, const CaptureRequest& request);
    void takeOver();
    void watchRuleset();
    void restoreMissing();
    bool tableExists(uid_t uid);

    Options options_;
    std::unique_ptr<platform::UnixServer> server_;
    std::map<uid_t, Capture> captures_;
    std::map<std::string, Handler> handlers_;
    std::size_t clients_ = 0;
    int netlink_ = -1;
    int lockFd_ = -1;
    std::unique_ptr<QSocketNotifier> netlinkNotifier_;
    bool restoreQueued_ = false;
};

// Runs an nft script in one transaction; the output, or nullopt with the error text in *error.
std::optional<std::string> runNft(const std::string& script, std::string* error);

} // namespace nimo::netd
