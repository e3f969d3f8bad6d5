// On-demand starts: reading a server's launch configuration (or taking the
// one kept), spawning an instance, and giving up on one that does not bind
// in time.
#include <signal.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_identity.h"
#include "DEVUror/zqm_trace.h"
#include "zqmd/config_fetch.h"
#include "zqmd/daemon_internal.h"
#include "zqmd/launcher.h"

namespace zqmd {

namespace {

// A launch's id: 128 random bits in hex. It needs to be unique, not secret:
// should the kernel's generator not be ready, the time and this process's
// id and count of launches serve.
std::string NewLaunchId() {
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    static std::uint64_t launches = 0;
    const std::uint64_t parts[2] = {
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
        (static_cast<std::uint64_t>(getpid()) << 32) | ++launches};
    std::memcpy(bytes, parts, sizeof bytes);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string id;
  for (const unsigned char byte : bytes) {
    id += kDigits[byte >> 4];
    id += kDigits[byte & 15];
  }
  return id;
}

}  // namespace

void Daemon::StartInstance(Key key) {
  if (auto kept = launchConfigurations_.find(key.first);
      kept != launchConfigurations_.end() && !kept->second.stale) {
    const std::shared_ptr<const ZQ_TTree> server = kept->second.server;
    return Spawn(std::move(key), *server, kept->second.digest);
  }
  Instance* config = Find(Key{options_.configServer, 0});
  if (config != nullptr && config->state == State::kBound) return FetchAndSpawn(key, config->port);
  const std::string absent =
      ZQ_TString::Format("the configuration server \"%s\" instance 0 is not running",
                         options_.configServer)
          .Text();
  if (SpawnFromKept(key, absent, true)) return;
  const std::string refusal =
      ZQ_TString::Format("%s instance %d is not running, and it cannot be started: %s", key.first,
                         key.second, absent)
          .Text();
  zqm_trace::Line(0, ZQ_TString::Format("Cannot start %s instance %d: %s, and no launch "
                                        "configuration of %s is kept",
                                        key.first, key.second, absent, key.first)
                         .Text());
  FailWaiters(*instances_.at(key), FailureFrame<ZQM_ENoSuchServer>(refusal.c_str()));
  instances_.erase(key);
}

void Daemon::FetchAndSpawn(Key key, unsigned short configServerPort) {
  const std::uint64_t generation = instances_.at(key)->generation;
  const std::uint64_t epoch = configurationEpoch_;
  FetchServerConfiguration(
      io_, deadlines_, options_.configServer, configServerPort, key.first,
      [this, key, generation, epoch](std::unique_ptr<ZQ_TTree> server, std::string error,
                                     bool answered) {
        std::shared_ptr<const ZQ_TTree> read(std::move(server));
        std::string digest;
        if (read != nullptr) {
          KeepLaunchConfiguration(key.first, read);
          digest = launchConfigurations_.at(key.first).digest;
          // Read before the latest change: used for this start, read again
          // at the next.
          if (epoch != configurationEpoch_) launchConfigurations_[key.first].stale = true;
        } else if (answered) {
          // The configuration server's own word (no such server, not a
          // tree): what was kept is no longer the server's configuration.
          launchConfigurations_.erase(key.first);
        }
        auto found = instances_.find(key);
        if (found == instances_.end() || found->second->generation != generation ||
            found->second->state != State::kFetching) {
          return;  // registered by itself meanwhile, or gone
        }
        if (read != nullptr) return Spawn(key, *read, std::move(digest));
        if (!answered &&
            SpawnFromKept(
                key, "the launch configuration of " + key.first + " cannot be read (" + error + ")",
                false)) {
          return;
        }
        zqm_trace::Line(
            0, ZQ_TString::Format("Cannot start %s instance %d: %s", key.first, key.second, error)
                   .Text());
        FailWaiters(*found->second,
                    FailureFrame<ZQM_ENoSuchServer>(ZQ_TString::Format(
                        "%s instance %d is not running, and its configuration cannot be read: %s",
                        key.first, key.second, error)));
        instances_.erase(found);
      });
}

void Daemon::Spawn(Key key, const ZQ_TTree& server, std::string digest) {
  LaunchConfig launch;
  try {
    launch = ReadLaunchConfig(server, key.first, key.second);
  } catch (const ZQ_EException& failure) {
    return StartFailed(key, failure);
  }
  Instance& instance = *instances_.at(key);
  instance.state = State::kLaunching;
  instance.launchDigest = std::move(digest);
  instance.startTimeoutMs = launch.startTimeoutMs;
  // From here on the start fails after its time-out wherever it hangs.
  ArmStartTimer(instance);
  if (std::optional<Credentials> known = credentials_.Known(launch.user, launch.group))
    return LaunchResolved(std::move(key), std::move(launch), *known);
  const std::uint64_t generation = instance.generation;
  auto waiting = std::make_shared<LaunchConfig>(std::move(launch));
  instance.credentialsRequest = credentials_.Resolve(
      waiting->user, waiting->group,
      [this, key, generation, waiting](const Credentials* credentials, const std::string& problem) {
        Instance* resolved = Launching(key, generation);
        if (resolved == nullptr) return;
        resolved->credentialsRequest = 0;
        if (credentials == nullptr) return StartFailed(key, problem);
        LaunchResolved(key, std::move(*waiting), *credentials);
      });
}

void Daemon::LaunchResolved(Key key, LaunchConfig launch, const Credentials& credentials) {
  if (AdoptCandidate(key, credentials)) return;
  Instance& instance = *instances_.at(key);
  if (key.second > launch.nrOfInstances &&
      instance.startedBy.role != zqm_roles::Role::kAdministrator) {
    try {
      zqm_roles::Refuse(instance.startedBy, zqm_roles::kDaemon, "Locate",
                        ZQ_TString::Format("%s has %d instances (NrOfInstances), and only an "
                                           "administrator may start instance %d",
                                           key.first, launch.nrOfInstances, key.second)
                            .Text());
    } catch (const ZQ_EException& refused) {
      FailWaiters(instance, zqm_wire::FailureFrame(refused));
      instances_.erase(key);
      return;
    }
  }
  Mark(launch, instance);
  instance.readinessCheck = launch.readiness;
  instance.ready = launch.readiness.kind == Readiness::Kind::kNone ? Instance::Ready::kNone
                                                                   : Instance::Ready::kWaiting;
  instance.health = launch.health;
  instance.credentials = credentials;
  try {
    if (launch.readiness.kind == Readiness::Kind::kNotify)
      launch.environment.emplace_back("NOTIFY_SOCKET", NotifySocketPath());
    instance.logPath = LogPath(key);
    // A server proves who it is with an identity of its own, handed over as
    // a descriptor, never with the installation key; an insecure daemon
    // starts insecure servers. A plain program serves no RPC and gets
    // neither.
    Descriptor identity(launch.plain ? -1 : IdentityDescriptor(key));
    if (!launch.plain && identity.Get() < 0) launch.environment.emplace_back("ZQM_INSECURE", "1");
    const std::string commandLine = CommandLine(launch);
    zqm_trace::Line(
        0, ZQ_TString::Format("Starting %s instance %d: %s", key.first, key.second, commandLine)
               .Text());
    // An end marker still to be written belongs to the file before the rotation.
    if (const std::string problem =
            RotateIfOver(instance.logPath, launch.log, [this] { FinishEnds(); });
        !problem.empty())
      zqm_trace::Line(0, "Cannot rotate the log " + instance.logPath + ": " + problem);
    LaunchRequest request;
    request.name = key.first;
    request.instance = key.second;
    request.logPath = instance.logPath;
    request.keepLog = true;
    request.credentials = credentials;
    request.descriptorLimit = options_.instanceDescriptorLimit;
    auto started = std::make_shared<const LaunchConfig>(launch);
    const int cgroup = PrepareCgroup(instance, launch);
    instance.launchJob = spawner_.Start(
        std::move(launch), std::move(request), identity.Release(),
        [this, key, generation = instance.generation, started,
         commandLine](Spawner::Outcome& outcome) {
          LaunchFinished(key, generation, outcome, *started, commandLine);
        },
        cgroup);
  } catch (const ZQ_EException& failure) {
    return StartFailed(key, failure);
  }
  // While the launch thread makes the process.
  FinishEnds();
}

void Daemon::Mark(LaunchConfig& launch, Instance& instance) const {
  instance.launchId = NewLaunchId();
  // Set whatever the configuration says, so that a restarted daemon finds
  // it, and it finds this daemon whatever its user's defaults say.
  const std::pair<std::string, std::string> marks[] = {{kDaemonMarkVariable, DaemonMark()},
                                                       {kLaunchMarkVariable, instance.launchId},
                                                       {kProgramMarkVariable, launch.program},
                                                       {"ZQM_DAEMON_SOCKET", options_.socketPath}};
  for (const auto& mark : marks) {
    std::erase_if(launch.environment,
                  [&](const auto& variable) { return variable.first == mark.first; });
    launch.environment.push_back(mark);
  }
  std::erase_if(launch.environment,
                [](const auto& variable) { return variable.first == kPlainMarkVariable; });
  if (launch.plain) launch.environment.emplace_back(kPlainMarkVariable, "1");
}

void Daemon::LaunchFinished(Key key, std::uint64_t generation, Spawner::Outcome& outcome,
                            const LaunchConfig& launch, const std::string& commandLine) {
  // The end of the process it replaces goes into the log before its start.
  FinishEnds();
  Instance* instance = Launching(key, generation);
  if (instance == nullptr) return Abandon(outcome);
  instance->launchJob = 0;
  if (!outcome.problem.empty()) return StartFailed(key, outcome.problem);
  try {
    instance->pid = outcome.pid;
    instance->started = std::chrono::system_clock::now();
    // After the spawn: the child is still starting while this is written.
    WatchLog(*instance, outcome.log.Release(), launch.log,
             StartMarker(instance->started, key.first + " instance " + std::to_string(key.second),
                         instance->pid, commandLine));
    NoteStart(*instance, launch.backoff);
    Watch(*instance, outcome.pidfd.Release(), true);
  } catch (const ZQ_EException& failure) {
    return StartFailed(key, failure);
  }
  zqm_trace::Line(
      0, ZQ_TString::Format("Started %s; output in %s", Describe(*instance), instance->logPath)
             .Text());
  AwaitReadiness(*instance);
  if (launch.plain) {
    instance->state = State::kPlain;
    SaveSoon();
    if (!AwaitsReadiness(*instance)) CompleteStart(*instance);
    return;
  }
  instance->state = State::kStarting;
  if (auto registration = std::exchange(instance->registering, std::nullopt))
    Bound(*instance, registration->port, &registration->reply);
}

Daemon::Instance* Daemon::Launching(const Key& key, std::uint64_t generation) {
  auto found = instances_.find(key);
  if (found == instances_.end() || found->second->generation != generation ||
      found->second->state != State::kLaunching) {
    return nullptr;
  }
  return found->second.get();
}

void Daemon::Abandon(Spawner::Outcome& outcome) {
  if (outcome.pid <= 0 || outcome.pidfd.Get() < 0) return;
  syscall(SYS_pidfd_send_signal, outcome.pidfd.Get(), SIGKILL, nullptr, 0);
  try {
    watches_.Release(watches_.Watch(outcome.pidfd.Release(), true, nullptr));
  } catch (const ZQ_EException& failure) {
    zqm_trace::Line(0, ZQ_TString::Format("Cannot reap process %d of a start given up on: %s",
                                          outcome.pid, failure.ZQ_Message())
                           .Text());
  }
}

void Daemon::LaunchTimedOut(Instance& instance) {
  const std::string why = instance.credentialsRequest != 0
                              ? "the user database did not answer for its user and group"
                              : "its process did not reach its program (a working directory or "
                                "program on a mount that does not answer?); it is killed";
  credentials_.Cancel(std::exchange(instance.credentialsRequest, 0));
  spawner_.Cancel(std::exchange(instance.launchJob, 0));
  const std::string reason = ZQ_TString::Format("%s did not start within %d ms: %s",
                                                Describe(instance), instance.startTimeoutMs, why)
                                 .Text();
  zqm_trace::Line(0, reason);
  FailWaiters(instance, FailureFrame<ZQM_ETimeout>(reason.c_str()));
  cgroups_.End(instance.cgroup);
  instances_.erase(Key{instance.name, instance.number});
}

void Daemon::StartFailed(const Key& key, const ZQ_EException& failure) {
  StartFailed(key, failure.ZQ_Message().Text(), zqm_wire::FailureFrame(failure));
}

void Daemon::StartFailed(const Key& key, const std::string& reason, const std::string& frame) {
  zqm_trace::Line(
      0,
      ZQ_TString::Format("Cannot start %s instance %d: %s", key.first, key.second, reason).Text());
  Instance& instance = *instances_.at(key);
  FailWaiters(instance, frame.empty() ? FailureFrame<ZQM_EException>(reason.c_str()) : frame);
  // A process that was started but could not be watched is not forgotten:
  // it stays listed under its pid.
  if (instance.pid != 0) return;
  cgroups_.End(instance.cgroup);
  instances_.erase(key);
}

void Daemon::ArmStartTimer(Instance& instance) {
  const Key key{instance.name, instance.number};
  const std::uint64_t generation = instance.generation;
  deadlines_.Cancel(instance.startDeadline);
  instance.startDeadline =
      deadlines_.After(std::chrono::milliseconds(instance.startTimeoutMs), [this, key, generation] {
        auto found = instances_.find(key);
        if (found == instances_.end() || found->second->generation != generation) return;
        Instance& late = *found->second;
        late.startDeadline = 0;
        if (late.state == State::kLaunching) return LaunchTimedOut(late);
        if (AwaitsReadiness(late) && (late.state == State::kBound || late.state == State::kPlain))
          return ReadinessTimedOut(late);
        if (late.state != State::kStarting) return;
        late.state = State::kUnbound;
        SaveSoon();
        const std::string reason =
            ZQ_TString::Format("%s did not bind within %d ms; see %s", Describe(late),
                               late.startTimeoutMs, late.logPath)
                .Text();
        zqm_trace::Line(0, reason);
        FailWaiters(late, FailureFrame<ZQM_ETimeout>(reason.c_str()));
      });
}

int Daemon::PrepareCgroup(Instance& instance, const LaunchConfig& launch) {
  const std::string limits = "MemoryMax, CPUWeight and TasksMax";
  if (!cgroups_.Active()) {
    if (launch.limits.Any()) {
      zqm_trace::Line(0, Describe(instance) + ": " + limits +
                             " are ignored: the daemon has no cgroup folder for its instances");
    }
    return -1;
  }
  const std::string path = cgroups_.PathOf(instance.name, instance.number);
  std::string problems;
  try {
    const int procs = cgroups_.Prepare(path, launch.limits, problems);
    instance.cgroup = path;
    if (!problems.empty()) zqm_trace::Line(0, Describe(instance) + ": " + problems);
    return procs;
  } catch (const ZQ_EException& failure) {
    zqm_trace::Line(0, Describe(instance) +
                           " starts without a cgroup of its own: " + failure.ZQ_Message().Text());
    return -1;
  }
}

std::string Daemon::LogPath(const Key& key) const {
  return LogFilePath(options_.logDirectory, key.first, key.second);
}

void Daemon::WatchLog(Instance& instance, int fd, const LogLimits& limits,
                      const std::string& opening) {
  if (fd < 0) {
    try {
      fd = OpenLogFile(instance.logPath);
    } catch (const ZQ_EException& failure) {
      zqm_trace::Line(
          0, "Cannot watch the log of " + Describe(instance) + ": " + failure.ZQ_Message().Text());
      return;
    }
  }
  instance.log = logs_.Watch(fd, instance.logPath, limits, opening);
}

int Daemon::IdentityDescriptor(const Key& key) const {
  const std::shared_ptr<const zqm_auth::Credentials> credentials = zqm_auth::Current();
  if (credentials->insecure) return -1;
  return zqm_identity::SealedDescriptor(zqm_identity::Issue(
      credentials->key, {credentials->installationPublicKey, credentials->installationSecretKey},
      key.first, key.second, ZQ_TSocket::HostName(false).Text()));
}

std::string Daemon::DaemonMark() const {
  return options_.listenAddress + ":" + std::to_string(Port());
}

}  // namespace zqmd
