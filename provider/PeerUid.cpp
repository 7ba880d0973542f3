#include "PeerUid.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimo::provider {

namespace {
// The kernel's socket table, asked over netlink; a second at most for each answer.
int openSocketDiag() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd >= 0) {
        timeval wait{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    return fd;
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

DiagRequest diagRequest(int family, int protocol, unsigned flags, unsigned states) {
    DiagRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = static_cast<__u16>(flags);
    message.request.sdiag_family = static_cast<__u8>(family);
    message.request.sdiag_protocol = static_cast<__u8>(protocol);
    message.request.idiag_states = states;
    return message;
}
} // namespace

std::optional<uid_t> loopbackPeerUid(int connectedFd) {
    sockaddr_storage local{}, remote{};
    socklen_t localLen = sizeof local, remoteLen = sizeof remote;
    if (::getsockname(connectedFd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        ::getpeername(connectedFd, reinterpret_cast<sockaddr*>(&remote), &remoteLen) != 0 ||
        local.ss_family != remote.ss_family || (local.ss_family != AF_INET && local.ss_family != AF_INET6))
        return std::nullopt;
    // The peer's socket is the one whose source is our remote end and whose destination is us.
    DiagRequest message = diagRequest(local.ss_family, IPPROTO_TCP, NLM_F_REQUEST, ~0u);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (local.ss_family == AF_INET) {
        const auto& l = reinterpret_cast<const sockaddr_in&>(local);
        const auto& r = reinterpret_cast<const sockaddr_in&>(remote);
        message.request.id.idiag_sport = r.sin_port;
        message.request.id.idiag_dport = l.sin_port;
        std::memcpy(message.request.id.idiag_src, &r.sin_addr, 4);
        std::memcpy(message.request.id.idiag_dst, &l.sin_addr, 4);
    } else {
        const auto& l = reinterpret_cast<const sockaddr_in6&>(local);
        const auto& r = reinterpret_cast<const sockaddr_in6&>(remote);
        message.request.id.idiag_sport = r.sin6_port;
        message.request.id.idiag_dport = l.sin6_port;
        std::memcpy(message.request.id.idiag_src, &r.sin6_addr, 16);
        std::memcpy(message.request.id.idiag_dst, &l.sin6_addr, 16);
    }
    const int fd = openSocketDiag();
    if (fd < 0)
        return std::nullopt;
    std::optional<uid_t> uid;
    if (::send(fd, &message, sizeof message, 0) == static_cast<ssize_t>(sizeof message)) {
        alignas(nlmsghdr) char buffer[8192];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        auto* header = reinterpret_cast<nlmsghdr*>(buffer);
        if (n > 0 && NLMSG_OK(header, static_cast<unsigned>(n)) &&
            header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg)))
            uid = static_cast<inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
    }
    ::close(fd);
    return uid;
}

std::optional<std::vector<uid_t>> loopbackPortOwners(int protocol, std::uint16_t port) {
    const int fd = openSocketDiag();
    if (fd < 0)
        return std::nullopt;
    std::vector<uid_t> owners;
    bool complete = true;
    for (const int family : {AF_INET, AF_INET6}) {
        const DiagRequest message = diagRequest(family, protocol, NLM_F_REQUEST | NLM_F_DUMP,
                                                protocol == IPPROTO_TCP ? 1u << 10 /* TCP_LISTEN */ : ~0u);
        if (::send(fd, &message, sizeof message, 0) != static_cast<ssize_t>(sizeof message)) {
            complete = false;
            break;
        }
        // A dump comes in parts and ends with NLMSG_DONE.
        bool done = false;
        while (!done) {
            alignas(nlmsghdr) char buffer[16384];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                complete = false;
                break;
            }
            auto remaining = static_cast<unsigned>(n);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                    complete = complete && header->nlmsg_type == NLMSG_DONE;
                    done = true;
                    break;
                }
                if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                    continue;
                const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
                if (ntohs(socket->id.idiag_sport) != port)
                    continue;
                in6_addr source{};
                std::memcpy(&source, socket->id.idiag_src, sizeof source);
                const bool loopback = family == AF_INET ? (ntohl(socket->id.idiag_src[0]) >> 24) == 127
                                                        : IN6_IS_ADDR_LOOPBACK(&source);
                // A wildcard bind takes the loopback port too.
                const bool wildcard =
                    family == AF_INET ? socket->id.idiag_src[0] == 0 : IN6_IS_ADDR_UNSPECIFIED(&source);
                if (loopback || wildcard)
                    owners.push_back(socket->idiag_uid);
            }
        }
        if (!complete)
            break;
    }
    ::close(fd);
    if (!complete)
        return std::nullopt;
    return owners;
}

bool peerIsOwnUser(int connectedFd) {
    const auto uid = loopbackPeerUid(connectedFd);
    return uid && *uid == ::getuid();
}

} // namespace nimo::provider
