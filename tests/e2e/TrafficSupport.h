#pragma once

// Loopback pieces for tunnel traffic: an HTTP target that answers with the address a connection came
// from (so a test sees which node carried it), fetches through a SOCKS5 port, and the desktop's
// GNOME proxy settings as gsettings reads them.
#include "service/NMApi.h"
#include "service/SettingsStore.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace nimo::test {

class TrafficTarget {
public:
    TrafficTarget(); // "/" answers the peer address; "/bytes?n=N" answers N bytes
    ~TrafficTarget();
    std::string url(const std::string& path = "/") const;
    int port() const { return port_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<class TargetThread> thread_;
    int port_ = 0;
};

// GET url through the SOCKS5 proxy on 127.0.0.1:socksPort (names resolved by the proxy); the body,
// or nullopt when nothing came back. socksPort 0: direct.
std::optional<std::string> fetch(const std::string& url, int socksPort, long timeoutMs = 5000);

// True when a TCP connection to 127.0.0.1:port is accepted.
bool portOpen(int port);

// gsettings get/set for the GNOME proxy keys (GSETTINGS_BACKEND and XDG_CONFIG_HOME of this process).
std::string gsettingsGet(const std::string& schema, const std::string& key);
bool gsettingsSet(const std::string& schema, const std::string& key, const std::string& value);

// FindProxyForURL of a proxy auto-config script for each host, run by node with the helper
// functions browsers provide; empty when the script could not be run.
std::vector<std::string> pacDecisions(const std::string& script, const std::vector<std::string>& hosts);

// Waits for one service call and returns how it ended ("" on success, the failure text otherwise).
std::string await(const std::function<void(std::optional<std::string>&)>& start);

// Signs the demo account in through the client's endpoints against the account service its
// remembered host names, loads the subscription and stores its identifier in the shared container
// as the connect road does; the subscription record, or nullopt (with a test failure).
std::optional<SubscriptionRecord> signInAndSubscribe(SettingsStore& settings);

} // namespace nimo::test
