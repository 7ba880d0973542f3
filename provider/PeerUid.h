#pragma once

#include <optional>
#include <sys/types.h>

namespace nimo::provider {

// The uid of the process at the other end of an accepted TCP connection over loopback, looked up
// in the kernel's socket table (sock_diag); nullopt when it cannot be told. The provider's ports
// (SOCKS5, PAC, relay, DNS) serve the user's own processes only.
std::optional<uid_t> loopbackPeerUid(int connectedFd);

// Whether the peer runs as this process's user; an unknown peer is refused.
bool peerIsOwnUser(int connectedFd);

} // namespace nimo::provider
