#include "NetdService.h"

#include "PeerUid.h"
#include "platform/Log.h"
#include "tunnel/TunnelProtocol.h"

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <nftables/libnftables.h>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimo::netd {

namespace {
const platform::SystemLog kLog("netd");

nlohmann::json failure(const std::string& why) {
    return {{"ok", false}, {"error", why}};
}

// Names of every inet table of this service in the ruleset.
std::vector<uid_t> ourTables() {
    std::string error;
    std::vector<uid_t> uids;
    const auto listing = runNft("list tables inet", &error);
    if (!listing)
        return uids;
    std::istringstream lines(*listing);
    std::string word, family, name;
    while (lines >> word >> family >> name) {
        uid_t uid = 0;
        if (word == "table" && family == "inet" && isOurTable(name, &uid))
            uids.push_back(uid);
    }
    return uids;
}
} // namespace

std::optional<std::string> runNft(const std::string& script, std::string* error) {
    struct Context {
        nft_ctx* ctx = nft_ctx_new(NFT_CTX_DEFAULT);
        ~Context() {
            if (ctx)
                nft_ctx_free(ctx);
        }
    } context;
    if (!context.ctx) {
        *error = "nftables 无法使用";
        return std::nullopt;
    }
    nft_ctx_buffer_output(context.ctx);
    nft_ctx_buffer_error(context.ctx);
    if (nft_run_cmd_from_buffer(context.ctx, script.c_str()) != 0) {
        const char* text = nft_ctx_get_error_buffer(context.ctx);
        *error = text && *text ? text : "nftables 拒绝了规则";
        while (!error->empty() && error->back() == '\n')
            error->pop_back();
        return std::nullopt;
    }
    const char* out = nft_ctx_get_output_buffer(context.ctx);
    return std::string(out ? out : "");
}

NetdService::NetdService(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    handlers_ = {{"on", &NetdService::on},
                 {"update", &NetdService::update},
                 {"off", &NetdService::off},
                 {"status", &NetdService::status}};
}

NetdService::~NetdService() {
    if (netlink_ >= 0)
        ::close(netlink_);
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool NetdService::start(std::string* why) {
    server_ = std::make_unique<platform::UnixServer>();
    if (options_.listenFd >= 0) {
        server_->listenOn(options_.listenFd);
    } else {
        const std::string& path = options_.socketPath;
        const std::string dir = path.substr(0, path.rfind('/'));
        ::mkdir(dir.c_str(), 0755);
        // One instance per path: a second one finds the lock held and touches nothing.
        lockFd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            *why = "另一个 nimo-netd 已在运行：" + path;
            return false;
        }
        ::unlink(path.c_str());
        // Open to every local user: the kernel's peer uid is what scopes each request.
        if (!server_->listen(path, 0666, why))
            return false;
    }
    connect(server_.get(), &platform::UnixServer::newConnection, this, &NetdService::onConnection);
    takeOver();
    watchRuleset();
    return true;
}

bool NetdService::removeAll(std::string* why) {
    bool ok = true;
    for (uid_t uid : ourTables())
        ok = runNft(removeScript(uid), why).has_value() && ok;
    return ok;
}

void NetdService::takeOver() {
    // A previous run was killed or restarted: what it left stays in force, as a held block.
    for (uid_t uid : ourTables()) {
        std::string error;
        auto listing = runNft("list table inet " + tableName(uid), &error);
        if (!listing)
            continue;
        Capture capture;
        capture.script = removeScript(uid) + *listing;
        capture.state = State::Held;
        captures_[uid] = std::move(capture);
        kLog.notice("接管规则表：" + tableName(uid));
    }
}

void NetdService::watchRuleset() {
    netlink_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (netlink_ < 0) {
        kLog.error("无法监视规则集：" + std::string(std::strerror(errno)));
        return;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1u << (NFNLGRP_NFTABLES - 1);
    if (::bind(netlink_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        kLog.error("无法监视规则集：" + std::string(std::strerror(errno)));
        ::close(netlink_);
        netlink_ = -1;
        return;
    }
    netlinkNotifier_ = std::make_unique<QSocketNotifier>(netlink_, QSocketNotifier::Read);
    connect(netlinkNotifier_.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[16384];
        // Drained whole; ENOBUFS (events lost) is a reason to look too.
        while (::recv(netlink_, buffer, sizeof buffer, 0) > 0 || errno == ENOBUFS) {
        }
        if (!restoreQueued_) {
            restoreQueued_ = true;
            QTimer::singleShot(0, this, [this] {
                restoreQueued_ = false;
                restoreMissing();
            });
        }
    });
}

bool NetdService::tableExists(uid_t uid) {
    std::string error;
    return runNft("list table inet " + tableName(uid), &error).has_value();
}

void NetdService::restoreMissing() {
    for (auto& [uid, capture] : captures_) {
        if (tableExists(uid))
            continue;
        std::string error;
        if (runNft(capture.script, &error))
            kLog.notice("规则表被删除，已恢复：" + tableName(uid));
        else
            kLog.error("规则表无法恢复：" + tableName(uid) + "：" + error);
    }
}

void NetdService::onConnection(platform::UnixSocket* socket) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (clients_ >= kMaxClients ||
        ::getsockopt(socket->descriptor(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        socket->deleteLater();
        return;
    }
    ++clients_;
    const uid_t uid = cred.uid;
    auto lines = std::make_shared<tunnelproto::LineBuffer>(kMaxLine);
    connect(socket, &platform::UnixSocket::readyRead, this, [this, socket, uid, lines] {
        for (const auto& line : lines->feed(socket->readAll())) {
            if (line.overflowed) {
                socket->write(tunnelproto::encodeLine(failure("请求过长")));
                continue;
            }
            onLine(socket, uid, line.text);
        }
    });
    connect(socket, &platform::UnixSocket::disconnected, this, [this, socket] {
        --clients_;
        onLeaseEnded(socket);
        socket->deleteLater();
    });
}

void NetdService::onLine(platform::UnixSocket* socket, uid_t uid, const std::string& line) {
    const auto request = nlohmann::json::parse(line, nullptr, false);
    nlohmann::json reply;
    const auto op = request.is_object() ? request.find("op") : request.end();
    if (!request.is_object()) {
        reply = failure("请求不是 JSON 对象");
    } else if (uid == 0) {
        // Root has its own firewall; a capture scoped to root would take the whole system.
        reply = failure("不接受 root 的请求");
    } else if (op == request.end() || !op->is_string() || !handlers_.count(op->get<std::string>())) {
        reply = failure("未知的操作");
    } else {
        reply = (this->*handlers_.at(op->get<std::string>()))(uid, socket, request);
    }
    if (request.is_object() && request.contains("id") &&
        (request["id"].is_number_integer() || request["id"].is_string()))
        reply["id"] = request["id"];
    socket->write(tunnelproto::encodeLine(reply));
}

namespace {
// The relay and DNS ports must be the caller's own: otherwise one user could send their traffic
// into another user's tunnel.
std::string foreignPort(uid_t uid, const CaptureRequest& request) {
    const struct {
        int protocol, port;
        const char* what;
    } ports[] = {{IPPROTO_TCP, request.relayPort, "中继端口"},
                 {IPPROTO_TCP, request.dnsPort, "DNS 端口"},
                 {IPPROTO_UDP, request.dnsPort, "DNS 端口"}};
    for (const auto& p : ports) {
        const auto owners = provider::loopbackPortOwners(p.protocol, static_cast<std::uint16_t>(p.port));
        if (!owners)
            return std::string("无法查明") + p.what + "的所有者";
        if (owners->empty() ||
            std::any_of(owners->begin(), owners->end(), [uid](uid_t o) { return o != uid; }))
            return std::string(p.what) + " " + std::to_string(p.port) + " 不是请求者自己的";
    }
    return {};
}
} // namespace

nlohmann::json NetdService::apply(uid_t uid, platform::UnixSocket* socket, const CaptureRequest& request) {
    if (const std::string why = foreignPort(uid, request); !why.empty()) {
        kLog.error("拒绝捕获：" + tableName(uid) + "：" + why);
        return failure(why);
    }
    const std::string script = captureScript(uid, request, options_.resolverUid);
    std::string error;
    if (!runNft(script, &error)) {
        kLog.error("规则无法生效：" + tableName(uid) + "：" + error);
        return failure("规则无法生效：" + error);
    }
    Capture& capture = captures_[uid];
    capture.request = request;
    capture.script = script;
    capture.state = State::On;
    capture.lease = socket;
    kLog.info("全局捕获：" + tableName(uid) + "，中继端口 " + std::to_string(request.relayPort) +
              "，DNS 端口 " + std::to_string(request.dnsPort) + (request.killSwitch ? "，断网保护" : ""));
    return {{"ok", true}};
}

nlohmann::json NetdService::on(uid_t uid, platform::UnixSocket* socket, const nlohmann::json& request) {
    std::string error;
    const auto parsed = parseCaptureRequest(request, &error);
    if (!parsed)
        return failure(error);
    return apply(uid, socket, *parsed);
}

nlohmann::json NetdService::update(uid_t uid, platform::UnixSocket* socket, const nlohmann::json& request) {
    const auto it = captures_.find(uid);
    if (it == captures_.end() || !it->second.request || it->second.state != State::On)
        return failure("没有正在进行的捕获");
    if (!request.contains("node") || !request.contains("nodePort"))
        return failure("update 需要 node 和 nodePort");
    // Only the node changes; the ports and switches stay as they were switched on.
    nlohmann::json merged = request;
    const CaptureRequest& current = *it->second.request;
    for (auto [key, value] :
         {std::pair{"relayPort", current.relayPort}, std::pair{"dnsPort", current.dnsPort}})
        if (!merged.contains(key))
            merged[key] = value;
    for (auto [key, value] : {std::pair{"killSwitch", current.killSwitch}, std::pair{"ipv6", current.ipv6}})
        if (!merged.contains(key))
            merged[key] = value;
    std::string error;
    const auto parsed = parseCaptureRequest(merged, &error);
    if (!parsed)
        return failure(error);
    // The lease stays with the connection that switched the capture on.
    platform::UnixSocket* lease = it->second.lease ? it->second.lease : socket;
    return apply(uid, lease, *parsed);
}

nlohmann::json NetdService::off(uid_t uid, platform::UnixSocket*, const nlohmann::json& request) {
    if (request.size() > 2 || (request.size() == 2 && !request.contains("id")))
        return failure("off 不带参数");
    std::string error;
    captures_.erase(uid);
    if (!runNft(removeScript(uid), &error))
        return failure("规则无法删除：" + error);
    kLog.info("捕获结束：" + tableName(uid));
    return {{"ok", true}};
}

nlohmann::json NetdService::status(uid_t uid, platform::UnixSocket*, const nlohmann::json&) {
    const auto it = captures_.find(uid);
    if (it == captures_.end())
        return {{"ok", true}, {"capture", "off"}, {"killSwitch", false}};
    const Capture& capture = it->second;
    const bool killSwitch = capture.request ? capture.request->killSwitch : true;
    return {{"ok", true},
            {"capture", capture.state == State::On ? "on" : "held"},
            {"killSwitch", killSwitch},
            {"table", tableExists(uid)}};
}

void NetdService::onLeaseEnded(platform::UnixSocket* socket) {
    for (auto it = captures_.begin(); it != captures_.end(); ++it) {
        Capture& capture = it->second;
        if (capture.lease != socket)
            continue;
        capture.lease = nullptr;
        if (capture.request && !capture.request->killSwitch) {
            std::string error;
            runNft(removeScript(it->first), &error);
            kLog.notice("提供者离开，捕获已撤除：" + tableName(it->first));
            captures_.erase(it);
        } else {
            capture.state = State::Held;
            kLog.notice("提供者离开，断网保护保持：" + tableName(it->first));
        }
        return;
    }
}

} // namespace nimo::netd
