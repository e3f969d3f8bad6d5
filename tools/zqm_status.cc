#include "tools/zqm_status.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "tools/zqm_args.h"
#include "tools/zqm_table.h"

namespace {

unsigned Number(const ZQ_TTree& server, const char* key, unsigned fallback) {
  const ZQ_TAny* value = server.Child(key);
  const ZQ_TUInt32* number = value != nullptr ? value->As<ZQ_TUInt32>() : nullptr;
  return number != nullptr ? number->Value() : fallback;
}

// The daemon's list as name -> instance -> process.
std::map<std::string, std::map<unsigned, InstanceStatus>> ByServer(const ZQ_TList& running) {
  std::map<std::string, std::map<unsigned, InstanceStatus>> byServer;
  for (const ZQ_TAny& element : running) {
    const ZQ_TDict* entry = element.As<ZQ_TDict>();
    if (entry == nullptr) continue;
    const ZQ_TAny* name = entry->Find("Name");
    const ZQ_TAny* instance = entry->Find("Instance");
    const ZQ_TAny* pid = entry->Find("PID");
    if (!name || !name->As<ZQ_TString>() || !instance || !instance->As<ZQ_TUInt16>() || !pid ||
        !pid->As<ZQ_TUInt32>()) {
      continue;
    }
    InstanceStatus process;
    process.instance = instance->As<ZQ_TUInt16>()->Value();
    process.running = true;
    process.pid = pid->As<ZQ_TUInt32>()->Value();
    if (const ZQ_TAny* started = entry->Find("Started"); started && started->As<ZQ_TUInt32>()) {
      process.started = started->As<ZQ_TUInt32>()->Value();
    }
    if (const ZQ_TAny* state = entry->Find("State"); state && state->As<ZQ_TString>()) {
      process.state = state->As<ZQ_TString>()->Text();
    }
    byServer[name->As<ZQ_TString>()->Text()][process.instance] = process;
  }
  return byServer;
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

StatusReport CollectStatus(const ZQ_TTree& servers, const ZQ_TList& running,
                     const std::string& serverConfiguration) {
  const auto byServer = ByServer(running);
  StatusReport status;
  status.serverConfiguration = serverConfiguration;
  if (auto service = byServer.find("Custodel");
      service != byServer.end() && !service->second.empty()) {
    status.serviceRunning = true;
    status.servicePid = service->second.begin()->second.pid;
  }
  for (const auto& [key, value] : servers.Entries()) {
    const ZQ_TTree* tree = value.As<ZQ_TTree>();
    if (tree == nullptr) continue;
    ServerStatus server = DescribeServer(key.Text(), *tree, serverConfiguration);
    const auto found = byServer.find(server.name);
    const auto process = [&](unsigned instance) {
      if (found != byServer.end()) {
        if (auto at = found->second.find(instance); at != found->second.end()) return at->second;
      }
      InstanceStatus absent;
      absent.instance = instance;
      return absent;
    };
    const unsigned shown = server.runsHere ? server.nrOfInstances : 0;
    for (unsigned i = 1; i <= shown; ++i)
      server.instances.push_back(process(i));
    if (found != byServer.end()) {
      for (const auto& [instance, running] : found->second) {
        if (instance > shown || instance == 0) server.instances.push_back(running);
      }
    }
    status.servers.push_back(std::move(server));
  }
  return status;
}

void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now) {
  out << "Server configuration: \"" << status.serverConfiguration << "\"\n";
  if (status.serviceRunning) {
    out << "Service: running (pid " << status.servicePid << ")\n\n";
  } else {
    out << "Service: not running\n\n";
  }
  TextTable table({"SERVER", "RUNS", "ORDER", "DELAY", "INSTANCE", "PID", "UP"});
  for (const ServerStatus& server : status.servers) {
    std::vector<std::string> cells = {server.name, server.runsHere ? "yes" : "no",
                                      std::to_string(server.startupOrder),
                                      std::to_string(server.delayAfterStartup) + "ms"};
    if (server.instances.empty()) {
      cells.insert(cells.end(), {"-", "-", server.why});
      table.AddRow(std::move(cells));
    }
    for (const InstanceStatus& instance : server.instances) {
      if (cells.empty()) cells.resize(4);  // a further instance of the same server
      cells.push_back(std::to_string(instance.instance));
      if (!instance.running) {
        cells.insert(cells.end(), {"-", "not running"});
      } else {
        std::string up = FormatUptime(static_cast<long long>(now) - instance.started);
        if (instance.state != "running") up += " (" + instance.state + ")";
        cells.insert(cells.end(), {std::to_string(instance.pid), up});
      }
      table.AddRow(std::exchange(cells, {}));
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
      instances.push_back(std::move(entry));
    }
    nlohmann::ordered_json entry = {{"Name", server.name},
                                    {"RunsHere", server.runsHere},
                                    {"StartupOrder", server.startupOrder},
                                    {"DelayAfterStartup", server.delayAfterStartup},
                                    {"NrOfInstances", server.nrOfInstances},
                                    {"Instances", std::move(instances)}};
    if (!server.runsHere) entry["Why"] = server.why;
    servers.push_back(std::move(entry));
  }
  nlohmann::ordered_json service = {{"Running", status.serviceRunning}};
  if (status.serviceRunning) service["PID"] = status.servicePid;
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
