// nimo-devservice: the local account service for the demo and the tests.
#include "DevServer.h"
#include "DevService.h"
#include "LoopbackNodes.h"
#include "platform/Log.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace nimo;

namespace {

void usage() {
    platform::consoleLog("usage: nimo-devservice [--port N] [--fixture FILE] [--no-nodes]\n"
                         "  --port N        listen on 127.0.0.1:N; 0 (default) picks a free port\n"
                         "  --fixture FILE  start from the state in FILE (JSON) instead of the demo state\n"
                         "  --no-nodes      do not start the two loopback nodes (ss-server)\n"
                         "The first line on standard output is the port.");
}

bool parsePort(const char* text, int& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || end == text || value < 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string fixturePath;
    bool nodes = true;
    bool fixtureServers = false; // a fixture's own server list wins over the loopback nodes
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            if (!parsePort(argv[++i], port)) {
                platform::consoleLog("nimo-devservice: --port needs a number from 0 to 65535");
                return 2;
            }
        } else if (arg == "--fixture" && i + 1 < argc) {
            fixturePath = argv[++i];
        } else if (arg == "--no-nodes") {
            nodes = false;
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }

    devservice::DevService service;
    if (!fixturePath.empty()) {
        std::ifstream in(fixturePath);
        if (!in) {
            platform::consoleLog("nimo-devservice: cannot read " + fixturePath);
            return 1;
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        const auto fixture = nlohmann::json::parse(text.str(), nullptr, false);
        fixtureServers = fixture.is_object() && fixture.contains("servers");
        if (!service.loadFixture(fixture, &error)) {
            platform::consoleLog("nimo-devservice: bad fixture " + fixturePath + ": " + error);
            return 1;
        }
    }

    // Signals are taken by sigwait below, so block them before any server thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Two real nodes named after catalogue entries, so the demo's tunnel carries traffic.
    std::vector<std::unique_ptr<devservice::LoopbackNode>> loopbackNodes;
    if (nodes && !fixtureServers && !devservice::findNodeServer().empty()) {
        nlohmann::json servers = nlohmann::json::array();
        const std::pair<const char*, const char*> demoNodes[] = {{"香港 01", "127.0.0.2"},
                                                                 {"日本 东京", "127.0.0.3"}};
        for (const auto& [name, address] : demoNodes) {
            auto node = std::make_unique<devservice::LoopbackNode>(name, address);
            std::string error;
            if (!node->start(&error)) {
                platform::consoleLog(std::string("nimo-devservice: node ") + name + " not started: " + error);
                continue;
            }
            platform::consoleLog(std::string("nimo-devservice: node ") + name + " on " + address + ":" +
                                 std::to_string(node->port()));
            servers.push_back(node->serverEntry());
            loopbackNodes.push_back(std::move(node));
        }
        service.setServers(servers);
    } else if (nodes && !fixtureServers) {
        platform::consoleLog("nimo-devservice: ss-server not installed; the demo's tunnel has no nodes");
    }

    devservice::DevServer server(service);
    const int bound = server.start(port);
    if (bound < 0) {
        platform::consoleLog("nimo-devservice: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                             std::strerror(errno));
        return 1;
    }
    platform::printLine(std::to_string(bound));
    platform::consoleLog("nimo-devservice: listening on " + server.baseURL() + "; demo account " +
                         devservice::kDemoEmail);

    int received = 0;
    sigwait(&signals, &received);
    platform::consoleLog("nimo-devservice: stopping");
    server.stop();
    return 0;
}
