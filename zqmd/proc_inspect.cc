#include "zqmd/proc_inspect.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <sstream>

namespace zqmd {

namespace {

// An environment (arguments included) is limited by the kernel to a quarter
// of the stack limit; 4 MiB covers every usual limit.
constexpr std::size_t kMaxEnvironmentBytes = 4u << 20;
constexpr std::size_t kMaxStatBytes = 4096;
// TCP_LISTEN of the kernel's TCP states.
constexpr unsigned kTcpListen = 10;

std::string ProcPath(pid_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// At most `limit` bytes of `path`; nullopt when it cannot be opened.
std::optional<std::string> ReadBounded(const std::string& path, std::size_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[16384];
  while (content.size() < limit) {
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - content.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return content;
}

std::optional<std::uint64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// The value of `key` in a NUL-separated environment, or nullopt.
std::optional<std::string> Variable(const std::string& environment, const std::string& key) {
  const std::string prefix = key + "=";
  for (std::size_t at = 0; at < environment.size();) {
    std::size_t end = environment.find('\0', at);
    if (end == std::string::npos) end = environment.size();
    if (environment.compare(at, prefix.size(), prefix) == 0)
      return environment.substr(at + prefix.size(), end - at - prefix.size());
    at = end + 1;
  }
  return std::nullopt;
}

// The executable `pid` runs; one replaced or removed since it was started is
// named by the path it had.
std::string Executable(pid_t pid) {
  char target[PATH_MAX];
  const ssize_t length = readlink(ProcPath(pid, "exe").c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  std::string exe(target, static_cast<std::size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  if (exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  return exe;
}

std::optional<MarkedProcess> Marked(pid_t pid, const std::string& mark) {
  const std::vector<std::string> fields = StatFields(pid);
  if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X") return std::nullopt;
  if (Number(fields[3]) != static_cast<std::uint64_t>(pid)) return std::nullopt;
  const std::optional<std::string> environment =
      ReadBounded(ProcPath(pid, "environ"), kMaxEnvironmentBytes);
  if (!environment || Variable(*environment, kDaemonMarkVariable) != mark) return std::nullopt;
  const std::optional<std::string> name = Variable(*environment, "ZQM_SERVER_NAME");
  const std::optional<std::uint64_t> instance =
      Number(Variable(*environment, "ZQM_SERVER_INSTANCE").value_or(""));
  const std::optional<std::uint64_t> ticks = Number(fields[19]);
  const std::optional<uid_t> uid = RealUid(pid);
  if (!name || name->empty() || !instance || *instance > 0xFFFF || !ticks || !uid)
    return std::nullopt;
  return MarkedProcess{pid,
                       *uid,
                       *ticks,
                       *name,
                       static_cast<unsigned short>(*instance),
                       Variable(*environment, kLaunchMarkVariable).value_or(""),
                       Variable(*environment, kProgramMarkVariable).value_or(""),
                       Executable(pid),
                       Variable(*environment, kPlainMarkVariable) == "1"};
}

// Reads one sock_diag dump into `sockets` (inode -> local port).
bool ReadDiagReplies(int fd, std::map<std::uint64_t, unsigned short>& sockets,
                     std::string& problem) {
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t length = recv(fd, buffer, sizeof buffer, 0);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      problem = std::string("sock_diag reply: ") +
                (length < 0 ? std::strerror(errno) : "end of the netlink stream");
      return false;
    }
    auto remaining = static_cast<unsigned>(length);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        // No IPv6 in this kernel: no sockets of that family.
        if (error->error == -ENOENT || error->error == -EAFNOSUPPORT) return true;
        problem = std::string("sock_diag: ") + std::strerror(-error->error);
        return false;
      }
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      sockets[entry->idiag_inode] = ntohs(entry->id.idiag_sport);
    }
  }
}

// The listening TCP sockets of this network namespace, inode -> port, asked
// of the kernel through sock_diag (only listening sockets, and only those on
// `port` unless it is 0, so that the answer stays small however many
// connections the host has). False with `problem` set on failure.
bool ListeningSockets(unsigned short port, std::map<std::uint64_t, unsigned short>& sockets,
                      std::string& problem) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) {
    problem = std::string("socket(NETLINK_SOCK_DIAG): ") + std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (const unsigned char family : {AF_INET, AF_INET6}) {
    struct {
      nlmsghdr header;
      inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << kTcpListen;
    message.request.id.idiag_sport = htons(port);
    if (send(fd, &message, sizeof message, 0) < 0) {
      problem = std::string("sock_diag request: ") + std::strerror(errno);
      ok = false;
      break;
    }
    ok = ReadDiagReplies(fd, sockets, problem);
    if (!ok) break;
  }
  close(fd);
  return ok;
}

}  // namespace

std::vector<std::string> StatFields(pid_t pid) {
  std::vector<std::string> fields;
  const std::optional<std::string> stat = ReadBounded(ProcPath(pid, "stat"), kMaxStatBytes);
  if (!stat) return fields;
  const std::size_t end = stat->rfind(')');
  if (end == std::string::npos) return fields;
  std::istringstream rest(stat->substr(end + 1));
  for (std::string field; rest >> field;)
    fields.push_back(field);
  return fields;
}

std::optional<std::uint64_t> ProcessStartTicks(pid_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  return fields.size() > 19 ? Number(fields[19]) : std::nullopt;
}

std::optional<uid_t> RealUid(pid_t pid) {
  const std::optional<std::string> status = ReadBounded(ProcPath(pid, "status"), 16384);
  if (!status) return std::nullopt;
  const std::size_t at = status->find("\nUid:");
  if (at == std::string::npos) return std::nullopt;
  std::istringstream fields(status->substr(at + 5, 64));
  std::string real;
  fields >> real;
  const std::optional<std::uint64_t> uid = Number(real);
  if (!uid) return std::nullopt;
  return static_cast<uid_t>(*uid);
}

std::optional<pid_t> ParentPid(pid_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  const std::optional<std::uint64_t> parent = fields.size() > 1 ? Number(fields[1]) : std::nullopt;
  if (!parent) return std::nullopt;
  return static_cast<pid_t>(*parent);
}

std::chrono::system_clock::time_point StartTime(std::uint64_t startTicks) {
  // The boot time, "btime <seconds since 1970>" in /proc/stat.
  const std::optional<std::string> stat = ReadBounded("/proc/stat", 1u << 20);
  const std::size_t at = stat ? stat->find("\nbtime ") : std::string::npos;
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (at == std::string::npos || ticksPerSecond <= 0) return std::chrono::system_clock::now();
  const std::size_t end = stat->find('\n', at + 1);
  const std::optional<std::uint64_t> boot = Number(stat->substr(at + 7, end - at - 7));
  if (!boot) return std::chrono::system_clock::now();
  const auto sinceBoot =
      std::chrono::milliseconds(startTicks * 1000 / static_cast<std::uint64_t>(ticksPerSecond));
  return std::chrono::system_clock::from_time_t(static_cast<std::time_t>(*boot)) +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceBoot);
}

std::vector<MarkedProcess> FindMarkedProcesses(const std::string& mark) {
  std::vector<MarkedProcess> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = readdir(proc)) {
    const std::optional<std::uint64_t> pid = Number(entry->d_name);
    if (!pid || *pid == static_cast<std::uint64_t>(getpid())) continue;
    if (auto marked = Marked(static_cast<pid_t>(*pid), mark)) found.push_back(*marked);
  }
  closedir(proc);
  return found;
}

std::optional<std::set<unsigned short>> ListeningPorts(pid_t pid, std::string& problem,
                                                       unsigned short port) {
  std::map<std::uint64_t, unsigned short> sockets;
  if (!ListeningSockets(port, sockets, problem)) return std::nullopt;
  const std::string folder = ProcPath(pid, "fd");
  DIR* descriptors = opendir(folder.c_str());
  if (descriptors == nullptr) {
    problem = folder + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::set<unsigned short> ports;
  while (const dirent* entry = readdir(descriptors)) {
    if (entry->d_name[0] == '.') continue;
    char target[64];
    const ssize_t n = readlinkat(dirfd(descriptors), entry->d_name, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    // "socket:[12345]"
    const std::string link(target);
    if (link.rfind("socket:[", 0) != 0 || link.back() != ']') continue;
    const std::optional<std::uint64_t> inode = Number(link.substr(8, link.size() - 9));
    if (!inode) continue;
    if (auto socket = sockets.find(*inode); socket != sockets.end()) ports.insert(socket->second);
  }
  closedir(descriptors);
  return ports;
}

}  // namespace zqmd
