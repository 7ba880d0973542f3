#pragma once

#include "DevService.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
}

namespace nimo::devservice {

// Serves a DevService over HTTP on 127.0.0.1, on its own threads.
class DevServer {
public:
    explicit DevServer(DevService& service);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Binds 127.0.0.1:port (0: any free port) and starts serving; the bound port, or -1.
    int start(int port);
    void stop();
    int port() const { return port_; }
    std::string baseURL() const;

private:
    void serve(const Incoming& in, int localPort, int remotePort, Reply& out);
    bool waitOrStopped(std::chrono::milliseconds delay);

    DevService& service_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = -1;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

} // namespace nimo::devservice
