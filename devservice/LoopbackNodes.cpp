#include "LoopbackNodes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nimo::devservice {

socklen_t socketAddress(const std::string& address, int port, sockaddr_storage* out) {
    *out = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        return sizeof *v4;
    }
    if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        return sizeof *v6;
    }
    return 0;
}

namespace {
int freePort(const std::string& address) {
    sockaddr_storage addr;
    socklen_t len = socketAddress(address, 0, &addr);
    if (len == 0)
        return 0;
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                                               : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    ::close(fd);
    return port;
}

bool accepts(const std::string& address, int port) {
    sockaddr_storage addr;
    const socklen_t len = socketAddress(address, port, &addr);
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = len != 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

std::string randomPassword() {
    static const char* alphabet = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::random_device device;
    std::string password;
    for (int i = 0; i < 24; ++i)
        password.push_back(alphabet[device() % 57]);
    return password;
}
} // namespace

std::string findNodeServer() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto end = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/ss-server";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return {};
}

LoopbackNode::LoopbackNode(std::string remarks, std::string address, std::string method, std::string password)
    : remarks_(std::move(remarks)), address_(std::move(address)), method_(std::move(method)),
      password_(password.empty() ? randomPassword() : std::move(password)) {}

LoopbackNode::~LoopbackNode() {
    stop();
}

bool LoopbackNode::start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    const std::string program = findNodeServer();
    if (program.empty())
        return fail("ss-server is not installed (package shadowsocks-libev)");
    char pattern[] = "/tmp/nimo-node-XXXXXX";
    if (!::mkdtemp(pattern))
        return fail("cannot make a folder for the node's configuration");
    dir_ = pattern;
    port_ = freePort(address_);
    if (port_ <= 0)
        return fail("no free port on " + address_);
    const std::string config = dir_ + "/node.json";
    {
        const int fd = ::open(config.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return fail("cannot write the node's configuration");
        nlohmann::json settings = {{"server", address_}, {"server_port", port_}, {"password", password_},
                                   {"method", method_},  {"timeout", 60},        {"mode", "tcp_only"}};
        // An IPv4 node goes out from its own address, so a target can tell who called; an IPv6 node
        // goes out from whatever suits, or its IPv4 targets would be out of reach.
        if (address_.find(':') == std::string::npos)
            settings["local_address"] = address_;
        const std::string text = settings.dump();
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        if (!written)
            return fail("cannot write the node's configuration");
    }
    pid_ = ::fork();
    if (pid_ < 0)
        return fail("cannot start ss-server");
    if (pid_ == 0) {
        // The node goes with whoever started it, and takes signals even if its parent blocks them.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // The node's chatter stays out of the demo's and the tests' output.
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(address_, port_))
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return fail("ss-server exited at start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fail("ss-server did not listen within 5 s");
}

void LoopbackNode::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

nlohmann::json LoopbackNode::serverEntry() const {
    return {{"remarks", remarks_},
            {"server", address_},
            {"server_port", port_},
            {"method", method_},
            {"password", password_}};
}

} // namespace nimo::devservice
