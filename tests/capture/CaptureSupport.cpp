#include "CaptureSupport.h"

#include "LoopbackNodes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nimo::test {

namespace {
std::string errnoText(const char* what) {
    return std::string("error:") + what + ":" + std::strerror(errno);
}

std::string encodeName(const std::string& name) {
    std::string out;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        out += static_cast<char>(dot - start);
        out += name.substr(start, dot - start);
        start = dot + 1;
    }
    return out + '\0';
}

bool readFull(int fd, char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::recv(fd, data + done, size - done, 0);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void setTimeout(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
} // namespace

std::string captureUnavailableReason() {
    if (::geteuid() != 0)
        return "capture tests need root (network namespaces and nftables)";
    if (sh("command -v nft >/dev/null && command -v ip >/dev/null && command -v setpriv >/dev/null") != 0)
        return "capture tests need nft, ip and setpriv (packages nftables, iproute2, util-linux)";
    const std::string probe = "nimo-cap-probe-" + std::to_string(::getpid());
    if (sh("ip netns add " + probe + " 2>/dev/null") != 0)
        return "network namespaces are unavailable here";
    const bool nft = sh("ip netns exec " + probe + " nft list ruleset >/dev/null 2>&1") == 0;
    sh("ip netns del " + probe);
    return nft ? "" : "nftables does not work inside a network namespace here";
}

int sh(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shOut(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

Netns::Netns(std::string name) : name_(std::move(name)) {
    sh("ip netns del " + name_ + " 2>/dev/null");
    sh("ip netns add " + name_ + " && ip -n " + name_ + " link set lo up");
}

Netns::~Netns() {
    sh("ip netns del " + name_ + " 2>/dev/null");
    sh("rm -rf /etc/netns/" + name_);
}

InNetns::InNetns(const std::string& name) {
    self_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (target >= 0) {
        ::setns(target, CLONE_NEWNET);
        ::close(target);
    }
}

InNetns::~InNetns() {
    if (self_ >= 0) {
        ::setns(self_, CLONE_NEWNET);
        ::close(self_);
    }
}

std::string runAs(const std::string& ns, uid_t uid, const std::function<std::string()>& fn, int timeoutMs) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return errnoText("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        const int target = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (target < 0 || ::setns(target, CLONE_NEWNET) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(3);
        const std::string result = fn();
        [[maybe_unused]] auto n = ::write(out[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string result;
    pollfd p{out[0], POLLIN, 0};
    bool timedOut = false;
    for (;;) {
        if (::poll(&p, 1, timeoutMs) <= 0) {
            timedOut = true;
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return timedOut ? "timeout" : result;
}

std::string dnsQuery(const std::string& server, const std::string& name, bool tcp, int port) {
    sockaddr_storage addr;
    const socklen_t len = devservice::socketAddress(server, port, &addr);
    std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    query += encodeName(name) + std::string("\x00\x01\x00\x01", 4);
    const int fd = ::socket(addr.ss_family, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    setTimeout(fd, 4000);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0)
        return errnoText("connect");
    std::string reply(65535, '\0');
    ssize_t got = 0;
    if (tcp) {
        const std::string framed =
            std::string{static_cast<char>(query.size() >> 8), static_cast<char>(query.size())} + query;
        char head[2];
        if (::send(fd, framed.data(), framed.size(), 0) < 0 || !readFull(fd, head, 2))
            return errnoText("tcp");
        got = (static_cast<unsigned char>(head[0]) << 8) | static_cast<unsigned char>(head[1]);
        if (!readFull(fd, reply.data(), static_cast<std::size_t>(got)))
            return errnoText("tcp");
    } else {
        if (::send(fd, query.data(), query.size(), 0) < 0)
            return errnoText("send");
        got = ::recv(fd, reply.data(), reply.size(), 0);
        if (got < 0)
            return errno == EAGAIN ? "timeout" : errnoText("recv");
    }
    ::close(fd);
    if (got < 12 || reply[0] != '\x12' || reply[1] != '\x34')
        return "malformed";
    const int rcode = reply[3] & 0x0f;
    const int answers = (static_cast<unsigned char>(reply[6]) << 8) | static_cast<unsigned char>(reply[7]);
    return rcode == 2 ? "servfail" : rcode == 3 ? "nxdomain" : answers > 0 ? "answer" : "empty";
}

std::string udpSend(const std::string& address, int port) {
    sockaddr_storage addr;
    const socklen_t len = devservice::socketAddress(address, port, &addr);
    const int fd = ::socket(addr.ss_family, SOCK_DGRAM, 0);
    setTimeout(fd, 4000);
    char byte = 'x';
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::send(fd, &byte, 1, 0) < 0)
        return errnoText("send");
    if (::recv(fd, &byte, 1, 0) < 0)
        return errno == EAGAIN ? "timeout" : errnoText("recv");
    return "answer";
}

std::string ping(const std::string& address) {
    sockaddr_storage addr;
    const socklen_t len = devservice::socketAddress(address, 0, &addr);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    if (fd < 0)
        return errnoText("socket");
    setTimeout(fd, 4000);
    icmphdr echo{};
    echo.type = ICMP_ECHO;
    char reply[256];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::send(fd, &echo, sizeof echo, 0) < 0)
        return errnoText("send");
    if (::recv(fd, reply, sizeof reply, 0) < 0)
        return errno == EAGAIN ? "timeout" : errnoText("recv");
    return "answer";
}

std::string netdRequest(const std::string& socketPath, const std::vector<std::string>& lines) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    setTimeout(fd, 4000);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return errnoText("connect");
    std::string replies;
    for (const auto& line : lines) {
        const std::string text = line + "\n";
        if (::send(fd, text.data(), text.size(), 0) < 0)
            return errnoText("send");
        char c;
        while (::recv(fd, &c, 1, 0) == 1) {
            replies += c;
            if (c == '\n')
                break;
        }
    }
    ::close(fd);
    return replies;
}

void Peers::add(std::string peer) {
    std::lock_guard lock(mutex_);
    peers_.push_back(std::move(peer));
}

std::vector<std::string> Peers::all() const {
    std::lock_guard lock(mutex_);
    return peers_;
}

bool Peers::anyContains(const std::vector<std::string>& needles) const {
    std::lock_guard lock(mutex_);
    for (const auto& peer : peers_)
        for (const auto& needle : needles)
            if (peer.find(needle) != std::string::npos)
                return true;
    return false;
}

TinyDns::TinyDns(std::string name, std::string a, std::string aaaa)
    : name_(std::move(name)), a_(std::move(a)), aaaa_(std::move(aaaa)) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(53);
    udp_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    tcp_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ok_ = ::pipe2(stop_, O_CLOEXEC) == 0 &&
          ::bind(udp_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          ::bind(tcp_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(tcp_, 16) == 0;
    if (ok_)
        thread_ = std::make_unique<std::thread>([this] { serve(); });
}

TinyDns::~TinyDns() {
    if (thread_) {
        [[maybe_unused]] auto n = ::write(stop_[1], "x", 1);
        thread_->join();
    }
    for (int fd : {udp_, tcp_, stop_[0], stop_[1]})
        if (fd >= 0)
            ::close(fd);
}

void TinyDns::serve() {
    auto answer = [this](const std::string& query) {
        if (query.size() < 17)
            return std::string();
        std::size_t end = 12;
        std::string name;
        while (end < query.size() && query[end] != 0) {
            const std::size_t label = static_cast<unsigned char>(query[end]);
            name += (name.empty() ? "" : ".") + query.substr(end + 1, label);
            end += 1 + label;
        }
        end += 5;
        if (end > query.size())
            return std::string();
        const int type = static_cast<unsigned char>(query[end - 3]);
        std::string reply = query.substr(0, end);
        reply[2] = '\x81';
        const bool known = name == name_;
        reply[3] = known ? '\x80' : '\x83';
        const std::string& address = type == 28 ? aaaa_ : a_;
        unsigned char raw[16];
        const bool have = known && (type == 1 || type == 28) &&
                          ::inet_pton(type == 28 ? AF_INET6 : AF_INET, address.c_str(), raw) == 1;
        reply[6] = 0;
        reply[7] = have ? 1 : 0;
        reply[8] = reply[9] = reply[10] = reply[11] = 0;
        if (have) {
            const char size = type == 28 ? 16 : 4;
            reply += std::string("\xc0\x0c\x00", 3) + static_cast<char>(type) +
                     std::string("\x00\x01\x00\x00\x00\x3c\x00", 7) + size;
            reply.append(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(size));
        }
        return reply;
    };
    auto peerText = [](const sockaddr_in6& peer) {
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof text);
        return std::string(text);
    };
    for (;;) {
        pollfd fds[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 || fds[2].revents)
            return;
        sockaddr_in6 peer{};
        socklen_t len = sizeof peer;
        if (fds[0].revents) {
            char buffer[1500];
            const ssize_t n =
                ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &len);
            if (n > 0) {
                peers_.add(peerText(peer));
                const std::string reply = answer(std::string(buffer, static_cast<std::size_t>(n)));
                ::sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), len);
            }
        }
        if (fds[1].revents) {
            const int client = ::accept4(tcp_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            peers_.add(peerText(peer));
            setTimeout(client, 2000);
            char head[2];
            std::string query(512, '\0');
            if (readFull(client, head, 2)) {
                const std::size_t size =
                    (static_cast<unsigned char>(head[0]) << 8) | static_cast<unsigned char>(head[1]);
                query.resize(size);
                if (readFull(client, query.data(), size)) {
                    const std::string reply = answer(query);
                    const std::string framed =
                        std::string{static_cast<char>(reply.size() >> 8), static_cast<char>(reply.size())} +
                        reply;
                    ::send(client, framed.data(), framed.size(), MSG_NOSIGNAL);
                }
            }
            ::close(client);
        }
    }
}

} // namespace nimo::test
