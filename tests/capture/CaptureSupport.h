#pragma once

// Network namespaces for the capture tests, and probes that run as a given uid inside one.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace nimo::test {

// Why the capture tests cannot run here (not root, no namespaces, no nft), or empty.
std::string captureUnavailableReason();

// Runs a shell command (namespace and firewall setup only); its exit code and output.
int sh(const std::string& command);
std::string shOut(const std::string& command);

// A network namespace that lives as long as the object.
class Netns {
public:
    explicit Netns(std::string name);
    ~Netns();
    const std::string& name() const { return name_; }
    // "ip netns exec <name> " for a command line.
    std::string exec() const { return "ip netns exec " + name_ + " "; }

private:
    std::string name_;
};

// The calling thread works inside the namespace while the object lives; sockets made and threads
// started meanwhile stay there.
class InNetns {
public:
    explicit InNetns(const std::string& name);
    ~InNetns();

private:
    int self_ = -1;
};

// fn's text, run in a child process inside namespace ns as uid (and gid uid); "timeout" when it
// does not finish within timeoutMs.
std::string runAs(const std::string& ns, uid_t uid, const std::function<std::string()>& fn,
                  int timeoutMs = 8000);

// Probes for runAs. DNS: "answer", "servfail", "nxdomain", or the error.
std::string dnsQuery(const std::string& server, const std::string& name, bool tcp, int port = 53);
std::string udpSend(const std::string& address, int port);
std::string ping(const std::string& address);
std::string netdRequest(const std::string& socketPath, const std::vector<std::string>& lines);

// Peer addresses seen by a test server.
class Peers {
public:
    void add(std::string peer);
    std::vector<std::string> all() const;
    bool anyContains(const std::vector<std::string>& needles) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> peers_;
};

// A DNS server on port 53 (UDP and TCP, IPv4 and IPv6) of the namespace it is made in; answers A
// and AAAA for one name and records every peer.
class TinyDns {
public:
    TinyDns(std::string name, std::string a, std::string aaaa);
    ~TinyDns();
    bool ok() const { return ok_; }
    Peers& peers() { return peers_; }

private:
    void serve();
    std::string name_, a_, aaaa_;
    int udp_ = -1, tcp_ = -1, stop_[2] = {-1, -1};
    bool ok_ = false;
    Peers peers_;
    std::unique_ptr<std::thread> thread_;
};

} // namespace nimo::test
