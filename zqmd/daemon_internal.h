// What the daemon's source files share: the record of one instance, and the
// helpers that read requests and make failure answers. Only the daemon's own
// .cc files include this.
#pragma once

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_wire.h"
#include "zqmd/daemon.h"
#include "zqmd/instance_checks.h"

namespace zqmd {

struct Daemon::Instance {
  Instance(zqm_deadlines::DeadlineQueue& queue, ProcessWatchSet& watchSet, LogWatchSet& logSet)
      : deadlines(queue), watches(watchSet), logs(logSet) {}
  // Leaving the registry ends the watch; an ended child of ours is reaped
  // here at the latest, a running one once it ends.
  ~Instance() {
    deadlines.Cancel(startDeadline);
    deadlines.Cancel(killDeadline);
    deadlines.Cancel(readinessRetry);
    deadlines.Cancel(healthDeadline);
    watches.Release(watch);
    logs.Release(log);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  std::string name;
  unsigned short number = 0;
  State state = State::kFetching;
  std::uint64_t generation = 0;
  pid_t pid = 0;
  ProcessWatchSet::Id watch = 0;  // 0 until its process is known
  unsigned short port = 0;
  std::string logPath;
  std::string cgroup;  // its cgroup's folder (cgroups.h); "" when it has none
  // Of the server subtree it was launched from (launch_digest.h); "" for
  // an adopted instance.
  std::string launchDigest;
  std::chrono::system_clock::time_point started = std::chrono::system_clock::now();
  // When a client asked for its start; empty once it came through, or for
  // an instance the daemon did not start.
  std::chrono::steady_clock::time_point startAsked{};
  std::uint64_t startTicks = 0;  // when the process started, against pid reuse
  unsigned startTimeoutMs = kDefaultStartTimeoutMs;
  std::vector<zqm_listener::Reply> waiters;
  // Who asked for its start (an administrator, when any did): only an
  // administrator may start an instance above the server's NrOfInstances.
  zqm_roles::Caller startedBy;
  zqm_deadlines::DeadlineQueue& deadlines;
  ProcessWatchSet& watches;
  LogWatchSet& logs;
  LogWatchSet::Id log = 0;              // 0 while the daemon watches no log of it
  zqm_deadlines::Id startDeadline = 0;  // while starting: when to give up waiting for its bind
  // "EndInstance" calls waiting for the end; once one came, ending is set
  // (the end is no crash) and killDeadline is when SIGTERM gives way to
  // SIGKILL (killed once sent).
  std::vector<zqm_listener::Reply> endWaiters;
  bool ending = false;
  bool killed = false;
  zqm_deadlines::Id killDeadline = 0;
  // Of the launch that started it; spawnedAt stays empty for a process this
  // daemon did not start.
  Backoff backoff;
  std::chrono::steady_clock::time_point spawnedAt{};
  // The random id of the launch that started its process ("" for one this
  // daemon did not start, or started by a daemon that gave none).
  std::string launchId;
  // While launching: the lookup of its credentials, then the launch.
  CredentialCache::Id credentialsRequest = 0;
  Spawner::Id launchJob = 0;
  // A registration by the launch's own process that arrived before the
  // launch's outcome: answered once the process is watched.
  struct Registration {
    unsigned short port = 0;
    zqm_listener::Reply reply;
  };
  std::optional<Registration> registering;

  // Of the launch that started it (daemon_readiness.cc, daemon_health.cc);
  // a process this daemon did not start has neither. What a metrics writer
  // reads: ready, statusText, health and healthFailures.
  Readiness readinessCheck;
  enum class Ready { kNone, kWaiting, kReady };
  Ready ready = Ready::kNone;  // kWaiting: its start is complete only once ready
  std::string statusText;      // the last STATUS= it sent
  std::unique_ptr<ProbeRun> readinessProbe;
  zqm_deadlines::Id readinessRetry = 0;  // the next readiness probe
  HealthCheck health;
  std::optional<Credentials> credentials;  // its user's, for a check command
  unsigned healthFailures = 0;             // in a row, now
  bool endedForHealth = false;             // its end was the checks' doing: no end asked for
  zqm_deadlines::Id healthDeadline = 0;    // the next check
  zqm_deadlines::Clock::time_point nextCheck{};
  std::unique_ptr<ProbeRun> healthProbe;
  std::unique_ptr<CommandRun> healthCommand;
};

// CPU time as the "Servers" answer gives it: seconds with three decimals,
// "" when unknown.
std::string CpuSecondsText(const CgroupUsage& usage);

// A failure answer carrying `failure`, stamped with the daemon's throw site.
std::string StampedFailureFrame(ZQ_EException& failure);

template <class E>
std::string FailureFrame(const ZQ_TString& message) {
  E failure(message);
  return StampedFailureFrame(failure);
}

// The parameter `key` of a request as T, or null.
template <class T>
const T* Parameter(const ZQ_TDict& request, const char* key) {
  const ZQ_TAny* value = request.Find(key);
  return value != nullptr ? value->As<T>() : nullptr;
}

// A time as the daemon's answers carry it: seconds since the epoch.
inline ZQ_TUInt32 EpochSeconds(std::chrono::system_clock::time_point when) {
  return ZQ_TUInt32(static_cast<std::uint32_t>(std::chrono::system_clock::to_time_t(when)));
}

// An instance number given as ZQ_TUInt16, or as a ZQ_TUInt32 that fits.
inline bool InstanceParameter(const ZQ_TDict& request, const char* key, unsigned short& number) {
  if (const ZQ_TUInt16* small = Parameter<ZQ_TUInt16>(request, key)) {
    number = small->Value();
    return true;
  }
  const ZQ_TUInt32* large = Parameter<ZQ_TUInt32>(request, key);
  if (large == nullptr || large->Value() > 0xFFFF) return false;
  number = static_cast<unsigned short>(large->Value());
  return true;
}

// The instance a request names: a server name (P1, not empty) and an
// instance number (P2); nothing when either is missing or of another kind.
inline std::optional<std::pair<std::string, unsigned short>> InstanceNamed(
    const ZQ_TDict& request) {
  const ZQ_TString* name = Parameter<ZQ_TString>(request, "P1");
  unsigned short number = 0;
  if (name == nullptr || name->IsEmpty() || !InstanceParameter(request, "P2", number))
    return std::nullopt;
  return std::pair<std::string, unsigned short>(name->Text(), number);
}

}  // namespace zqmd
