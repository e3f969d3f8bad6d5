// "Register": a server announces where it listens; whoever waits for it
// to bind gets its answer. A registration is checked against the kernel
// first, so that it can never displace a live instance or make the daemon
// watch a process that is not the server.
#include <unistd.h>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"
#include "zqmd/launcher.h"

namespace zqmd {

namespace {

// Why `caller` may not register process `claimed` as `key`, or "": a
// process registers itself, on this host, and a server only under the name
// and instance it was started as.
std::string CallerRefusal(const zqm_roles::Caller& caller,
                          const std::pair<std::string, unsigned short>& key, pid_t claimed) {
  if (!caller.local) return "registration is taken on the daemon's local socket only";
  if (caller.pid != claimed) {
    return ZQ_TString::Format("process %d may register itself only, not process %d", caller.pid,
                              claimed)
        .Text();
  }
  if (caller.role == zqm_roles::Role::kServer &&
      (caller.server != key.first || caller.instance != key.second)) {
    return ZQ_TString::Format("it was started as %s instance %d", caller.server, caller.instance)
        .Text();
  }
  return "";
}

}  // namespace

std::string Daemon::RegistrationRefusal(const Key& key, pid_t pid, unsigned short port) {
  if (pid == 1 || pid == getpid()) {
    return ZQ_TString::Format("Register: process %d cannot be %s instance %d", pid, key.first,
                              key.second)
        .Text();
  }
  std::string problem;
  const std::optional<std::set<unsigned short>> ports = ListeningPorts(pid, problem, port);
  if (!ports) {
    return ZQ_TString::Format("Register: cannot check that process %d listens on port %d: %s", pid,
                              port, problem)
        .Text();
  }
  if (ports->count(port) == 0) {
    return ZQ_TString::Format("Register: process %d does not listen on port %d", pid, port).Text();
  }
  return "";
}

void Daemon::Register(const ZQ_TDict& request, const zqm_roles::Caller& caller,
                      zqm_listener::Reply& reply) {
  const ZQ_TDict* registration = Parameter<ZQ_TDict>(request, "P1");
  const ZQ_TString* name = registration ? Parameter<ZQ_TString>(*registration, "Name") : nullptr;
  const ZQ_TUInt32* pid = registration ? Parameter<ZQ_TUInt32>(*registration, "PID") : nullptr;
  const ZQ_TUInt32* port = registration ? Parameter<ZQ_TUInt32>(*registration, "Port") : nullptr;
  unsigned short number = 0;
  if (name == nullptr || name->IsEmpty() || pid == nullptr || pid->Value() == 0 ||
      pid->Value() > 0x7FFFFFFF || port == nullptr || port->Value() == 0 ||
      port->Value() > 0xFFFF || !InstanceParameter(*registration, "Instance", number)) {
    return reply(FailureFrame<ZQM_EException>(
        "Register needs a dictionary with Name, Instance, PID and Port"));
  }
  const Key key{name->Text(), number};
  const auto claimed = static_cast<pid_t>(pid->Value());
  if (const std::string refused = CallerRefusal(caller, key, claimed); !refused.empty()) {
    zqm_roles::Refuse(
        caller, zqm_roles::kDaemon, "Register",
        ZQ_TString::Format("registering %s instance %d: %s", key.first, key.second, refused)
            .Text());
  }
  Instance* instance = Find(key);
  const auto announced = static_cast<unsigned short>(port->Value());
  if (instance != nullptr && instance->state == State::kLaunching &&
      spawner_.ChildOf(instance->launchJob) == claimed) {
    // The launch's own process, faster than the launch's outcome: answered
    // once the process is watched.
    if (const std::string refusal = RegistrationRefusal(key, claimed, announced);
        !refusal.empty()) {
      zqm_trace::Line(0, ZQ_TString::Format("Refused to register %s instance %d (pid %d): %s",
                                            key.first, key.second, claimed, refusal)
                             .Text());
      return reply(FailureFrame<ZQM_EException>(refusal.c_str()));
    }
    instance->registering = Instance::Registration{announced, std::move(reply)};
    return;
  }
  // An instance that has a process (started by us, adopted or registered)
  // is that process's alone until it ends.
  const std::string refusal =
      instance != nullptr && instance->pid != 0 && instance->pid != claimed
          ? ZQ_TString::Format("%s is already running", Describe(*instance)).Text()
          : RegistrationRefusal(key, claimed, announced);
  if (!refusal.empty()) {
    zqm_trace::Line(0, ZQ_TString::Format("Refused to register %s instance %d (pid %d): %s",
                                          key.first, key.second, claimed, refusal)
                           .Text());
    return reply(FailureFrame<ZQM_EException>(refusal.c_str()));
  }
  if (instance == nullptr || instance->pid == 0) {
    const int pidfd = OpenPidfd(claimed);
    if (pidfd < 0) {
      return reply(FailureFrame<ZQM_EException>(
          ZQ_TString::Format("Register: there is no process %d", claimed)));
    }
    // The start time, read after the pidfd was opened and before the
    // process is seen alive through it, is that very process's.
    const std::optional<std::uint64_t> ticks = ProcessStartTicks(claimed);
    if (!ticks || PidfdEnded(pidfd)) {
      close(pidfd);
      return reply(FailureFrame<ZQM_EException>(
          ZQ_TString::Format("Register: process %d has ended", claimed)));
    }
    std::vector<zqm_listener::Reply> waiters;
    if (instance != nullptr) {
      waiters = std::move(instance->waiters);
      if (auto launched = std::exchange(instance->registering, std::nullopt)) {
        launched->reply(FailureFrame<ZQM_EException>(ZQ_TString::Format(
            "process %d has registered %s instance %d first", claimed, key.first, key.second)));
      }
    }
    instance = &Add(key, State::kBound);
    instance->waiters = std::move(waiters);
    instance->pid = claimed;
    instance->startTicks = *ticks;
    Watch(*instance, pidfd, false);
  }
  Bound(*instance, announced, &reply);
}

void Daemon::Bound(Instance& instance, unsigned short port, zqm_listener::Reply* reply) {
  const Key key{instance.name, instance.number};
  if (key == Key{options_.configServer, 0})
    MarkLaunchConfigurationsStale("the configuration server has started");
  instance.state = State::kBound;
  instance.port = port;
  zqm_trace::Line(
      1, ZQ_TString::Format("%s bound to port %d", Describe(instance), instance.port).Text());
  if (reply != nullptr) (*reply)(zqm_wire::ResultFrame(ZQ_TAny(true)));
  SaveSoon();
  // Bound but not ready: its callers wait on, within its start time-out.
  if (AwaitsReadiness(instance)) return AwaitReadiness(instance);
  CompleteStart(instance);
}

}  // namespace zqmd
