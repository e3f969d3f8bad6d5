#include "support/test_cgroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace zq_test {

namespace {

std::string Cgroup2Mount() {
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    const std::size_t dash = line.find(" - cgroup2 ");
    if (dash == std::string::npos) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string id, parent, device, root, point;
    if (fields >> id >> parent >> device >> root >> point && root == "/") return point;
  }
  return "";
}

void Write(const std::string& path, const char* text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = write(fd, text, std::strlen(text));
  close(fd);
}

// Kills every member of the folder's tree and removes it, deepest first,
// each once the kernel reports it empty.
void RemoveTree(const std::string& path) {
  std::vector<std::string> children;
  if (DIR* folder = opendir(path.c_str())) {
    while (const dirent* entry = readdir(folder)) {
      const std::string name = entry->d_name;
      if (entry->d_type == DT_DIR && name != "." && name != "..") children.push_back(name);
    }
    closedir(folder);
  }
  for (const std::string& child : children)
    RemoveTree(path + "/" + child);
  Write(path + "/cgroup.kill", "1");
  const int events = open((path + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (rmdir(path.c_str()) != 0 && errno == EBUSY && events >= 0 &&
         std::chrono::steady_clock::now() < deadline) {
    // cgroup.events signals every change of "populated" with POLLPRI.
    pollfd entry{events, POLLPRI, 0};
    poll(&entry, 1, 1000);
    char buffer[256];
    lseek(events, 0, SEEK_SET);
    [[maybe_unused]] const ssize_t got = read(events, buffer, sizeof buffer);
  }
  if (events >= 0) close(events);
}

}  // namespace

TestCgroup::TestCgroup() {
  const std::string mount = Cgroup2Mount();
  if (mount.empty()) {
    why_ = "no cgroup2 file system is mounted";
    return;
  }
  path_ = mount + "/zq-test-" + std::to_string(getpid());
  if (mkdir(path_.c_str(), 0755) != 0) why_ = "cannot make " + path_ + ": " + std::strerror(errno);
}

TestCgroup::~TestCgroup() {
  if (Usable()) RemoveTree(path_);
}

std::string CgroupFolderOf(int pid) {
  std::ifstream lines("/proc/" + std::to_string(pid) + "/cgroup");
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("0::", 0) == 0) return Cgroup2Mount() + line.substr(3);
  }
  return "";
}

bool WaitForRemoval(const std::string& path, std::chrono::milliseconds timeout) {
  const int watch = inotify_init1(IN_CLOEXEC);
  const std::string parent = path.substr(0, path.find_last_of('/'));
  inotify_add_watch(watch, parent.c_str(), IN_DELETE);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool gone = access(path.c_str(), F_OK) != 0;
  while (!gone && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{watch, POLLIN, 0};
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (poll(&entry, 1, static_cast<int>(left.count())) > 0) {
      char buffer[4096];
      [[maybe_unused]] const ssize_t got = read(watch, buffer, sizeof buffer);
    }
    gone = access(path.c_str(), F_OK) != 0;
  }
  close(watch);
  return gone;
}

std::optional<std::string> ReadLineFromFifo(const std::string& path,
                                            std::chrono::milliseconds timeout) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return std::nullopt;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    // A writer that left without a line: wait for the next one.
    if (got == 0 && (entry.revents & POLLHUP) != 0) {
      close(fd);
      return std::nullopt;
    }
  }
  close(fd);
  const std::size_t end = text.find('\n');
  if (end == std::string::npos) return std::nullopt;
  return text.substr(0, end);
}

}  // namespace zq_test
