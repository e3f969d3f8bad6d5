// The registry kept in the state file, written soon after every change, and
// its reconciliation with the processes really running: at start the
// daemon adopts the instances an earlier daemon left running, each by the
// very process the file names, and those the file does not know by the
// marks of their launch.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <set>
#include <utility>

#include "DEVUror/zqm_trace.h"
#include "zqmd/credentials.h"
#include "zqmd/daemon_internal.h"
#include "zqmd/launcher.h"
#include "zqmd/state_file.h"

namespace zqmd {

namespace {

// Where an adopted process serves, asked of the kernel rather than of a file
// that may be stale: `recorded` when it still listens there, else its one
// listening port; nullopt with none (still starting, or a plain program) or
// several, so that it is left to register or to time out.
std::optional<unsigned short> ServingPort(pid_t pid, unsigned short recorded) {
  std::string problem;
  const std::optional<std::set<unsigned short>> ports = ListeningPorts(pid, problem);
  if (!ports) return std::nullopt;
  if (recorded != 0 && ports->count(recorded) != 0) return recorded;
  if (ports->size() == 1) return *ports->begin();
  return std::nullopt;
}

// Whether `process` runs the program its launch was configured with, found
// as the launcher finds it (a relative path from the process's working
// folder). A helper the instance started runs another program.
bool RunsItsProgram(const MarkedProcess& process) {
  if (process.exe.empty() || process.program.empty()) return false;
  const std::string base =
      process.program.find('/') != std::string::npos && process.program[0] != '/'
          ? "/proc/" + std::to_string(process.pid) + "/cwd/"
          : "";
  for (const std::string& candidate : ProgramCandidates(process.program)) {
    char real[PATH_MAX];
    if (realpath((base + candidate).c_str(), real) != nullptr && process.exe == real) return true;
  }
  return false;
}

// Runs `adopt`, tracing what keeps it from adopting process `pid` (no
// descriptor left to watch it, say): one process must not keep the daemon
// from starting.
template <class Adoption>
void Tolerantly(pid_t pid, Adoption adopt) {
  try {
    adopt();
  } catch (const ZQ_EException& failure) {
    zqm_trace::Line(
        0, ZQ_TString::Format("Cannot adopt pid %d: %s", pid, failure.ZQ_Message()).Text());
  }
}

// Why `name` cannot be adopted under the daemon's log folder, or "".
std::string UnusableName(const std::string& name) {
  try {
    LogFilePath("/", name, 0);
  } catch (const ZQ_EException& refused) {
    return refused.ZQ_Message().Text();
  }
  return "";
}

}  // namespace

void Daemon::SaveSoon() {
  // Written a little later, so that the changes of one start (spawn, bind)
  // make one write, and no write delays the answers of a restart.
  if (savePending_) return;
  savePending_ = true;
  const auto now = std::chrono::steady_clock::now();
  const auto delay = std::max<std::chrono::steady_clock::duration>(
      std::chrono::milliseconds(kSaveDelayMs),
      lastSave_ + std::chrono::milliseconds(kSaveIntervalMs) - now);
  saveDeadline_ =
      deadlines_.After(std::chrono::duration_cast<std::chrono::milliseconds>(delay), [this] {
        saveDeadline_ = 0;
        SaveNow();
      });
}

void Daemon::SaveNow() {
  if (!savePending_) return;
  deadlines_.Cancel(std::exchange(saveDeadline_, 0));
  savePending_ = false;
  lastSave_ = std::chrono::steady_clock::now();
  Save();
}

void Daemon::Save() {
  std::vector<SavedInstance> saved;
  for (const auto& [key, instance] : instances_) {
    if (instance->pid == 0) continue;
    SavedInstance entry;
    entry.name = key.first;
    entry.instance = key.second;
    entry.pid = instance->pid;
    entry.port = instance->state == State::kBound ? instance->port : 0;
    entry.state = instance->state == State::kBound   ? "running"
                  : instance->state == State::kPlain ? "plain"
                                                     : "unbound";
    entry.started = std::chrono::system_clock::to_time_t(instance->started);
    entry.logPath = instance->logPath;
    entry.startTicks = instance->startTicks;
    entry.launch = instance->launchId;
    saved.push_back(entry);
  }
  stateWriter_->Submit(std::move(saved));
}

void Daemon::Saved(const std::string& problem) {
  if (problem.empty()) {
    if (saveFailing_)
      zqm_trace::Line(0, "The registry is kept in " + options_.stateFile + " again");
    saveFailing_ = false;
    return;
  }
  // Traced once per episode; every later change writes it again. The file
  // keeps what it held: a restarted daemon adopts what it names that still
  // runs, and finds later launches by their marks.
  if (saveFailing_) return;
  saveFailing_ = true;
  zqm_trace::Line(0, "Cannot keep the registry: " + problem +
                         "; it is written again at the next change, and a restarted daemon "
                         "finds the instances started since among the running processes");
}

void Daemon::Adopt() {
  const Recorded recorded = AdoptFromStateFile();
  // The file may be lost or stale: the processes we marked are the truth for
  // the launches it does not name.
  AdoptMarkedProcesses(recorded);
  // Instances that ended while no daemon watched leave empty cgroups behind.
  std::set<std::string> kept;
  for (const auto& [key, instance] : instances_)
    kept.insert(cgroups_.PathOf(key.first, key.second));
  for (const auto& [key, candidate] : candidates_)
    kept.insert(cgroups_.PathOf(key.first, key.second));
  cgroups_.RemoveEmpty(kept);
  SaveSoon();
}

void Daemon::FindCgroup(Instance& instance) {
  const std::string path = cgroups_.PathOf(instance.name, instance.number);
  if (!path.empty() && cgroups_.Holds(path, instance.pid)) instance.cgroup = path;
}

Daemon::Recorded Daemon::AdoptFromStateFile() {
  std::string problem;
  const std::optional<std::vector<SavedInstance>> saved = LoadState(options_.stateFile, problem);
  if (!problem.empty()) zqm_trace::Line(0, "Ignoring the kept registry: " + problem);
  Recorded recorded;
  for (const SavedInstance& entry : saved.value_or(std::vector<SavedInstance>{})) {
    recorded.instances.insert(Key{entry.name, entry.instance});
    if (!entry.launch.empty()) recorded.launches.insert(entry.launch);
    Tolerantly(entry.pid, [&] { AdoptSaved(entry); });
  }
  return recorded;
}

void Daemon::AdoptSaved(const SavedInstance& entry) {
  const Key key{entry.name, entry.instance};
  if (entry.startTicks == 0 || entry.pid <= 1 || instances_.count(key) != 0) return;
  if (const std::string unusable = UnusableName(entry.name); !unusable.empty()) {
    zqm_trace::Line(0, ZQ_TString::Format("Not adopting pid %d, kept as %s instance %d: %s",
                                          entry.pid, entry.name, entry.instance, unusable)
                           .Text());
    return;
  }
  // Only the very process that was registered: a pid reused since then by
  // another process has another start time. Read after the pidfd was
  // opened and before the process is seen alive through it.
  const int pidfd = OpenPidfd(entry.pid);
  if (pidfd < 0 || ProcessStartTicks(entry.pid) != entry.startTicks || PidfdEnded(pidfd)) {
    if (pidfd >= 0) close(pidfd);
    zqm_trace::Line(0, ZQ_TString::Format("%s instance %d (pid %d) has ended since the registry "
                                          "was kept; it is started anew when asked for",
                                          entry.name, entry.instance, entry.pid)
                           .Text());
    return;
  }
  const bool plain = entry.state == "plain";
  const std::optional<unsigned short> port =
      plain ? std::nullopt : ServingPort(entry.pid, entry.port);
  Instance& instance = Add(key, plain ? State::kPlain : port ? State::kBound : State::kUnbound);
  instance.pid = entry.pid;
  instance.port = port.value_or(0);
  instance.logPath = entry.logPath;
  instance.started =
      std::chrono::system_clock::from_time_t(static_cast<std::time_t>(entry.started));
  instance.startTicks = entry.startTicks;
  instance.launchId = entry.launch;
  Watch(instance, pidfd, ParentPid(entry.pid) == getpid());
  FindCgroup(instance);
  if (!instance.logPath.empty()) WatchLog(instance, -1);
  zqm_trace::Line(
      0, ZQ_TString::Format("Adopted %s, left running by an earlier daemon", Describe(instance))
             .Text());
}

bool Daemon::MayAdopt(const MarkedProcess& process, const Recorded& recorded) const {
  const auto traced = [&](int level, const std::string& why) {
    zqm_trace::Line(level, ZQ_TString::Format("Not adopting pid %d, marked as %s instance %d: %s",
                                              process.pid, process.name, process.instance, why)
                               .Text());
    return false;
  };
  if (const std::string unusable = UnusableName(process.name); !unusable.empty())
    return traced(0, unusable);
  // The file decides for the launches it names, and for an instance it
  // names when the process cannot be tied to any launch.
  if (recorded.launches.count(process.launch) != 0 ||
      (process.launch.empty() &&
       recorded.instances.count(Key{process.name, process.instance}) != 0)) {
    return traced(1, "it belongs to a launch that the kept registry names by its process");
  }
  if (!RunsItsProgram(process)) {
    return traced(1, "it runs " + (process.exe.empty() ? "an unknown program" : process.exe) +
                         ", not its launch's program" +
                         (process.program.empty() ? "" : " " + process.program));
  }
  return true;
}

void Daemon::AdoptMarkedProcesses(const Recorded& recorded) {
  std::set<pid_t> known;
  for (const auto& [key, instance] : instances_)
    known.insert(instance->pid);
  // The oldest of an instance's processes: what the instance started is
  // younger than the instance.
  std::map<Key, MarkedProcess> oldest;
  for (const MarkedProcess& process : FindMarkedProcesses(DaemonMark())) {
    if (known.count(process.pid) != 0 || !MayAdopt(process, recorded)) continue;
    auto [at, first] = oldest.emplace(Key{process.name, process.instance}, process);
    if (first) continue;
    MarkedProcess younger = process;
    if (younger.startTicks < at->second.startTicks) std::swap(younger, at->second);
    zqm_trace::Line(0,
                    ZQ_TString::Format("%s instance %d also runs as pid %d, which is not "
                                       "adopted: pid %d is older",
                                       younger.name, younger.instance, younger.pid, at->second.pid)
                        .Text());
  }
  const uid_t me = getuid();
  for (const auto& [key, process] : oldest) {
    if (const Instance* other = Find(key); other != nullptr && other->pid != 0) {
      zqm_trace::Line(0, ZQ_TString::Format("%s instance %d also runs as pid %d, which is not "
                                            "adopted: %s is",
                                            key.first, key.second, process.pid, Describe(*other))
                             .Text());
      continue;
    }
    if (process.uid == me) {
      Tolerantly(process.pid, [&, &found = process] { AdoptMarked(found, "found running"); });
    } else if (me == 0) {
      candidates_[key] = process;
      zqm_trace::Line(1, ZQ_TString::Format("Found %s instance %d (pid %d) running as user %d: "
                                            "adopted if its launch configuration names that user",
                                            key.first, key.second, process.pid, process.uid)
                             .Text());
    }
  }
}

void Daemon::AdoptMarked(const MarkedProcess& process, const char* how) {
  const Key key{process.name, process.instance};
  const int pidfd = OpenPidfd(process.pid);
  if (pidfd < 0) return;
  if (ProcessStartTicks(process.pid) != process.startTicks || PidfdEnded(pidfd)) {
    close(pidfd);
    return;
  }
  const std::optional<unsigned short> port = ServingPort(process.pid, 0);
  const bool bound = port.has_value();
  std::vector<zqm_listener::Reply> waiters;
  if (auto waiting = instances_.find(key); waiting != instances_.end())
    waiters = std::move(waiting->second->waiters);
  Instance& instance = Add(key, bound           ? State::kBound
                                : process.plain ? State::kPlain
                                                : State::kUnbound);
  instance.pid = process.pid;
  instance.port = port.value_or(0);
  instance.logPath = LogPath(key);
  instance.started = StartTime(process.startTicks);
  instance.startTicks = process.startTicks;
  instance.launchId = process.launch;
  Watch(instance, pidfd, ParentPid(process.pid) == getpid());
  FindCgroup(instance);
  WatchLog(instance, -1);
  zqm_trace::Line(0, ZQ_TString::Format("Adopted %s, %s", Describe(instance), how).Text());
  instance.waiters = std::move(waiters);
  if (instance.waiters.empty()) return;
  if (bound || instance.state == State::kPlain) {
    const std::string answer = bound ? PlaceFrame(instance) : PlainRefusal(instance);
    for (auto& waiter : std::exchange(instance.waiters, {}))
      waiter(answer);
  } else {
    instance.state = State::kStarting;
    ArmStartTimer(instance);
  }
}

bool Daemon::AdoptCandidate(const Key& key, const Credentials& credentials) {
  auto found = candidates_.find(key);
  if (found == candidates_.end()) return false;
  const MarkedProcess process = found->second;
  candidates_.erase(found);
  const uid_t user = credentials.changeUser ? credentials.uid : getuid();
  if (process.uid != user) {
    zqm_trace::Line(0, ZQ_TString::Format("Not adopting %s instance %d (pid %d): it runs as user "
                                          "%d, not as the server's user",
                                          key.first, key.second, process.pid, process.uid)
                           .Text());
    return false;
  }
  AdoptMarked(process, "found running as its configured user");
  return instances_.count(key) != 0 && instances_.at(key)->pid == process.pid;
}

}  // namespace zqmd
