#include "supervisors.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

#include <unistd.h>
#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace zq_bench {

using namespace std::chrono_literals;

std::optional<ServiceStamp> ParseServiceStamp(const std::string& line) {
  std::istringstream in(line);
  ServiceStamp stamp;
  long long ns = 0;
  if (!(in >> stamp.name >> stamp.pid >> ns)) return std::nullopt;
  stamp.ns = ns;
  return stamp;
}

StampFifo::StampFifo(const std::string& path) : path_(path), lines_(OpenFifo(path)) {}

std::optional<std::int64_t> StampFifo::WaitForServices(
    std::size_t services, std::size_t after, std::chrono::steady_clock::time_point deadline) {
  // Called once per line, in order: a service that stamps twice counts once.
  std::set<std::string> seen;
  auto fresh = [&seen](const std::string& line) {
    const auto stamp = ParseServiceStamp(line);
    return stamp && seen.insert(stamp->name).second;
  };
  const auto last = lines_.WaitForCount(fresh, services, deadline, after);
  if (!last) return std::nullopt;
  std::int64_t latest = 0;
  for (std::size_t i = after; i <= *last; ++i) {
    if (const auto stamp = ParseServiceStamp(lines_.At(i).text))
      latest = std::max(latest, stamp->ns);
  }
  return latest;
}

std::optional<ServiceStamp> StampFifo::WaitForRestart(
    const std::string& name, pid_t old, std::size_t after,
    std::chrono::steady_clock::time_point deadline) {
  auto successor = [&](const std::string& line) {
    const auto stamp = ParseServiceStamp(line);
    return stamp && stamp->name == name && stamp->pid != old;
  };
  const auto at = lines_.WaitFor(successor, deadline, after);
  if (!at) return std::nullopt;
  return ParseServiceStamp(lines_.At(*at).text);
}

std::map<std::string, ServiceStamp> StampFifo::Latest() const {
  std::map<std::string, ServiceStamp> latest;
  for (const LineSource::Line& line : lines_.Lines()) {
    if (auto stamp = ParseServiceStamp(line.text)) latest[stamp->name] = *stamp;
  }
  return latest;
}

Supervisor::Supervisor(std::string label)
    : label_(std::move(label)), stamps_(dir_.File("stamps")) {}

std::chrono::milliseconds StartDeadline(unsigned services) {
  return 30s + std::chrono::milliseconds(20) * services;
}

std::string StampServicePath() {
  const std::string built = zq_test::Program("stamp_service");
  if (access(built.c_str(), X_OK) == 0) return built;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return built;
  const std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "stamp_service";
}

// ---------------------------------------------------------------------------
// Peers

namespace {

std::vector<std::string> FolderOnly(const std::string& folder, unsigned) {
  return {folder};
}

// s6-svscan refuses services beyond its table (500 unless told).
std::vector<std::string> WithTable(const std::string& folder, unsigned services) {
  if (services <= 500) return {folder};
  return {"-c", std::to_string(services), folder};
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// posix_spawnp of `argv` with STAMP_FIFO added to this process's
// environment, output appended to `log`.
pid_t SpawnWithStampFifo(const std::vector<std::string>& argv, const std::string& fifo,
                         const std::string& log) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    environment.push_back(*entry);
  environment.push_back("STAMP_FIFO=" + fifo);
  std::vector<char*> envp, args;
  for (std::string& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = argv;
  for (std::string& word : words)
    args.push_back(word.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

}  // namespace

const std::vector<PeerKind>& PeerKinds() {
  static const std::vector<PeerKind> kinds = {
      {"daemontools", "svscan", "supervise", true, 1000, false, FolderOnly},
      {"runit", "runsvdir", "runsv", true, 1000, false, FolderOnly},
      {"s6", "s6-svscan", "s6-supervise", false, 0, true, WithTable},
  };
  return kinds;
}

bool Installed(const PeerKind& kind) {
  return OnPath(kind.scanner) && OnPath(kind.supervisor);
}

PeerSupervisor::PeerSupervisor(const PeerKind& kind, unsigned services)
    : Supervisor(kind.label), kind_(kind), services_(services) {
  if (kind.limit != 0 && services > kind.limit) {
    throw std::runtime_error(kind.label + " starts at most " + std::to_string(kind.limit) +
                             " services");
  }
  const std::string service = StampServicePath();
  const std::string folder = Dir().File("services");
  mkdir(folder.c_str(), 0755);
  for (unsigned s = 1; s <= services; ++s) {
    const std::string own = folder + "/s" + std::to_string(s);
    if (mkdir(own.c_str(), 0755) != 0 || symlink(service.c_str(), (own + "/run").c_str()) != 0)
      throw std::runtime_error("cannot prepare " + own);
    if (kind.readiness) Dir().Write("services/s" + std::to_string(s) + "/notification-fd", "3\n");
  }
  const timespec minuteAgo{time(nullptr) - 60, 0};
  const timespec times[2] = {minuteAgo, minuteAgo};
  utimensat(AT_FDCWD, folder.c_str(), times, 0);
}

PeerSupervisor::~PeerSupervisor() {
  End();
}

std::int64_t PeerSupervisor::Launch() {
  std::vector<std::string> argv = kind_.arguments(Dir().File("services"), services_);
  argv.insert(argv.begin(), kind_.scanner);
  const std::int64_t before = MonotonicNs();
  pid_ = SpawnWithStampFifo(argv, Stamps().Path(), Dir().File("scanner.log"));
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  return before;
}

std::vector<Member> PeerSupervisor::Members() {
  std::vector<Member> members = {{kind_.scanner, pid_}};
  for (pid_t child : ChildrenOf(pid_))
    members.push_back({kind_.supervisor, child});
  return members;
}

// The scanner is stopped first (and seen stopped) so that it starts no
// supervisor meanwhile; every supervisor's services are taken before it is
// killed, since they leave its tree when it ends. Nothing ends during this,
// so no supervisor is starting a service. A scanner that died by itself has
// lost its supervisors to the namespace's first process: the namespace's
// end takes them.
void PeerSupervisor::End() {
  if (pid_ <= 0) return;
  kill(pid_, SIGSTOP);
  int status = 0;
  const bool stopped = waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
  std::vector<pid_t> tree;
  if (stopped) tree.push_back(pid_);
  for (pid_t supervisor : stopped ? ChildrenOf(pid_) : std::vector<pid_t>{}) {
    tree.push_back(supervisor);
    for (pid_t service : ChildrenOf(supervisor))
      tree.push_back(service);
  }
  if (!KillAndWait(tree, 20s)) std::cerr << kind_.label << ": some processes did not end\n";
  if (stopped) waitpid(pid_, nullptr, 0);
  if (pidfd_ >= 0) close(pidfd_);
  pid_ = -1;
  pidfd_ = -1;
}

// ---------------------------------------------------------------------------
// Custodel

CustodelSupervisor::CustodelSupervisor(std::string label, unsigned services, unsigned servers,
                                       bool withMiddleware)
    : Supervisor(std::move(label)) {
  ServerEntry like;
  like.name = "Stamp";
  like.program = StampServicePath();
  like.plain = true;
  like.arguments = {"{name}-{instance}"};
  like.environment["STAMP_FIFO"] = Stamps().Path();
  servers_ = SpreadInstances(services, servers, like);
  if (!withMiddleware) run_ = std::make_unique<Run>(servers_);
}

std::int64_t CustodelSupervisor::Launch() {
  if (run_) return run_->StartService();
  const std::int64_t before = MonotonicNs();
  run_ = std::make_unique<Run>(servers_);
  run_->StartService();
  return before;
}

std::string CustodelSupervisor::Traces() const {
  if (!run_) return "";
  std::string traces = "--- custodel\n";
  for (const LineSource::Line& line : run_->Service().Output().Lines())
    traces += line.text + "\n";
  traces += "--- zqmd\n";
  for (const std::string& line : run_->Installation().Daemon().Lines())
    traces += line + "\n";
  return traces;
}

namespace {

// A trace line's time ("2026-12-08 04:20:00.123456 0 zqmd[...] text", local
// time) in µs since the epoch, and its text after the program's name.
struct TracedAt {
  std::int64_t us = 0;
  std::string text;
};

std::optional<TracedAt> ParseTraceLine(const std::string& line) {
  tm local{};
  long micro = 0;
  int consumed = 0;
  if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%ld %*d %*s %n", &local.tm_year, &local.tm_mon,
                  &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &micro,
                  &consumed) < 7 ||
      consumed == 0) {
    return std::nullopt;
  }
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  local.tm_isdst = -1;
  return TracedAt{std::int64_t{mktime(&local)} * 1'000'000 + micro, line.substr(consumed)};
}

// "<name> instance <n>" right after `prefix`, as "<name>-<n>" (the stamp's
// name); empty when the text does not start with `prefix`.
std::string InstanceAfter(const std::string& text, const std::string& prefix, bool quoted) {
  if (text.rfind(prefix, 0) != 0) return "";
  std::istringstream in(text.substr(prefix.size()));
  std::string name, word;
  unsigned number = 0;
  if (!(in >> name >> word >> number) || word != "instance") return "";
  if (quoted && name.size() >= 2) name = name.substr(1, name.size() - 2);
  return name + "-" + std::to_string(number);
}

// The first time each instance met a line of the kind `key` finds.
using FirstTimes = std::map<std::string, std::int64_t>;

void Note(FirstTimes& times, const std::string& instance, std::int64_t us) {
  if (!instance.empty()) times.emplace(instance, us);
}

std::int64_t RealtimeMinusMonotonicUs() {
  timespec real{}, mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  return (std::int64_t{real.tv_sec} - mono.tv_sec) * 1'000'000 +
         (real.tv_nsec - mono.tv_nsec) / 1000;
}

}  // namespace

void CustodelSupervisor::WaitAllRunning() {
  run_->WaitAllRunning(StartDeadline(run_->Expected()));
}

StepTable CustodelSupervisor::StartSteps() {
  WaitAllRunning();
  FirstTimes attempt, running, daemonStarting, daemonStarted;
  for (const LineSource::Line& line : run_->Service().Output().Lines()) {
    const auto traced = ParseTraceLine(line.text);
    if (!traced) continue;
    Note(attempt, InstanceAfter(traced->text, "Starting server ", true), traced->us);
    if (traced->text.find(" is running") != std::string::npos)
      Note(running, InstanceAfter(traced->text, "Server ", true), traced->us);
  }
  for (const std::string& text : run_->Installation().Daemon().Lines()) {
    const auto traced = ParseTraceLine(text);
    if (!traced) continue;
    Note(daemonStarting, InstanceAfter(traced->text, "Starting ", false), traced->us);
    Note(daemonStarted, InstanceAfter(traced->text, "Started ", false), traced->us);
  }
  const std::int64_t offsetUs = RealtimeMinusMonotonicUs();
  std::map<std::string, std::int64_t> stamped;
  for (const auto& [name, stamp] : Stamps().Latest())
    stamped[name] = stamp.ns / 1000 + offsetUs;

  std::vector<std::pair<std::int64_t, std::string>> order;  // by start attempt
  for (const auto& [instance, us] : attempt)
    order.emplace_back(us, instance);
  std::sort(order.begin(), order.end());
  StepTable steps = {
      {"previous \"is running\" -> \"Starting server\" (gate, watcher thread)", {}},
      {"\"Starting server\" -> daemon \"Starting\" (Locate, launch config)", {}},
      {"daemon \"Starting\" -> first instruction (spawn, exec)", {}},
      {"first instruction -> daemon \"Started\" (spawn returns to the loop)", {}},
      {"daemon \"Started\" -> \"is running\" (answer, Servers, pidfd)", {}},
      {"one start: previous \"is running\" -> \"is running\"", {}},
  };
  auto ms = [](std::int64_t us) { return static_cast<double>(us) / 1000.0; };
  for (std::size_t i = 1; i < order.size(); ++i) {
    const std::string& previous = order[i - 1].second;
    const std::string& instance = order[i].second;
    if (!running.count(previous) || !running.count(instance) || !daemonStarting.count(instance) ||
        !daemonStarted.count(instance) || !stamped.count(instance)) {
      continue;
    }
    const std::int64_t times[] = {running[previous],        attempt[instance],
                                  daemonStarting[instance], stamped[instance],
                                  daemonStarted[instance],  running[instance]};
    for (std::size_t step = 0; step + 1 < std::size(times); ++step)
      steps[step].second.push_back(ms(times[step + 1] - times[step]));
    steps.back().second.push_back(ms(running[instance] - running[previous]));
  }
  return steps;
}

std::vector<Member> CustodelSupervisor::Members() {
  return {{"custodel", run_->Service().Pid()},
          {"zqmd", run_->DaemonPid()},
          {kConfigurationRole, run_->AlmanacPid()}};
}

}  // namespace zq_bench
