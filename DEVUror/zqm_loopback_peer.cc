#include "DEVUror/zqm_loopback_peer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace zqm_loopback_peer {

namespace {

// The peer's socket is the one whose source is our destination and whose
// destination is our source.
bool DescribePeer(int fd, inet_diag_req_v2& request) {
  sockaddr_storage ours{};
  sockaddr_storage theirs{};
  socklen_t ourLength = sizeof ours;
  socklen_t theirLength = sizeof theirs;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ourLength) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirLength) != 0 ||
      ours.ss_family != theirs.ss_family) {
    return false;
  }
  request.sdiag_family = static_cast<__u8>(ours.ss_family);
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (ours.ss_family == AF_INET) {
    const auto& own = reinterpret_cast<const sockaddr_in&>(ours);
    const auto& peer = reinterpret_cast<const sockaddr_in&>(theirs);
    request.id.idiag_sport = peer.sin_port;
    request.id.idiag_dport = own.sin_port;
    std::memcpy(request.id.idiag_src, &peer.sin_addr, sizeof peer.sin_addr);
    std::memcpy(request.id.idiag_dst, &own.sin_addr, sizeof own.sin_addr);
    return true;
  }
  if (ours.ss_family == AF_INET6) {
    const auto& own = reinterpret_cast<const sockaddr_in6&>(ours);
    const auto& peer = reinterpret_cast<const sockaddr_in6&>(theirs);
    request.id.idiag_sport = peer.sin6_port;
    request.id.idiag_dport = own.sin6_port;
    std::memcpy(request.id.idiag_src, &peer.sin6_addr, sizeof peer.sin6_addr);
    std::memcpy(request.id.idiag_dst, &own.sin6_addr, sizeof own.sin6_addr);
    return true;
  }
  return false;
}

}  // namespace

std::optional<uid_t> OwnerOfPeer(int fd) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  if (!DescribePeer(fd, request.body)) return std::nullopt;
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return std::nullopt;
  std::optional<uid_t> owner;
  alignas(nlmsghdr) char answer[1024];
  if (send(diag, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
    const ssize_t n = recv(diag, answer, sizeof answer, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (n >= static_cast<ssize_t>(sizeof(nlmsghdr)) && NLMSG_OK(header, static_cast<unsigned>(n)) &&
        header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      owner = static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
    }
  }
  close(diag);
  return owner;
}

}  // namespace zqm_loopback_peer
