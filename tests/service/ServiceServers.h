#pragma once

// Real loopback peers for the service client tests: the local account service in-process, a port
// that refuses, and a listener that accepts connections and never answers.
#include "DevServer.h"
#include "DevService.h"
#include "LoopbackPeers.h"

#include <gtest/gtest.h>

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

using devservice::refusedUrl;
using devservice::SilentListener;

} // namespace nimo::test
