#include "DEVUror/zqm_local_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_wire.h"

namespace zqm_local {

namespace {

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : nullptr;
}

// Where a daemon of this (non-root) user listens.
std::string UserPath() {
  const char* runtime = Environment("XDG_RUNTIME_DIR");
  return runtime != nullptr && runtime[0] == '/'
             ? std::string(runtime) + "/zqmd/zqmd.sock"
             : "/tmp/zqmd-" + std::to_string(geteuid()) + "/zqmd.sock";
}

[[noreturn]] void Fail(const std::string& message) {
  ZQM_EConnectionFailed failure{ZQ_TString(message)};
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

bool SameAddress(const sockaddr* a, const std::string& text) {
  char buffer[INET6_ADDRSTRLEN] = "";
  if (a->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, buffer, sizeof buffer);
  } else if (a->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, buffer,
              sizeof buffer);
  }
  return text == buffer;
}

}  // namespace

std::string ClientPath() {
  if (const char* path = Environment("ZQM_DAEMON_SOCKET")) return path;
  if (geteuid() == 0) return kSystemPath;
  const std::string own = UserPath();
  struct stat info {};
  return stat(own.c_str(), &info) == 0 ? own : kSystemPath;
}

std::string DaemonPath() {
  if (const char* path = Environment("ZQM_DAEMON_SOCKET")) return path;
  return geteuid() == 0 ? kSystemPath : UserPath();
}

bool IsThisHost(const ZQ_TString& host) {
  if (ZQ_TSocket::IsLocalHost(host)) return true;
  in6_addr numeric{};
  if (inet_pton(AF_INET, host.c_str(), &numeric) != 1 &&
      inet_pton(AF_INET6, host.c_str(), &numeric) != 1) {
    return false;  // a name other than ours: never ask the resolver here
  }
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool found = false;
  for (const ifaddrs* at = interfaces; at != nullptr && !found; at = at->ifa_next) {
    found = at->ifa_addr != nullptr && SameAddress(at->ifa_addr, host.Text());
  }
  freeifaddrs(interfaces);
  return found;
}

int ConnectToDaemon(zqm_io::Deadline deadline, pid_t& pid) {
  const std::string path = ClientPath();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) Fail("the daemon's socket path is too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(std::string("socket for the daemon's local socket: ") + std::strerror(errno));
  // Blocking, so that a full backlog is waited for in the kernel, for as
  // long as the deadline allows.
  if (deadline != zqm_io::kNoDeadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - zqm_io::Clock::now());
    const long micros = std::max<long>(1000, static_cast<long>(left.count()));
    timeval timeout{micros / 1000000, micros % 1000000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  int status;
  do {
    status = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (status != 0 && errno == EINTR);
  if (status == 0) {
    const timeval none{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    status = fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  if (status != 0) {
    const int cause = errno;
    close(fd);
    Fail("cannot connect to the middleware daemon at " + path + ": " + std::strerror(cause) +
         (cause == ENOENT || cause == ECONNREFUSED
              ? " (is zqmd running on this host? ZQM_DAEMON_SOCKET names another socket)"
              : ""));
  }
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    const int cause = errno;
    close(fd);
    Fail("cannot tell who listens at " + path + ": " + std::strerror(cause));
  }
  if (peer.uid != 0 && peer.uid != geteuid()) {
    close(fd);
    Fail("the socket " + path + " is held by uid " + std::to_string(peer.uid) + " (pid " +
         std::to_string(peer.pid) + "), neither root nor this user: not a daemon to trust");
  }
  pid = peer.pid;
  return fd;
}

namespace {

// Connections given back, newest last.
struct Pool {
  std::mutex mutex;
  std::vector<DaemonConnection> idle;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: used until the process ends
  return *pool;
}

// Whether the daemon has closed `fd` (its idle time-out, its restart):
// then it reads as ready, with nothing or an end of file to read.
bool ClosedByPeer(int fd) {
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  return poll(&entry, 1, 0) != 0;
}

}  // namespace

DaemonConnection TakeDaemonConnection(zqm_io::Deadline deadline) {
  const std::string path = ClientPath();
  {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> hold(pool.mutex);
    while (!pool.idle.empty()) {
      DaemonConnection connection = std::move(pool.idle.back());
      pool.idle.pop_back();
      if (connection.path == path && !ClosedByPeer(connection.fd)) {
        connection.reused = true;
        return connection;
      }
      close(connection.fd);
    }
  }
  DaemonConnection connection;
  connection.path = path;
  connection.fd = ConnectToDaemon(deadline, connection.pid);
  try {
    const ZQ_TString what = ZQ_TString("greeting of the middleware daemon at ") + path.c_str();
    connection.greeting = zqm_io::ReceiveFrame(connection.fd, deadline, what);
    if (zqm_wire::PayloadKind(connection.greeting) != zqm_wire::Kind::kHello) {
      ZQM_EProtocolError odd(what + ": the first frame is not a greeting");
      ZQ_THROW_AT(odd, __FILE__, __LINE__);
    }
  } catch (...) {
    close(connection.fd);
    throw;
  }
  return connection;
}

void GiveBack(DaemonConnection connection) {
  if (connection.fd < 0) return;
  Pool& pool = ThePool();
  std::unique_lock<std::mutex> hold(pool.mutex);
  if (pool.idle.size() < kPooledConnections) {
    pool.idle.push_back(std::move(connection));
    return;
  }
  hold.unlock();
  close(connection.fd);
}

}  // namespace zqm_local
