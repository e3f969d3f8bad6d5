#include "bench_support.h"

#include "support/child_process.h"
#include "support/test_key.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <stdexcept>

namespace zq_bench {

namespace {

int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  // Rounded up, so that a wait never ends just before its deadline.
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number after `key` in a "key:  value" file such as /proc/<pid>/status.
std::uint64_t Field(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return 0;
  return std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// The daemon looks up its administrators' group ("zqm") as it starts. The
// package makes that group; where it is missing, the C library goes on to
// the next source of groups (libnss_systemd: some 300 KiB of the daemon's
// memory for the rest of its life). The run's own mount namespace gets a
// group file with it, so that the figures are those of a packaged host.
void AddTheAdministratorsGroup() {
  const std::string groups = ReadWhole("/etc/group");
  if (groups.empty() || groups.rfind("zqm:", 0) == 0 || groups.find("\nzqm:") != std::string::npos)
    return;
  std::set<unsigned long> used;
  std::istringstream lines(groups);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t second = line.find(':', line.find(':') + 1);
    if (second != std::string::npos)
      used.insert(std::strtoul(line.c_str() + second + 1, nullptr, 10));
  }
  unsigned long gid = 900;
  while (used.count(gid) != 0)
    ++gid;
  const std::string copy = "/run/zq-bench-group";
  std::ofstream(copy) << groups << (groups.back() == '\n' ? "" : "\n") << "zqm:x:" << gid << ":\n";
  if (mount(copy.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
    std::fprintf(stderr,
                 "note: no group zqm for this run (bind mount: %s); the daemon loads the next "
                 "source of groups\n",
                 std::strerror(errno));
  }
}

// The threads of the process whose /proc folder is `base`: each one's id
// and its folder /proc/<pid>/task/<tid>.
std::vector<std::pair<pid_t, std::string>> TaskFolders(const std::string& base) {
  std::vector<std::pair<pid_t, std::string>> tasks;
  if (DIR* folder = opendir((base + "/task").c_str())) {
    while (dirent* entry = readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      tasks.emplace_back(std::atoi(entry->d_name), base + "/task/" + entry->d_name);
    }
    closedir(folder);
  }
  return tasks;
}

}  // namespace

void EnterPrivateNamespaces(int argc, char** argv) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::perror("readlink /proc/self/exe");
    std::exit(2);
  }
  self[n] = 0;
  if (std::getenv("ZQ_BIN_DIR") == nullptr) {
    std::string folder(self);
    folder.erase(folder.rfind('/'));
    setenv("ZQ_BIN_DIR", folder.c_str(), 1);
  }
  if (std::getenv("ZQ_BENCH_NETNS") != nullptr) {
    zq_test::ProcessKeyFile();  // the run's own key, for the run and what it starts
    AddTheAdministratorsGroup();
    return;
  }
  setenv("ZQ_BENCH_NETNS", "1", 1);
  std::vector<char*> args;
  std::string runner = ZQ_NETNS_RUN;
  args.push_back(runner.data());
  args.push_back(self);
  for (int i = 1; i < argc; ++i)
    args.push_back(argv[i]);
  args.push_back(nullptr);
  execv(runner.c_str(), args.data());
  std::fprintf(stderr, "cannot run %s: %s\n", runner.c_str(), std::strerror(errno));
  std::exit(2);
}

std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

WallToMonotonic::WallToMonotonic() {
  // The smallest bracket of several readings gives the offset to within a
  // microsecond or so.
  std::int64_t best = INT64_MAX;
  for (int i = 0; i < 20; ++i) {
    timespec before{}, wall{}, after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &after);
    const std::int64_t b = before.tv_sec * 1000000000LL + before.tv_nsec;
    const std::int64_t a = after.tv_sec * 1000000000LL + after.tv_nsec;
    if (a - b < best) {
      best = a - b;
      offsetNs_ = wall.tv_sec * 1000000000LL + wall.tv_nsec - (a + b) / 2;
    }
  }
}

std::optional<std::int64_t> WallToMonotonic::LineTime(const std::string& line) const {
  tm local{};
  const char* rest = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &local);
  if (rest == nullptr || *rest != '.') return std::nullopt;
  char* end = nullptr;
  const long micros = std::strtol(rest + 1, &end, 10);
  if (end != rest + 7) return std::nullopt;
  local.tm_isdst = -1;
  const time_t seconds = mktime(&local);
  const std::int64_t wallNs = static_cast<std::int64_t>(seconds) * 1000000000LL + micros * 1000LL;
  return wallNs - offsetNs_;
}

double Percentile(std::vector<double>& samples, double percent) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(percent / 100.0 * static_cast<double>(samples.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

Summary Summarise(std::vector<double> samples) {
  Summary summary;
  summary.count = samples.size();
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  summary.min = samples.front();
  summary.max = samples.back();
  summary.p50 = Percentile(samples, 50);
  summary.p90 = Percentile(samples, 90);
  summary.p99 = Percentile(samples, 99);
  summary.mean =
      std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
  return summary;
}

LineSource::LineSource(int fd) : fd_(fd), wake_(eventfd(0, EFD_CLOEXEC)) {
  if (wake_ < 0) throw std::runtime_error("eventfd failed");
  reader_ = std::thread([this] { Read(); });
}

LineSource::~LineSource() {
  Close();
}

void LineSource::Close() {
  if (!reader_.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
  reader_.join();
  close(wake_);
  close(fd_);
}

void LineSource::Read() {
  std::string pending;
  char buffer[8192];
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    const std::int64_t now = MonotonicNs();
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      lines_.push_back({now, pending.substr(0, end)});
      pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (!pending.empty()) lines_.push_back({MonotonicNs(), pending});
  ended_ = true;
  changed_.notify_all();
}

std::optional<std::size_t> LineSource::WaitFor(const std::function<bool(const std::string&)>& match,
                                               std::chrono::steady_clock::time_point deadline,
                                               std::size_t after) {
  return WaitForCount(match, 1, deadline, after);
}

std::optional<std::size_t> LineSource::WaitForCount(
    const std::function<bool(const std::string&)>& match, std::size_t count,
    std::chrono::steady_clock::time_point deadline, std::size_t after) {
  std::unique_lock<std::mutex> hold(mutex_);
  std::size_t checked = after;
  std::size_t seen = 0;
  std::optional<std::size_t> found;
  changed_.wait_until(hold, deadline, [&] {
    for (; checked < lines_.size(); ++checked) {
      if (match(lines_[checked].text) && ++seen == count) {
        found = checked;
        return true;
      }
    }
    return ended_;
  });
  return found;
}

LineSource::Line LineSource::At(std::size_t index) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_.at(index);
}

std::size_t LineSource::Count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_.size();
}

std::vector<LineSource::Line> LineSource::Lines() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_;
}

TracedProcess::TracedProcess(const std::vector<std::string>& argv,
                             const std::map<std::string, std::string>& env) {
  const int output = zq_test::SpawnCapturingOutput(argv, env, pid_);
  pidfd_ = OpenPidfd(pid_);
  output_ = std::make_unique<LineSource>(output);
}

TracedProcess::~TracedProcess() {
  Kill();
  output_.reset();
  if (pidfd_ >= 0) close(pidfd_);
}

bool TracedProcess::Kill(std::chrono::milliseconds timeout) {
  if (reaped_ || pid_ <= 0) return true;
  kill(pid_, SIGKILL);
  if (!WaitForPidfd(pidfd_, std::chrono::steady_clock::now() + timeout)) return false;
  waitpid(pid_, nullptr, 0);
  reaped_ = true;
  return true;
}

bool WaitForPidfd(int pidfd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pollfd entry{pidfd, POLLIN, 0};
    const int ready = poll(&entry, 1, MillisecondsUntil(deadline));
    if (ready > 0) return true;
    if (ready == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      continue;  // woke a little early: wait for the rest
    }
    if (errno != EINTR) return false;
  }
}

bool WaitForEnd(const std::vector<pid_t>& pids, std::chrono::steady_clock::time_point deadline) {
  std::vector<pollfd> fds;
  for (pid_t pid : pids) {
    const int fd = OpenPidfd(pid);
    if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  }
  bool all = true;
  std::size_t open = fds.size();
  while (open > 0) {
    const int ready = poll(fds.data(), fds.size(), MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (ready == 0 && std::chrono::steady_clock::now() >= deadline)) {
      all = false;
      break;
    }
    for (pollfd& entry : fds) {
      if (entry.fd >= 0 && entry.revents != 0) {
        close(entry.fd);
        entry.fd = -1;  // poll ignores negative descriptors
        --open;
      }
    }
  }
  for (pollfd& entry : fds)
    if (entry.fd >= 0) close(entry.fd);
  return all;
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  // Each thread lists the children it made itself (the daemon's are made
  // by its launch threads).
  std::vector<pid_t> children;
  for (const auto& [tid, task] : TaskFolders("/proc/" + std::to_string(pid))) {
    std::ifstream in(task + "/children");
    for (pid_t child; in >> child;)
      children.push_back(child);
  }
  return children;
}

std::vector<pid_t> ProcessesWith(const std::string& assignment) {
  std::vector<pid_t> found;
  const std::string entry = '\0' + assignment + '\0';
  for (const auto& folder : std::filesystem::directory_iterator("/proc")) {
    const std::string name = folder.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string environment = '\0' + ReadWhole(folder.path().string() + "/environ");
    if (environment.find(entry) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

bool KillAndWait(const std::vector<pid_t>& pids, std::chrono::milliseconds timeout) {
  for (pid_t pid : pids)
    if (pid > 0) kill(pid, SIGKILL);
  return WaitForEnd(pids, std::chrono::steady_clock::now() + timeout);
}

long TicksPerSecond() {
  return sysconf(_SC_CLK_TCK);
}

std::optional<ProcessSample> SampleProcess(pid_t pid, bool withMemory) {
  const std::string base = "/proc/" + std::to_string(pid);
  const std::string stat = ReadWhole(base + "/stat");
  if (stat.empty()) return std::nullopt;
  ProcessSample sample;
  // Fields after the command name, which may hold spaces: state is field 3,
  // utime 14 and stime 15.
  const std::size_t close = stat.rfind(')');
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14 || number == 15) sample.cpuTicks += std::strtoull(field.c_str(), nullptr, 10);
  }
  // /proc/<pid>/status counts the switches of the main thread only: add up
  // the tasks.
  for (const auto& [tid, task] : TaskFolders(base)) {
    const std::string status = ReadWhole(task + "/status");
    const std::uint64_t voluntary = Field(status, "\nvoluntary_ctxt_switches:");
    sample.voluntarySwitches += voluntary;
    sample.involuntarySwitches += Field(status, "\nnonvoluntary_ctxt_switches:");
    sample.perTaskVoluntary[tid] = voluntary;
    std::string name = ReadWhole(task + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    sample.taskNames[tid] = name;
    sample.cpuNs += std::strtoull(ReadWhole(task + "/schedstat").c_str(), nullptr, 10);
    ++sample.threads;
  }
  if (withMemory) {
    const std::string rollup = ReadWhole(base + "/smaps_rollup");
    sample.pssKiB = Field(rollup, "\nPss:");
    sample.rssKiB = Field(rollup, "\nRss:");
    sample.privateKiB = Field(rollup, "\nPrivate_Clean:") + Field(rollup, "\nPrivate_Dirty:");
  }
  return sample;
}

int OpenFifo(const std::string& path) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path + " failed");
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  return fd;
}

std::string MachineLoad() {
  std::string load = ReadWhole("/proc/loadavg");
  if (!load.empty() && load.back() == '\n') load.pop_back();
  return "load average " + load + "; " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
         " processors";
}

}  // namespace zq_bench
