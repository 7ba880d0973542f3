#pragma once

#include <atomic>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimo::test {

// A real HTTP(S) server on 127.0.0.1 with a free port, run on its own thread. Keeps a copy of every
// request it received.
class LoopbackServer {
public:
    LoopbackServer();                                                // plain HTTP
    LoopbackServer(const std::string& cert, const std::string& key); // HTTPS
    ~LoopbackServer();

    httplib::Server& server() { return *server_; }
    // Starts listening, once; routes cannot be added after that (the server thread reads them
    // unguarded). port() and url() start it as well, so a test adds its routes before asking.
    void start();
    int port();
    std::string url(const std::string& path);

    struct Seen {
        std::string method, path, query, body;
        httplib::Headers headers;
        int remotePort = 0; // tells which connection carried it
        bool has(const std::string& field) const { return headers.count(field) > 0; }
        std::string header(const std::string& field) const;
    };
    std::vector<Seen> requests() const;
    std::size_t requestCount() const;

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    bool tls_ = false;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

// A listening socket that is never accepted: the kernel completes the handshake, nothing answers.
// With a full accept queue (fillQueue) further connection attempts are dropped instead: a host
// that never finishes the handshake.
class SilentListener {
public:
    explicit SilentListener(bool fillQueue = false);
    ~SilentListener();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// Accepts connections and writes reply to each, then closes it.
class RawReplyServer {
public:
    explicit RawReplyServer(std::string reply);
    ~RawReplyServer();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port nothing listens on.
int closedPort();

// PEM files in dir: ca.pem (a CA), server.pem/server.key (signed by it, for 127.0.0.1 and
// localhost), self.pem/self.key (self-signed, same names). False when openssl failed.
bool makeCertificates(const std::string& dir);

// gzip of data.
std::string gzip(const std::string& data);

} // namespace nimo::test
