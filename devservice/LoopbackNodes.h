#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

namespace nimo::devservice {

// The path of ss-server on PATH, or "" when the package is not installed.
std::string findNodeServer();

// An IPv4 or IPv6 literal with a port as a socket address; its length, or 0 when it is neither.
socklen_t socketAddress(const std::string& address, int port, sockaddr_storage* out);

// One shadowsocks node (ss-server) on a loopback address, for the demo and the tests. Its outgoing
// connections also leave from that address, so a target can tell nodes apart by the peer address.
// The configuration (with the password) is a 0600 file in a private temporary folder, never argv.
class LoopbackNode {
public:
    LoopbackNode(std::string remarks, std::string address = "127.0.0.1", std::string method = "aes-256-gcm",
                 std::string password = {});
    ~LoopbackNode();
    LoopbackNode(const LoopbackNode&) = delete;
    LoopbackNode& operator=(const LoopbackNode&) = delete;

    // Starts ss-server and waits until it accepts connections; false (and error) otherwise.
    bool start(std::string* error = nullptr);
    void stop();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& address() const { return address_; }
    // The server as the online-configuration list gives it.
    nlohmann::json serverEntry() const;

private:
    std::string remarks_, address_, method_, password_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace nimo::devservice
