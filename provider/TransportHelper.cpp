// nimo-transport: the provider's transport helper. Runs one shadowsocks local server for one node,
// so a transport fault or a node switch never takes the provider down.
//
// Input (stdin, one JSON line, then kept open): {"server","server_port","method","password",
// "local_port"}. The password arrives only this way: never argv, environment, file or log. Any
// later byte asks for one {"active":true} line at the next connection, so an idle provider can
// sleep until the tunnel is used again.
// Output (stdout, JSON lines): {"listening":<port>} once the SOCKS5 port on 127.0.0.1 listens,
// or {"error":"…"}. End of stdin (the provider went away) ends the helper.
#include "NodeList.h"
#include "PeerUid.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <shadowsocks.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {
std::atomic<bool> tellNextConnection{false};

void writeLine(const nlohmann::json& line) {
    const std::string text = line.dump() + "\n";
    [[maybe_unused]] auto n = ::write(STDOUT_FILENO, text.data(), text.size());
}
} // namespace

// The SOCKS5 port serves the user's own processes only. The shadowsocks library takes its
// connections through accept(); this definition in the executable comes before the C library's. A
// connection of another user is closed at once and the library gets a connection that has already
// ended, which it drops without a word.
extern "C" int accept(int listener, sockaddr* address, socklen_t* length) {
    const int client = static_cast<int>(::syscall(SYS_accept4, listener, address, length, 0));
    if (client < 0)
        return client;
    if (nimo::provider::peerIsOwnUser(client)) {
        if (tellNextConnection.exchange(false))
            writeLine({{"active", true}});
        return client;
    }
    static bool told = false;
    if (!std::exchange(told, true)) {
        const auto uid = nimo::provider::loopbackPeerUid(client);
        const std::string line = "[nimo-transport] 拒绝其他用户连接 SOCKS5 端口（uid " +
                                 (uid ? std::to_string(*uid) : std::string("未知")) + "）\n";
        [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
    }
    ::close(client);
    int ended[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ended) != 0) {
        errno = EAGAIN;
        return -1;
    }
    ::close(ended[1]);
    return ended[0];
}

namespace {

void onListening(int socksFd, int, void*) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int port = 0;
    if (::getsockname(socksFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    writeLine({{"listening", port}});
}

// Reads the first line of stdin (bounded), byte by byte so nothing after it is consumed.
std::string readConfigLine() {
    std::string line;
    char c = 0;
    while (line.size() < nimo::transport::kMaxConfigLine) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n <= 0 || c == '\n')
            break;
        line.push_back(c);
    }
    return line;
}

} // namespace

int main() {
    // The helper never outlives its provider.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1)
        return 1;
    std::string line = readConfigLine();
    std::string error;
    auto config = nimo::transport::parseConfig(nlohmann::json::parse(line, nullptr, false), &error);
    std::fill(line.begin(), line.end(), '\0');
    if (!config) {
        writeLine({{"error", error}});
        return 2;
    }
    // End of input: the provider is gone or wants this node closed.
    std::thread([] {
        char buffer[256];
        while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0)
            tellNextConnection = true;
        ::_exit(0);
    }).detach();

    std::string localAddr = "127.0.0.1";
    profile_t profile{};
    profile.remote_host = config->server.data();
    profile.local_addr = localAddr.data();
    profile.method = config->method.data();
    profile.password = config->password.data();
    profile.remote_port = config->serverPort;
    profile.local_port = config->localPort;
    profile.timeout = nimo::transport::kIdleTimeoutSeconds;
    profile.acl = nullptr;
    profile.log = nullptr;
    profile.fast_open = 0;
    profile.mode = 0; // TCP only: the desktop's proxy settings carry TCP
    profile.mtu = 0;
    profile.mptcp = 0;
    profile.verbose = 0;
    const int rc = start_ss_local_server_with_callback(profile, onListening, nullptr);
    if (rc != 0)
        writeLine({{"error", "传输无法启动（节点地址无法解析或本地端口被占用）"}});
    return rc == 0 ? 0 : 3;
}
