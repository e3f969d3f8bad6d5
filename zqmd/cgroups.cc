#include "zqmd/cgroups.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_trace.h"

namespace zqmd {

namespace {

// cgroup files are small; a member list this long is read no further.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr const char* kControllers[] = {"cpu", "memory", "pids"};

// The file's text, at most kMaxFileBytes; nullopt with errno set when it
// cannot be read.
std::optional<std::string> ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while (text.size() < kMaxFileBytes && (got = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  const int error = errno;
  close(fd);
  errno = error;
  if (got < 0) return std::nullopt;
  return text;
}

// 0, or the errno of the failed open or write.
int WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const ssize_t written = write(fd, text.data(), text.size());
  const int error = written == static_cast<ssize_t>(text.size()) ? 0 : errno;
  close(fd);
  return error;
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  ZQM_EException failed(ZQ_TString::Format("cgroup: %s %s: %s", what, path, std::strerror(error)));
  ZQ_THROW_AT(failed, __FILE__, __LINE__);
}

bool OnCgroup2(const std::string& path) {
  struct statfs fs {};
  return statfs(path.c_str(), &fs) == 0 && fs.f_type == CGROUP2_SUPER_MAGIC;
}

// Where the cgroup2 file system is mounted, from /proc/self/mountinfo; "".
std::string Cgroup2Mount() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  for (unsigned lines = 0; lines < 10000 && std::getline(mounts, line); ++lines) {
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS... - TYPE SOURCE ..."
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string id, parent, device, root, point;
    if (fields >> id >> parent >> device >> root >> point && root == "/") return point;
  }
  return "";
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string Basename(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// Whether the service manager handed the cgroup at `path` to this process.
bool Delegated(const std::string& path) {
  for (const char* name : {"trusted.delegate", "user.delegate"}) {
    char value[8] = {};
    const ssize_t size = getxattr(path.c_str(), name, value, sizeof value - 1);
    if (size > 0 && (value[0] == '1' || value[0] == 'y' || value[0] == 't')) return true;
  }
  struct stat status {};
  return geteuid() != 0 && stat(path.c_str(), &status) == 0 && status.st_uid == geteuid();
}

std::vector<pid_t> Members(const std::string& path) {
  std::vector<pid_t> members;
  std::istringstream text(ReadFile(path + "/cgroup.procs").value_or(""));
  for (long pid = 0; text >> pid;) {
    if (pid > 0) members.push_back(static_cast<pid_t>(pid));
  }
  return members;
}

// The value after `key` in a flat keyed file ("usage_usec 1234\n...").
std::optional<std::uint64_t> KeyedValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string name;
  for (std::uint64_t value = 0; lines >> name >> value;) {
    if (name == key) return value;
  }
  return std::nullopt;
}

}  // namespace

std::string CgroupOfProcess(pid_t pid) {
  std::istringstream lines(
      ReadFile("/proc/" + std::to_string(pid) + "/cgroup").value_or("").substr(0, 65536));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("0::", 0) == 0) return line.substr(3);
  }
  return "";
}

std::string CgroupName(const std::string& name, unsigned instance) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (const unsigned char byte : name) {
    if (std::isalnum(byte) != 0 || byte == '_' || byte == '-' || byte == '.') {
      escaped += static_cast<char>(byte);
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 15];
    }
  }
  // A file name holds 255 bytes: a long name keeps its start and a hash of the whole.
  if (escaped.size() > 200)
    escaped = escaped.substr(0, 180) + "~" + std::to_string(std::hash<std::string>{}(name));
  return escaped + "@" + std::to_string(instance);
}

Cgroups::Cgroups(asio::io_context& io) : io_(io) {}

Cgroups::~Cgroups() = default;

std::string Cgroups::Open(const std::string& folder) {
  const std::string mount = Cgroup2Mount();
  const std::string own = CgroupOfProcess(getpid());
  std::string root;
  if (!folder.empty()) {
    root = folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
    if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot make", root, errno);
    if (!OnCgroup2(root)) Fail("not on a cgroup2 file system:", root, ENOTSUP);
  } else {
    if (mount.empty()) return "no cgroup2 file system is mounted";
    if (own.empty() || own == "/") return "the daemon runs in the root cgroup";
    // A daemon that started in its leaf (systemd's DelegateSubgroup) or
    // moved there before its restart uses the folder above.
    const std::string mine = Basename(own) == kDaemonCgroupLeaf ? Parent(own) : own;
    root = mount + mine;
    if (!Delegated(root)) return "its cgroup " + root + " is not delegated to it";
  }
  if (access((root + "/cgroup.procs").c_str(), W_OK) != 0) {
    if (!folder.empty()) Fail("cannot write into", root, errno);
    return "its cgroup " + root + " is not writable";
  }
  // The instances' cgroups are the folder's children, not the daemon's.
  if (!mount.empty() && mount + own == root) {
    const std::string leaf = root + "/" + kDaemonCgroupLeaf;
    if (mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot make", leaf, errno);
    if (const int error = WriteFile(leaf + "/cgroup.procs", std::to_string(getpid())))
      Fail("cannot move the daemon into", leaf, error);
    // A folder that gives its children controllers may hold no process,
    // and the service manager that started the daemon there starts the
    // next one there again (systemd before DelegateSubgroup=): no
    // controllers then, only the kill and the CPU time, which need none.
  } else {
    EnableControllers(root);
  }
  OpenEvents(root);
  root_ = root;
  return "";
}

void Cgroups::EnableControllers(const std::string& root) {
  const std::string offered = ReadFile(root + "/cgroup.controllers").value_or("");
  for (const char* controller : kControllers) {
    if (offered.find(controller) == std::string::npos) continue;
    if (WriteFile(root + "/cgroup.subtree_control", std::string("+") + controller) == 0)
      controllers_ += (controllers_.empty() ? "" : " ") + std::string(controller);
  }
}

void Cgroups::OpenEvents(const std::string& root) {
  const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify < 0) Fail("inotify_init1 for", root, errno);
  events_ = std::make_unique<asio::posix::stream_descriptor>(io_, inotify);
}

std::string Cgroups::PathOf(const std::string& name, unsigned instance) const {
  return Active() ? root_ + "/" + CgroupName(name, instance) : "";
}

int Cgroups::Prepare(const std::string& path, const CgroupLimits& limits, std::string& problems) {
  if (!Active()) return -1;
  usage_.erase(path);
  // Kept from here on: a removal still waiting for its end would take the
  // folder from under the new start.
  for (auto at = emptying_.begin(); at != emptying_.end();) {
    if (at->second != path) {
      ++at;
      continue;
    }
    inotify_rm_watch(events_->native_handle(), at->first);
    at = emptying_.erase(at);
  }
  if (mkdir(path.c_str(), 0755) != 0) {
    if (errno != EEXIST) Fail("cannot make", path, errno);
    // Left by an earlier run: whatever of it still runs is no part of the new one.
    if (!Members(path).empty() && !Kill(path)) Fail("cannot empty", path, errno);
  }
  // Written whether set or not, so that a limit taken out of the
  // configuration does not stay in a kept cgroup.
  const struct {
    const char* file;
    const char* key;
    std::string value;
    bool set;
  } settings[] = {
      {"memory.max", "MemoryMax",
       limits.memoryMax ? std::to_string(limits.memoryMax) : std::string("max"),
       limits.memoryMax != 0},
      {"cpu.weight", "CPUWeight", std::to_string(limits.cpuWeight ? limits.cpuWeight : 100),
       limits.cpuWeight != 0},
      {"pids.max", "TasksMax", limits.tasksMax ? std::to_string(limits.tasksMax) : "max",
       limits.tasksMax != 0},
  };
  for (const auto& setting : settings) {
    const int error = WriteFile(path + "/" + setting.file, setting.value);
    if (error == ENOENT) {
      if (setting.set) {
        problems += std::string(problems.empty() ? "" : "; ") + setting.key +
                    " is ignored: the cgroup has no " + setting.file;
      }
    } else if (error != 0) {
      Fail(std::string("cannot write ") + setting.value + " to", path + "/" + setting.file, error);
    }
  }
  const int procs = open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  if (procs < 0) Fail("cannot open", path + "/cgroup.procs", errno);
  return procs;
}

bool Cgroups::Kill(const std::string& path) const {
  const int error = WriteFile(path + "/cgroup.kill", "1");
  if (error != ENOENT) {
    errno = error;
    return error == 0;
  }
  // No cgroup.kill (before Linux 5.14): frozen, no member can fork a new
  // one between the reading of the list and the signals.
  if (const int frozen = WriteFile(path + "/cgroup.freeze", "1")) {
    errno = frozen;
    return false;
  }
  for (const pid_t pid : Members(path))
    kill(pid, SIGKILL);
  WriteFile(path + "/cgroup.freeze", "0");
  return true;
}

bool Cgroups::Signal(const std::string& path, int signal, pid_t signalled) const {
  if (access((path + "/cgroup.procs").c_str(), R_OK) != 0) return false;
  for (const pid_t pid : Members(path)) {
    if (pid != signalled && getpgid(pid) != signalled) kill(pid, signal);
  }
  return true;
}

void Cgroups::End(const std::string& path) {
  if (!Active() || path.empty()) return;
  usage_.erase(path);
  if (!Kill(path) && errno != ENOENT) {
    zqm_trace::Line(0, "Cannot kill what is left in " + path + ": " + std::strerror(errno));
  }
  RemoveWhenEmpty(path);
}

void Cgroups::RemoveWhenEmpty(const std::string& path) {
  if (rmdir(path.c_str()) == 0 || errno == ENOENT) return;
  if (errno != EBUSY) {
    zqm_trace::Line(0, "Cannot remove the cgroup " + path + ": " + std::strerror(errno));
    return;
  }
  const int watch =
      inotify_add_watch(events_->native_handle(), (path + "/cgroup.events").c_str(), IN_MODIFY);
  if (watch < 0) {
    zqm_trace::Line(0, "Cannot wait for the cgroup " + path + " to empty: " + std::strerror(errno));
    return;
  }
  // It may have emptied before the watch was set.
  if (rmdir(path.c_str()) == 0 || errno == ENOENT) {
    inotify_rm_watch(events_->native_handle(), watch);
    return;
  }
  emptying_[watch] = path;
  WaitForEvents();
}

void Cgroups::WaitForEvents() {
  if (waiting_ || emptying_.empty()) return;
  waiting_ = true;
  events_->async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code error) {
    waiting_ = false;
    if (error) return;
    ReadEvents();
    WaitForEvents();
  });
}

void Cgroups::ReadEvents() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = read(events_->native_handle(), buffer, sizeof buffer);
    if (got <= 0) return;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      auto found = emptying_.find(event->wd);
      if (found == emptying_.end()) continue;
      if ((event->mask & IN_IGNORED) != 0) {
        emptying_.erase(found);
      } else if (rmdir(found->second.c_str()) == 0 || errno == ENOENT) {
        // Removing the folder ends the watch (IN_IGNORED follows).
        emptying_.erase(found);
      }
    }
  }
}

bool Cgroups::Holds(const std::string& path, pid_t pid) const {
  const std::string mount = Cgroup2Mount();
  return Active() && !mount.empty() && mount + CgroupOfProcess(pid) == path;
}

CgroupUsage Cgroups::Usage(const std::string& path) const {
  CgroupUsage usage;
  if (!Active() || path.empty()) return usage;
  const auto now = std::chrono::steady_clock::now();
  if (const auto read = usage_.find(path);
      read != usage_.end() && now - read->second.at < kUsageFreshFor)
    return read->second.usage;
  if (const auto stat = ReadFile(path + "/cpu.stat"))
    usage.cpuMicroseconds = KeyedValue(*stat, "usage_usec");
  if (const auto current = ReadFile(path + "/memory.current")) {
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(current->c_str(), &end, 10);
    if (end != current->c_str()) usage.memoryBytes = bytes;
  }
  usage_[path] = ReadUsage{now, usage};
  return usage;
}

void Cgroups::RemoveEmpty(const std::set<std::string>& keep) {
  if (!Active()) return;
  DIR* folder = opendir(root_.c_str());
  if (folder == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (entry->d_type == DT_DIR && name.find('@') != std::string::npos) names.push_back(name);
  }
  closedir(folder);
  // A populated one refuses (EBUSY): its next start empties it.
  for (const std::string& name : names) {
    if (keep.count(root_ + "/" + name) == 0) rmdir((root_ + "/" + name).c_str());
  }
}

}  // namespace zqmd
