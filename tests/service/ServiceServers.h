#pragma once

// Real loopback peers for the service client tests: the local account service in-process, a port
// that refuses, and a listener that accepts connections and never answers.
#include "DevServer.h"
#include "DevService.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimo::test {

class LocalService {
public:
    LocalService() : server_(service_) { port_ = server_.start(0); }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    devservice::DevService& service() { return service_; }

    // Scripts one endpoint (see devservice/README.md); fails the test on a refused script.
    void script(const nlohmann::json& override) {
        auto reply = service_.handle({"POST", "/admin/override", {}, {}, {}, {}, {}, override.dump()});
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    nlohmann::json requests() {
        auto reply = service_.handle({"GET", "/admin/requests", {}, {}, {}, {}, {}, {}});
        return nlohmann::json::parse(reply.body, nullptr, false);
    }

private:
    devservice::DevService service_;
    devservice::DevServer server_;
    int port_ = -1;
};

// A loopback socket bound and listening, never accepting or reading: connections complete in the
// backlog and then hear nothing.
class SilentListener {
public:
    explicit SilentListener(int backlog = 16) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, backlog);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port with nothing listening (bound once, then released).
inline std::string refusedUrl() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

} // namespace nimo::test
