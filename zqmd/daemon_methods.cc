// The RPC methods: dispatching a request, and "Locate", "Servers",
// "LogPath", "GetServerConfiguration" and "ConfigurationChanged" ("Register" is in
// daemon_registration.cc, "EndInstance" and "History" in daemon_control.cc,
// "MarkDown", "ClearDown" and "DownServers" in daemon_operator_down.cc).
#include <utility>

#include "zqmd/daemon_internal.h"

namespace zqmd {

namespace {

const char* StateName(int state) {
  static const char* const names[] = {"starting", "starting", "starting",
                                      "unbound",  "running",  "plain"};
  return names[state];
}

}  // namespace

std::string CpuSecondsText(const CgroupUsage& usage) {
  if (!usage.cpuMicroseconds) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu",
                static_cast<unsigned long long>(*usage.cpuMicroseconds / 1000000),
                static_cast<unsigned long long>(*usage.cpuMicroseconds % 1000000 / 1000));
  return text;
}

void Daemon::KnowServer(zqm_roles::Caller& caller) const {
  if (!caller.local || caller.role != zqm_roles::Role::kStranger) return;
  for (const auto& [key, instance] : instances_) {
    // A launch's process may call before the launch's outcome has come.
    const pid_t pid = instance->state == State::kLaunching ? spawner_.ChildOf(instance->launchJob)
                                                           : instance->pid;
    if (pid == caller.pid) {
      caller.role = zqm_roles::Role::kServer;
      caller.server = key.first;
      caller.instance = key.second;
      return;
    }
  }
}

void Daemon::Handle(const ZQ_TDict& request, zqm_roles::Caller caller, zqm_listener::Reply reply) {
  const ZQ_TString method = zqm_wire::MethodOf(request);
  try {
    KnowServer(caller);
    try {
      zqm_roles::Check(caller, zqm_roles::kDaemon, method.Text());
    } catch (const ZQ_EException&) {
      ++refusedCalls_;
      throw;
    }
    if (method == "Register") return Register(request, caller, reply);
    if (method == "Locate") return Locate(request, caller, reply);
    if (method == "Servers") return Servers(request, reply);
    if (method == "LogPath") return LogPathOf(request, reply);
    if (method == "EndInstance") return EndInstance(request, reply);
    if (method == "History") return History(request, reply);
    if (method == "MarkDown") return MarkDown(request, reply);
    if (method == "ClearDown") return ClearDown(request, reply);
    if (method == "DownServers") return DownServers(reply);
    if (method == "ConfigurationChanged") {
      MarkLaunchConfigurationsStale("the configuration has changed");
      return reply(zqm_wire::ResultFrame(ZQ_TAny(true)));
    }
    if (method == "GetServerConfiguration") {
      return reply(zqm_wire::ResultFrame(ZQ_TAny(ZQ_TString(options_.serverConfiguration))));
    }
    reply(FailureFrame<ZQM_ENoSuchServerMethod>(method));
  } catch (const ZQ_EException& failure) {
    reply(zqm_wire::FailureFrame(failure));
  }
}

void Daemon::Locate(const ZQ_TDict& request, const zqm_roles::Caller& caller,
                    zqm_listener::Reply& reply) {
  const std::optional<Key> named = InstanceNamed(request);
  if (!named) {
    return reply(FailureFrame<ZQM_EException>(
        "Locate needs a server name (P1) and an instance number (P2)"));
  }
  const ZQ_TUInt32* mode = Parameter<ZQ_TUInt32>(request, "P3");
  const Key& key = *named;
  Instance* instance = Find(key);
  if (instance == nullptr) {
    if (mode != nullptr && mode->Value() != 0) {
      return reply(FailureFrame<ZQM_ENoSuchServer>(
          ZQ_TString::Format("%s instance %d is not running", key.first, key.second)));
    }
    if (key.first.find('/') != std::string::npos) {
      return reply(FailureFrame<ZQM_ENoSuchServer>(
          ZQ_TString::Format("\"%s\" is not a server name", key.first)));
    }
    if (const std::string down = OperatorDownRefusal(key.first); !down.empty())
      return reply(FailureFrame<ZQM_ENoSuchServer>(ZQ_TString(down)));
    if (const std::string held = BackoffRefusal(key); !held.empty())
      return reply(FailureFrame<ZQM_ENoSuchServer>(held.c_str()));
    Instance& starting = Add(key, State::kFetching);
    starting.startAsked = std::chrono::steady_clock::now();
    starting.waiters.push_back(std::move(reply));
    starting.startedBy = caller;
    return StartInstance(key);
  }
  if (caller.role == zqm_roles::Role::kAdministrator) instance->startedBy = caller;
  if ((instance->state == State::kBound || instance->state == State::kPlain) &&
      AwaitsReadiness(*instance)) {
    instance->waiters.push_back(std::move(reply));
    // Its start gave up on it: this call waits for readiness once more.
    if (instance->startDeadline == 0) {
      ArmStartTimer(*instance);
      AwaitReadiness(*instance);
    }
    return;
  }
  switch (instance->state) {
    case State::kBound:
      return reply(PlaceFrame(*instance));
    case State::kPlain:
      return reply(PlainRefusal(*instance));
    case State::kUnbound:
      instance->state = State::kStarting;
      ArmStartTimer(*instance);
      AwaitReadiness(*instance);
      [[fallthrough]];
    case State::kFetching:
    case State::kLaunching:
    case State::kStarting:
      instance->waiters.push_back(std::move(reply));
      return;
  }
}

void Daemon::Servers(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TString* name = Parameter<ZQ_TString>(request, "P1");
  const bool all = name == nullptr || *name == "*";
  std::vector<Key> keys;
  // One server's instances stand together in the map: a watcher's lookup
  // does not walk those of every other server.
  auto at = all ? instances_.begin() : instances_.lower_bound(Key{name->Text(), 0});
  for (; at != instances_.end() && (all || at->first.first == name->Text()); ++at) {
    if (at->second->pid != 0) keys.push_back(at->first);
  }
  ZQ_TList list;
  for (const Key& key : keys) {
    const Instance* instance = Find(key);
    if (instance == nullptr) continue;
    ZQ_TDict entry;
    entry.Set("Name", ZQ_TAny(ZQ_TString(instance->name)));
    entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(instance->number)));
    entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(instance->pid))));
    entry.Set("Port", ZQ_TAny(ZQ_TUInt32(instance->port)));
    entry.Set("State", ZQ_TAny(StateName(static_cast<int>(instance->state))));
    entry.Set("Started", ZQ_TAny(EpochSeconds(instance->started)));
    entry.Set("Log", ZQ_TAny(ZQ_TString(instance->logPath)));
    if (!instance->launchDigest.empty())
      entry.Set("LaunchDigest", ZQ_TAny(ZQ_TString(instance->launchDigest)));
    // Only what a launch configured: an older reader skips fields it does
    // not know, and a missing one means "not configured".
    if (instance->ready != Instance::Ready::kNone) {
      const bool ready = instance->ready == Instance::Ready::kReady;
      entry.Set("Readiness", ZQ_TAny(ZQ_TString(ready ? "ready" : "waiting")));
    }
    if (!instance->statusText.empty())
      entry.Set("StatusText", ZQ_TAny(ZQ_TString(instance->statusText)));
    if (instance->health.Enabled()) {
      entry.Set("Health",
                ZQ_TAny(ZQ_TString(instance->healthFailures == 0 ? "healthy" : "unhealthy")));
      entry.Set("HealthFailures", ZQ_TAny(ZQ_TUInt32(instance->healthFailures)));
    }
    const CgroupUsage usage = cgroups_.Usage(instance->cgroup);
    entry.Set("CPUSeconds", ZQ_TAny(ZQ_TString(CpuSecondsText(usage))));
    entry.Set("MemoryBytes",
              ZQ_TAny(ZQ_TString(usage.memoryBytes ? std::to_string(*usage.memoryBytes) : "")));
    list.Append(ZQ_TAny(std::move(entry)));
  }
  reply(zqm_wire::ResultFrame(ZQ_TAny(std::move(list))));
}

void Daemon::LogPathOf(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const std::optional<Key> named = InstanceNamed(request);
  if (!named) {
    return reply(FailureFrame<ZQM_EException>(
        "LogPath needs a server name (P1) and an instance number (P2)"));
  }
  const Key& key = *named;
  const Instance* instance = Find(key);
  const std::string path =
      instance != nullptr && !instance->logPath.empty() ? instance->logPath : LogPath(key);
  reply(zqm_wire::ResultFrame(ZQ_TAny(ZQ_TString(path))));
}

}  // namespace zqmd
