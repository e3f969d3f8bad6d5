// The local socket: where every program of this host reaches the daemon,
// known to it by the kernel's peer credentials rather than by a secret.
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

namespace {

[[noreturn]] void Refuse(const std::string& why) {
  ZQM_EException refused{ZQ_TString(why)};
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    Refuse("the local socket's path is too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// Whether a daemon answers at `path` now.
bool Answers(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool answered =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answered;
}

std::optional<gid_t> GroupId(const std::string& name) {
  if (name.empty()) return std::nullopt;
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return found->gr_gid;
}

}  // namespace

void Daemon::ListenLocally() {
  const std::string path = PrepareSocketPlace(options_.socketPath);
  const sockaddr_un address = AddressOf(path);
  // The folder is the daemon's own: what lies there is a socket an earlier
  // daemon left, unless one still answers.
  if (Answers(address)) {
    Refuse("another daemon listens at " + path +
           "; stop it first, or give this one another "
           "socket (--socket or ZQM_DAEMON_SOCKET)");
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) Refuse(path + " exists and is not a socket; remove it");
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Refuse(std::string("socket for ") + path + ": " + std::strerror(errno));
  // Anybody may connect; the daemon decides per call who may do what.
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0666) != 0 || listen(fd, SOMAXCONN) != 0) {
    const int cause = errno;
    close(fd);
    Refuse("cannot listen on the local socket " + path + ": " + std::strerror(cause));
  }
  options_.socketPath = path;
  Serve(fd);
}

void Daemon::ResolveAdministratorsGroup() {
  options_.limits.administratorsGroup = GroupId(options_.administratorsGroup);
  if (!options_.administratorsGroup.empty() && !options_.limits.administratorsGroup &&
      options_.administratorsGroup != "zqm") {
    zqm_trace::Line(0, "The administrators' group \"" + options_.administratorsGroup +
                           "\" does not exist; only root and the daemon's user administer it");
  }
}

}  // namespace zqmd
