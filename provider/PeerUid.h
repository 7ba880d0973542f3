#pragma once

#include <cstdint>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace nimo::provider {

// The uid of the process at the other end of an accepted TCP connection over loopback, looked up
// in the kernel's socket table (sock_diag); nullopt when it cannot be told. The provider's ports
// (SOCKS5, PAC, relay, DNS) serve the user's own processes only.
std::optional<uid_t> loopbackPeerUid(int connectedFd);

// Whether the peer runs as this process's user; an unknown peer is refused.
bool peerIsOwnUser(int connectedFd);

// The uids of every socket bound to port on a loopback address (IPv4 and IPv6): TCP listening
// sockets for IPPROTO_TCP, all sockets for IPPROTO_UDP; nullopt when the kernel cannot be asked.
std::optional<std::vector<uid_t>> loopbackPortOwners(int protocol, std::uint16_t port);

} // namespace nimo::provider
