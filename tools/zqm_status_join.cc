#include "tools/zqm_status_join.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "zqmd/launch_digest.h"

namespace {

using InstanceKey = std::pair<std::string, unsigned>;

unsigned Number(const ZQ_TTree& server, const char* key, unsigned fallback) {
  const ZQ_TAny* value = server.Child(key);
  const ZQ_TUInt32* number = value != nullptr ? value->As<ZQ_TUInt32>() : nullptr;
  return number != nullptr ? number->Value() : fallback;
}

// The fields of one entry of a list that the daemon or the service sent;
// values of another class count as absent.
class Entry {
 public:
  explicit Entry(const ZQ_TDict& dict) : dict_(dict) {}
  template <class T>
  const T* Get(const char* key) const {
    const ZQ_TAny* value = dict_.Find(key);
    return value != nullptr ? value->As<T>() : nullptr;
  }
  unsigned Unsigned(const char* key, unsigned fallback = 0) const {
    const ZQ_TUInt32* value = Get<ZQ_TUInt32>(key);
    return value != nullptr ? value->Value() : fallback;
  }
  std::string Text(const char* key) const {
    const ZQ_TString* value = Get<ZQ_TString>(key);
    return value != nullptr ? value->Text() : std::string();
  }
  // The server name under `nameKey` and the instance number, or nullopt.
  std::optional<InstanceKey> Key(const char* nameKey) const {
    const ZQ_TString* name = Get<ZQ_TString>(nameKey);
    const ZQ_TUInt16* instance = Get<ZQ_TUInt16>("Instance");
    if (name == nullptr || instance == nullptr) return std::nullopt;
    return InstanceKey{name->Text(), instance->Value()};
  }

 private:
  const ZQ_TDict& dict_;
};

// Calls `apply` with each dictionary of `list`.
template <class Apply>
void ForEachEntry(const ZQ_TList& list, Apply apply) {
  for (const ZQ_TAny& element : list) {
    if (const ZQ_TDict* dict = element.As<ZQ_TDict>()) apply(Entry(*dict));
  }
}

// How an instance ended: the daemon's text under `textKey`, and its exit
// status or signal.
void ReadEnd(const Entry& entry, const char* textKey, InstanceStatus& instance) {
  if (const ZQ_TString* end = entry.Get<ZQ_TString>(textKey)) instance.lastEnd = end->Text();
  if (entry.Get<ZQ_TUInt32>("ExitStatus") != nullptr)
    instance.exitStatus = static_cast<int>(entry.Unsigned("ExitStatus"));
  instance.signal = static_cast<int>(entry.Unsigned("Signal"));
}

// One of the daemon's "Recent" starts and ends.
InstanceStatus::Event ReadEvent(const Entry& entry) {
  InstanceStatus::Event event;
  event.at = entry.Unsigned("At");
  event.pid = entry.Unsigned("PID");
  const ZQ_TString* kind = entry.Get<ZQ_TString>("Kind");
  event.start = kind != nullptr && *kind == "start";
  if (!event.start) {
    InstanceStatus ended;
    ReadEnd(entry, "End", ended);
    event.exit = LastExit(ended);
  }
  return event;
}

// Everything known of each instance, from the daemon's lists and the
// service's monitors; the service's settings of watched servers by name.
struct Joined {
  std::map<InstanceKey, InstanceStatus> instances;
  std::map<std::string, std::pair<unsigned, unsigned>> monitorSettings;  // order, delay
};

Joined Join(const StatusSources& sources) {
  Joined joined;
  auto at = [&](const InstanceKey& key) -> InstanceStatus& {
    InstanceStatus& instance = joined.instances[key];
    instance.instance = key.second;
    return instance;
  };
  ForEachEntry(sources.running, [&](const Entry& entry) {
    const auto key = entry.Key("Name");
    const ZQ_TUInt32* pid = entry.Get<ZQ_TUInt32>("PID");
    if (!key || pid == nullptr) return;
    InstanceStatus& instance = at(*key);
    instance.running = true;
    instance.pid = pid->Value();
    instance.started = entry.Unsigned("Started");
    instance.state = entry.Text("State");
    instance.readiness = entry.Text("Readiness");
    instance.statusText = entry.Text("StatusText");
    instance.health = entry.Text("Health");
    instance.healthFailures = entry.Unsigned("HealthFailures");
    instance.cpuSeconds = entry.Text("CPUSeconds");
    instance.memoryBytes = entry.Text("MemoryBytes");
    instance.launchDigest = entry.Text("LaunchDigest");
  });
  ForEachEntry(sources.history, [&](const Entry& entry) {
    const auto key = entry.Key("Name");
    if (!key) return;
    InstanceStatus& instance = at(*key);
    instance.starts = entry.Unsigned("Starts");
    ReadEnd(entry, "LastEnd", instance);
    instance.ended = entry.Unsigned("Ended");
    instance.backoffMs = entry.Unsigned("Backoff");
    if (const ZQ_TList* recent = entry.Get<ZQ_TList>("Recent"))
      ForEachEntry(*recent,
                   [&](const Entry& event) { instance.recent.push_back(ReadEvent(event)); });
  });
  ForEachEntry(sources.monitors, [&](const Entry& entry) {
    const auto key = entry.Key("Server");
    if (!key) return;
    InstanceStatus& instance = at(*key);
    instance.watched = true;
    instance.watchedRunningSince = entry.Unsigned("Since");
    instance.restarts = entry.Unsigned("Restarts");
    joined.monitorSettings[key->first] = {entry.Unsigned("StartupOrder"),
                                          entry.Unsigned("DelayAfterStartup")};
  });
  return joined;
}

}  // namespace

ServerStatus DescribeServer(const std::string& name, const ZQ_TTree& server,
                            const std::string& serverConfiguration) {
  ServerStatus status;
  status.name = name;
  status.startupOrder = Number(server, "StartupOrder", 50);
  status.delayAfterStartup = Number(server, "DelayAfterStartup", 0);
  status.nrOfInstances = Number(server, "NrOfInstances", 1);
  const ZQ_TAny* always = server.Child("AlwaysRunning");
  if (always == nullptr || always->As<ZQ_TBool>() == nullptr || !always->As<ZQ_TBool>()->Value()) {
    status.why = "AlwaysRunning is not true";
    return status;
  }
  if (serverConfiguration.empty()) {
    status.runsHere = true;
    return status;
  }
  const ZQ_TAny* configurations = server.Child("Configurations");
  const ZQ_TList* list = configurations != nullptr ? configurations->As<ZQ_TList>() : nullptr;
  status.runsHere = list != nullptr && list->Contains(ZQ_TAny(ZQ_TString(serverConfiguration)));
  if (!status.runsHere) status.why = "not configured for \"" + serverConfiguration + "\"";
  return status;
}

namespace {

// The service's settings of `server` when it watches it, and the operator's
// mark; then its instances: the first `kept`, and every other one known.
void Complete(ServerStatus& server, Joined& joined, const std::map<std::string, long long>& down,
              unsigned kept) {
  if (auto settings = joined.monitorSettings.find(server.name);
      settings != joined.monitorSettings.end()) {
    server.watched = true;
    std::tie(server.startupOrder, server.delayAfterStartup) = settings->second;
  }
  if (auto mark = down.find(server.name); mark != down.end())
    server.downByOperatorSince = mark->second;
  for (unsigned i = 1; i <= kept; ++i)
    joined.instances[{server.name, i}].instance = i;
  for (auto at = joined.instances.lower_bound({server.name, 0});
       at != joined.instances.end() && at->first.first == server.name; ++at) {
    server.instances.push_back(at->second);
  }
}

// Without the configuration: every server the daemon or the service knows,
// but the service itself; it runs here when the service watches it.
std::vector<ServerStatus> KnownServers(Joined& joined,
                                       const std::map<std::string, long long>& down) {
  std::set<std::string> names;
  for (const auto& [key, instance] : joined.instances)
    names.insert(key.first);
  for (const auto& [name, since] : down)
    names.insert(name);
  names.erase("Custodel");
  std::vector<ServerStatus> servers;
  for (const std::string& name : names) {
    ServerStatus server;
    server.name = name;
    Complete(server, joined, down, 0);
    server.runsHere = server.watched;
    if (!server.watched) server.why = "not watched; the configuration is unknown";
    servers.push_back(std::move(server));
  }
  return servers;
}

// Marks the running instances launched from another subtree than `tree`.
void NoteChangedLaunches(ServerStatus& server, const ZQ_TTree& tree) {
  const std::string now = zqmd::LaunchDigest(tree);
  for (InstanceStatus& instance : server.instances)
    instance.launchChanged = !instance.launchDigest.empty() && instance.launchDigest != now;
}

std::map<std::string, long long> OperatorDown(const ZQ_TList& marks) {
  std::map<std::string, long long> down;
  ForEachEntry(marks, [&](const Entry& entry) {
    if (const ZQ_TString* name = entry.Get<ZQ_TString>("Name"))
      down[name->Text()] = entry.Unsigned("Since");
  });
  return down;
}

}  // namespace

StatusReport CollectStatus(const StatusSources& sources) {
  Joined joined = Join(sources);
  const std::map<std::string, long long> down = OperatorDown(sources.operatorDown);
  StatusReport status;
  status.serverConfiguration = sources.serverConfiguration;
  status.configurationProblem = sources.configurationProblem;
  const ZQ_TAny* since = sources.freshness.Find(ZQ_TString("StaleSince"));
  const ZQ_TAny* why = sources.freshness.Find(ZQ_TString("Why"));
  if (since != nullptr && since->As<ZQ_TUInt32>() != nullptr) {
    status.configurationStaleSince = since->As<ZQ_TUInt32>()->Value();
    if (why != nullptr && why->As<ZQ_TString>() != nullptr)
      status.configurationStaleWhy = why->As<ZQ_TString>()->Text();
  }
  for (auto at = joined.instances.lower_bound({"Custodel", 0});
       at != joined.instances.end() && at->first.first == "Custodel"; ++at) {
    if (!at->second.running) continue;
    status.serviceRunning = true;
    status.servicePid = at->second.pid;
    status.monitorsProblem = sources.monitorsProblem;
    break;
  }
  if (!sources.configurationProblem.empty()) status.servers = KnownServers(joined, down);
  for (const auto& [key, value] : sources.servers.Entries()) {
    const ZQ_TTree* tree = value.As<ZQ_TTree>();
    if (tree == nullptr) continue;
    ServerStatus server = DescribeServer(key.Text(), *tree, sources.serverConfiguration);
    Complete(server, joined, down, server.runsHere ? server.nrOfInstances : 0);
    NoteChangedLaunches(server, *tree);
    status.servers.push_back(std::move(server));
  }
  // The service starts lower orders first and, among equal orders, the
  // server listed later first.
  std::reverse(status.servers.begin(), status.servers.end());
  std::stable_sort(
      status.servers.begin(), status.servers.end(),
      [](const ServerStatus& a, const ServerStatus& b) { return a.startupOrder < b.startupOrder; });
  return status;
}
