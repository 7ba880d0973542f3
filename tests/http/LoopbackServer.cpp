#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

namespace nimo::test {

namespace {
int listenLoopback(int* port, int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}
} // namespace

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {}

LoopbackServer::LoopbackServer(const std::string& cert, const std::string& key)
    : server_(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())), tls_(true) {}

LoopbackServer::~LoopbackServer() {
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

void LoopbackServer::start() {
    if (thread_.joinable())
        return;
    // Recorded before the reply is written (the logger runs after it), so a client that has its
    // answer always finds its request here.
    server_->set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        Seen s{req.method, req.path, {}, req.body, req.headers, req.remote_port};
        for (const auto& [k, v] : req.params)
            s.query += (s.query.empty() ? "" : "&") + k + "=" + v;
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(s));
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int i = 0; i < 500 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // start-up of our own server
}

int LoopbackServer::port() {
    start();
    return port_;
}

std::string LoopbackServer::url(const std::string& path) {
    start();
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LoopbackServer::Seen::header(const std::string& field) const {
    auto it = headers.find(field);
    return it == headers.end() ? std::string() : it->second;
}

std::vector<LoopbackServer::Seen> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

std::size_t LoopbackServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return seen_.size();
}

SilentListener::SilentListener(bool fillQueue) {
    fd_ = listenLoopback(&port_, fillQueue ? 0 : 16);
    if (!fillQueue || fd_ < 0)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    // A backlog of 0 holds one finished handshake; a few non-blocking attempts make sure it is full.
    for (int i = 0; i < 3; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        (void)!::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers_.push_back(c);
    }
    pollfd p{fillers_[0], POLLOUT, 0};
    ::poll(&p, 1, 1000);
}

SilentListener::~SilentListener() {
    for (int c : fillers_)
        ::close(c);
    if (fd_ >= 0)
        ::close(fd_);
}

RawReplyServer::RawReplyServer(std::string reply) {
    fd_ = listenLoopback(&port_, 16);
    thread_ = std::thread([this, reply = std::move(reply)] {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            char buf[4096];
            pollfd r{c, POLLIN, 0};
            if (::poll(&r, 1, 2000) > 0)
                (void)!::read(c, buf, sizeof buf); // the request head
            (void)!::write(c, reply.data(), reply.size());
            ::shutdown(c, SHUT_RDWR);
            ::close(c);
        }
    });
}

RawReplyServer::~RawReplyServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

int closedPort() {
    int port = 0;
    int fd = listenLoopback(&port, 1);
    ::close(fd);
    return port;
}

bool makeCertificates(const std::string& dir) {
    const std::string d = "'" + dir + "'";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string san = "subjectAltName=IP:127.0.0.1,DNS:localhost";
    const std::string script = "cd " + d + " && openssl req -x509" + ec +
                               " -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA" + " && openssl req" +
                               ec + " -keyout server.key -out server.csr -subj /CN=127.0.0.1" +
                               " && printf '" + san + "' > ext.cnf" +
                               " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key "
                               "-CAcreateserial -days 2 -extfile ext.cnf" +
                               " -out server.pem" + " && openssl req -x509" + ec +
                               " -keyout self.key -out self.pem -days 2 -subj /CN=127.0.0.1" + " -addext " +
                               san + " > /dev/null 2>&1";
    return std::system((script + " 2>/dev/null").c_str()) == 0;
}

std::string gzip(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

} // namespace nimo::test
