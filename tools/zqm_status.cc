#include "tools/zqm_status.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "Almanac/Server/almanac_tproxy.h"
#include "DEVUror/zqm_tproxy.h"
#include "DEVUror/zqm_trace.h"
#include "tools/zqm_args.h"
#include "tools/zqm_control.h"
#include "tools/zqm_table.h"

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
    if (const ZQ_TString* state = entry.Get<ZQ_TString>("State")) instance.state = state->Text();
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

// Makes the greeting and the next call of `client` wait until `deadline` at
// most; throws ZQM_ETimeout once it has passed.
void BoundWaits(ZQM_TClient& client, StatusDeadline deadline) {
  if (deadline == StatusDeadline::max()) return;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) {
    ZQM_ETimeout late(ZQ_TString("no answer in the time given"));
    ZQ_THROW_AT(late, __FILE__, __LINE__);
  }
  client.SetGreetingTimeout(static_cast<unsigned>(left));
  client.SetCallTimeout(static_cast<unsigned>(left));
}

// The terminal style of a state.
std::string StateStyle(const std::string& state) {
  if (state == "running") return "\033[32m";
  if (state == "starting") return "\033[33m";
  if (state == "backoff") return "\033[1;31m";
  if (state == "not running") return "\033[31m";
  return "\033[2m";  // down
}

}  // namespace

std::string InstanceState(const InstanceStatus& instance) {
  if (instance.running) {
    return instance.state == "starting" || instance.state == "unbound" ? "starting" : "running";
  }
  if (instance.backoffMs != 0) return "backoff";
  return instance.watched ? "not running" : "down";
}

std::string LastExit(const InstanceStatus& instance) {
  if (instance.exitStatus >= 0) return "exit " + std::to_string(instance.exitStatus);
  if (instance.signal > 0) {
    const char* abbreviation = sigabbrev_np(instance.signal);
    return "signal " + std::to_string(instance.signal) +
           (abbreviation != nullptr ? std::string(" ") + abbreviation : "");
  }
  return instance.lastEnd.empty() ? "-" : instance.lastEnd;
}

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

StatusSources GatherStatus(const std::string& host) {
  StatusSources sources;
  GatherRunning(host, sources);
  try {
    Almanac_TProxy almanac(host.empty() ? nullptr : host.c_str());
    const ZQ_TAny tree = almanac.Expand("Servers/ZQMD/Servers/");
    sources.servers = tree.DynamicCast<ZQ_TTree>(__FILE__, __LINE__);
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = "the configuration server cannot be asked: " + failure.ZQ_Message();
    throw;
  }
  return sources;
}

void GatherRunning(const std::string& host, StatusSources& sources, StatusDeadline deadline) {
  try {
    ZQM_TClient daemon;
    BoundWaits(daemon, deadline);
    daemon.Connect(ZQM_ProxyHost(host.c_str()), ZQM_TClient::kDaemonPort);
    BoundWaits(daemon, deadline);
    sources.serverConfiguration =
        daemon.RPC("GetServerConfiguration")
            .DynamicCast<ZQ_TString>(ZQM_TProxy::kSourceFile,
                                     ZQM_TProxy::kServerConfigurationCastLine)
            .Text();
    BoundWaits(daemon, deadline);
    sources.running = daemon.RPC(ZQ_TString("Servers"), ZQ_TAny(ZQ_TString("*")))
                          .DynamicCast<ZQ_TList>(__FILE__, __LINE__);
    BoundWaits(daemon, deadline);
    sources.history = daemon.RPC(ZQ_TString("History"), ZQ_TAny(ZQ_TString("*")))
                          .DynamicCast<ZQ_TList>(__FILE__, __LINE__);
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = "the middleware daemon cannot be reached: " + failure.ZQ_Message();
    throw;
  }
  try {
    ZQM_TClient service;
    BoundWaits(service, deadline);
    try {
      service.Connect(host, ZQ_TString("Custodel"), 1, ZQM_TClient::kLocateOnly);
    } catch (ZQ_EException& failure) {
      failure.ZQ_Message() = "the Custodel service cannot be reached: " + failure.ZQ_Message();
      throw;
    }
    BoundWaits(service, deadline);
    sources.monitors = service.Call(ZQ_TString("ListMonitors"), ZQ_TList())
                           .DynamicCast<ZQ_TList>(__FILE__, __LINE__);
  } catch (const ZQ_EException& failure) {
    sources.monitorsProblem = failure.ZQ_Message().Text();
  }
}

StatusReport CollectStatus(const StatusSources& sources) {
  Joined joined = Join(sources);
  StatusReport status;
  status.serverConfiguration = sources.serverConfiguration;
  for (auto at = joined.instances.lower_bound({"Custodel", 0});
       at != joined.instances.end() && at->first.first == "Custodel"; ++at) {
    if (!at->second.running) continue;
    status.serviceRunning = true;
    status.servicePid = at->second.pid;
    status.monitorsProblem = sources.monitorsProblem;
    break;
  }
  for (const auto& [key, value] : sources.servers.Entries()) {
    const ZQ_TTree* tree = value.As<ZQ_TTree>();
    if (tree == nullptr) continue;
    ServerStatus server = DescribeServer(key.Text(), *tree, sources.serverConfiguration);
    if (auto settings = joined.monitorSettings.find(server.name);
        settings != joined.monitorSettings.end()) {
      server.watched = true;
      std::tie(server.startupOrder, server.delayAfterStartup) = settings->second;
    }
    const unsigned kept = server.runsHere ? server.nrOfInstances : 0;
    for (unsigned i = 1; i <= kept; ++i)
      joined.instances[{server.name, i}].instance = i;
    for (auto at = joined.instances.lower_bound({server.name, 0});
         at != joined.instances.end() && at->first.first == server.name; ++at) {
      server.instances.push_back(at->second);
    }
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

void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now, bool colour) {
  out << "Server configuration: \"" << status.serverConfiguration << "\"\n";
  if (status.serviceRunning) {
    out << "Service: running (pid " << status.servicePid << ")";
    if (!status.monitorsProblem.empty())
      out << "; its monitors cannot be listed: " << zqm_trace::Escaped(status.monitorsProblem);
    out << "\n\n";
  } else {
    out << "Service: not running\n\n";
  }
  TextTable table({"SERVER", "RUNS", "ORDER", "DELAY", "INSTANCE", "WATCHED", "PID", "UP",
                   "RESTARTS", "LAST EXIT", "STATE"});
  const auto styled = [colour](const std::string& state) {
    std::vector<std::string> styles(11);
    if (colour) styles.back() = StateStyle(state);
    return styles;
  };
  for (const ServerStatus& server : status.servers) {
    std::vector<std::string> cells = {server.name, server.runsHere ? "yes" : "no",
                                      std::to_string(server.startupOrder),
                                      std::to_string(server.delayAfterStartup) + "ms"};
    if (server.instances.empty()) {
      cells.insert(cells.end(), {"-", "no", "-", "-", "-", "-", "down (" + server.why + ")"});
      table.AddRow(std::move(cells), styled("down"));
    }
    for (const InstanceStatus& instance : server.instances) {
      if (cells.empty()) cells.resize(4);  // a further instance of the same server
      const std::string state = InstanceState(instance);
      cells.insert(
          cells.end(),
          {std::to_string(instance.instance), instance.watched ? "yes" : "no",
           instance.running ? std::to_string(instance.pid) : "-",
           instance.running ? FormatUptime(static_cast<long long>(now) - instance.started) : "-",
           instance.watched ? std::to_string(instance.restarts) : "-", LastExit(instance), state});
      table.AddRow(std::exchange(cells, {}), styled(state));
    }
  }
  table.Print(out);
}

nlohmann::ordered_json StatusJson(const StatusReport& status, std::time_t now) {
  nlohmann::ordered_json servers = nlohmann::ordered_json::array();
  for (const ServerStatus& server : status.servers) {
    nlohmann::ordered_json instances = nlohmann::ordered_json::array();
    for (const InstanceStatus& instance : server.instances) {
      nlohmann::ordered_json entry = {{"Instance", instance.instance},
                                      {"Running", instance.running}};
      if (instance.running) {
        entry["PID"] = instance.pid;
        entry["State"] = instance.state;
        entry["Started"] = instance.started;
        entry["UptimeSeconds"] = std::max(0LL, static_cast<long long>(now) - instance.started);
      }
      entry["Status"] = InstanceState(instance);
      entry["Watched"] = instance.watched;
      if (instance.watched) {
        entry["Restarts"] = instance.restarts;
        if (instance.watchedRunningSince != 0)
          entry["WatchedRunningSince"] = instance.watchedRunningSince;
      }
      entry["Starts"] = instance.starts;
      if (!instance.lastEnd.empty()) {
        entry["LastEnd"] = instance.lastEnd;
        entry["LastExit"] = LastExit(instance);
        if (instance.exitStatus >= 0) entry["ExitStatus"] = instance.exitStatus;
        if (instance.signal > 0) entry["Signal"] = instance.signal;
        entry["Ended"] = instance.ended;
      }
      if (instance.backoffMs != 0) entry["BackoffMs"] = instance.backoffMs;
      instances.push_back(std::move(entry));
    }
    nlohmann::ordered_json entry = {{"Name", server.name},
                                    {"RunsHere", server.runsHere},
                                    {"Watched", server.watched},
                                    {"StartupOrder", server.startupOrder},
                                    {"DelayAfterStartup", server.delayAfterStartup},
                                    {"NrOfInstances", server.nrOfInstances},
                                    {"Instances", std::move(instances)}};
    if (!server.runsHere) entry["Why"] = server.why;
    servers.push_back(std::move(entry));
  }
  nlohmann::ordered_json service = {{"Running", status.serviceRunning}};
  if (status.serviceRunning) service["PID"] = status.servicePid;
  if (!status.monitorsProblem.empty()) service["MonitorsProblem"] = status.monitorsProblem;
  return {{"ServerConfiguration", status.serverConfiguration},
          {"Service", std::move(service)},
          {"Servers", std::move(servers)}};
}

nlohmann::ordered_json ToJson(const ZQ_TAny& value) {
  if (value.IsEmpty()) return nullptr;
  if (const ZQ_TString* text = value.As<ZQ_TString>()) return text->Text();
  if (const ZQ_TUInt32* number = value.As<ZQ_TUInt32>()) return number->Value();
  if (const ZQ_TUInt16* number = value.As<ZQ_TUInt16>()) return number->Value();
  if (const ZQ_TBool* flag = value.As<ZQ_TBool>()) return flag->Value();
  if (const ZQ_TList* list = value.As<ZQ_TList>()) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const ZQ_TAny& element : *list)
      array.push_back(ToJson(element));
    return array;
  }
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  if (const ZQ_TDict* dict = value.As<ZQ_TDict>()) {
    for (const auto& [key, element] : dict->Entries())
      object[key.Text()] = ToJson(element);
    return object;
  }
  if (const ZQ_TTree* tree = value.As<ZQ_TTree>()) {
    for (const auto& [key, element] : tree->Entries())
      object[key.Text()] = ToJson(element);
    return object;
  }
  std::ostringstream printed;
  printed << value;
  return printed.str();
}
