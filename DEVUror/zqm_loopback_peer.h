// Who is on the other end of a TCP connection from this host: the kernel
// knows the user that owns the peer's socket (sock_diag), even where TCP
// itself carries no credentials.
#pragma once

#include <sys/types.h>

#include <optional>

namespace zqm_loopback_peer {

// The user owning the other end of the accepted TCP connection `fd`, when
// that end is on this host and the kernel says; nullopt otherwise. One
// netlink round trip: ask only when it matters.
std::optional<uid_t> OwnerOfPeer(int fd);

}  // namespace zqm_loopback_peer
