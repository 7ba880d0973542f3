#pragma once

// Dead hosts on loopback for failover tests and benchmarks: a port that refuses, a listener that
// accepts and never answers, and one whose full backlog drops new connection attempts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace nimo::devservice {

inline int boundLoopbackSocket(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

inline std::string loopbackUrl(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

// A loopback port with nothing listening (bound once, then released).
inline std::string refusedUrl() {
    int port = 0;
    ::close(boundLoopbackSocket(&port));
    return loopbackUrl(port);
}

// Listening, never accepting or reading: connections complete in the backlog, then hear nothing.
class SilentListener {
public:
    explicit SilentListener(int backlog = 16) {
        fd_ = boundLoopbackSocket(&port_);
        ::listen(fd_, backlog);
    }
    ~SilentListener() {
        for (int fd : fillers_)
            ::close(fd);
        ::close(fd_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string url() const { return loopbackUrl(port_); }

    // Fills the accept queue so the kernel drops every later connection attempt (SYN): the closest
    // loopback stand-in for a host that drops packets. Use with backlog 0.
    void fillBacklog(int connections = 4) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        for (int i = 0; i < connections; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(fd);
        }
        ::usleep(20000); // let the handshakes that fit complete
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

} // namespace nimo::devservice
