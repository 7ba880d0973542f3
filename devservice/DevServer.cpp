#include "DevServer.h"

#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace nimo::devservice {

namespace {

constexpr size_t kMaxBody = 64 * 1024;

int portOf(const sockaddr_in& addr) {
    return ntohs(addr.sin_port);
}

// The server library hands handlers no socket, so find it by its two port numbers and shut it: the
// client then sees the connection closed with no reply at all. remotePort 0: every connection.
bool dropConnection(int localPort, int remotePort) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool dropped = false;
    while (dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == dirfd(dir))
            continue;
        sockaddr_in local{}, peer{};
        socklen_t len = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.sin_family != AF_INET ||
            portOf(local) != localPort)
            continue;
        len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
            (remotePort != 0 && portOf(peer) != remotePort))
            continue;
        ::shutdown(fd, SHUT_RDWR);
        dropped = true;
        if (remotePort != 0)
            break;
    }
    closedir(dir);
    return dropped;
}

} // namespace

DevServer::DevServer(DevService& service) : service_(service), server_(std::make_unique<httplib::Server>()) {
    // Writes to a dropped connection must fail with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    server_->set_payload_max_length(kMaxBody);
    // Headers and body go out in separate writes; without this each reply waits on a delayed ACK.
    server_->set_tcp_nodelay(true);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        Incoming in;
        in.method = req.method;
        in.path = req.path;
        for (const auto& [key, value] : req.params)
            in.query.emplace(key, value);
        in.token = req.get_header_value("token");
        in.authorization = req.get_header_value("authorization");
        in.version = req.get_header_value("version");
        in.contentType = req.get_header_value("Content-Type");
        in.body = req.body;
        Reply reply;
        serve(in, req.local_port, req.remote_port, reply);
        res.status = reply.status;
        res.set_content(reply.body, reply.contentType.c_str());
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);
}

DevServer::~DevServer() {
    stop();
}

void DevServer::serve(const Incoming& in, int localPort, int remotePort, Reply& out) {
    out = service_.handle(in);
    if (out.delay.count() > 0)
        waitOrStopped(out.delay);
    if (out.drop)
        dropConnection(localPort, remotePort);
}

bool DevServer::waitOrStopped(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, delay, [this] { return stopping_; });
}

int DevServer::start(int port) {
    if (port < 0 || port > 65535)
        return -1;
    if (port == 0)
        port_ = server_->bind_to_any_port("127.0.0.1");
    else
        port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    if (port_ <= 0) {
        port_ = -1;
        return -1;
    }
    service_.setBaseURL(baseURL());
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it (the socket already listens).
    for (int i = 0; i < 2000 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port_;
}

void DevServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        server_->stop();
        // Idle keep-alive connections would hold the workers for their whole timeout.
        dropConnection(port_, 0);
        thread_.join();
    }
}

std::string DevServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

} // namespace nimo::devservice
