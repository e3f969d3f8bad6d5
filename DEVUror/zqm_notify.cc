#include "DEVUror/zqm_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "DEVUror/zqm_trace.h"

namespace zqm_notify {
namespace {

std::mutex gMutex;
std::string gAddress;  // guarded by gMutex; emptied once Ready() has sent

std::string ErrnoText(int error) {
  return std::strerror(error);
}

}  // namespace

void TakeNotifySocket() {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr) return;
  {
    std::lock_guard hold(gMutex);
    gAddress = address;
  }
  unsetenv("NOTIFY_SOCKET");
}

void Ready() {
  std::string address;
  {
    std::lock_guard hold(gMutex);
    address.swap(gAddress);
  }
  if (address.empty()) return;
  const std::string failure = Send(address, "READY=1");
  if (!failure.empty())
    zqm_trace::Line(0, "Cannot tell the service manager that this program is ready: " + failure);
}

std::string Send(const std::string& address, const std::string& state) {
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  const bool abstract = !address.empty() && address[0] == '@';
  if (address.empty() || (address[0] != '/' && !abstract))
    return "NOTIFY_SOCKET=" + address + " is neither a path nor an abstract name (@NAME)";
  if (address.size() >= sizeof peer.sun_path)
    return "NOTIFY_SOCKET=" + address + " is longer than a unix socket name may be";
  std::memcpy(peer.sun_path, address.data(), address.size());
  if (abstract) peer.sun_path[0] = '\0';
  // An abstract name is exactly its bytes; a path carries its terminator.
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (abstract ? 0 : 1));

  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "socket(AF_UNIX, SOCK_DGRAM): " + ErrnoText(errno);
  ssize_t sent = 0;
  do {
    sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&peer), length);
  } while (sent < 0 && errno == EINTR);
  const int cause = errno;
  close(fd);
  if (sent < 0) return "sendto " + address + ": " + ErrnoText(cause);
  return "";
}

}  // namespace zqm_notify
