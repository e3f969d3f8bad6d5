#include "tools/zqm_status.h"

#include <iomanip>
#include <map>
#include <vector>

#include "tools/zqm_args.h"

namespace {

unsigned Number(const ZQ_TTree& server, const char* key, unsigned fallback) {
  const ZQ_TAny* value = server.Child(key);
  const ZQ_TUInt32* number = value != nullptr ? value->As<ZQ_TUInt32>() : nullptr;
  return number != nullptr ? number->Value() : fallback;
}

struct Running {
  unsigned pid = 0;
  long long started = 0;
  std::string state;
};

// The daemon's list as name -> instance -> process.
std::map<std::string, std::map<unsigned, Running>> ByServer(const ZQ_TList& running) {
  std::map<std::string, std::map<unsigned, Running>> byServer;
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
    Running process;
    process.pid = pid->As<ZQ_TUInt32>()->Value();
    if (const ZQ_TAny* started = entry->Find("Started"); started && started->As<ZQ_TUInt32>()) {
      process.started = started->As<ZQ_TUInt32>()->Value();
    }
    if (const ZQ_TAny* state = entry->Find("State"); state && state->As<ZQ_TString>()) {
      process.state = state->As<ZQ_TString>()->Text();
    }
    byServer[name->As<ZQ_TString>()->Text()][instance->As<ZQ_TUInt16>()->Value()] = process;
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

void PrintStatus(std::ostream& out, const ZQ_TTree& servers, const ZQ_TList& running,
                 const std::string& serverConfiguration, std::time_t now) {
  const auto byServer = ByServer(running);
  out << "Server configuration: \"" << serverConfiguration << "\"\n";
  if (auto service = byServer.find("Custodel");
      service != byServer.end() && !service->second.empty()) {
    out << "Service: running (pid " << service->second.begin()->second.pid << ")\n\n";
  } else {
    out << "Service: not running\n\n";
  }
  out << std::left << std::setw(20) << "SERVER" << std::setw(6) << "RUNS" << std::setw(7) << "ORDER"
      << std::setw(9) << "DELAY" << std::setw(10) << "INSTANCE" << std::setw(9) << "PID"
      << "UP\n";
  for (const auto& [key, value] : servers.Entries()) {
    const ZQ_TTree* server = value.As<ZQ_TTree>();
    if (server == nullptr) continue;
    const ServerStatus status = DescribeServer(key.Text(), *server, serverConfiguration);
    out << std::setw(20) << status.name << std::setw(6) << (status.runsHere ? "yes" : "no")
        << std::setw(7) << status.startupOrder << std::setw(9)
        << (std::to_string(status.delayAfterStartup) + "ms");
    const auto found = byServer.find(status.name);
    const unsigned shown = status.runsHere ? status.nrOfInstances : 0;
    std::vector<unsigned> instances;
    for (unsigned i = 1; i <= shown; ++i)
      instances.push_back(i);
    if (found != byServer.end()) {
      for (const auto& [instance, process] : found->second) {
        if (instance > shown || instance == 0) instances.push_back(instance);
      }
    }
    if (instances.empty()) out << std::setw(10) << "-" << std::setw(9) << "-" << status.why;
    for (std::size_t i = 0; i < instances.size(); ++i) {
      if (i > 0) out << "\n" << std::setw(42) << "";
      out << std::setw(10) << instances[i];
      const Running* process = nullptr;
      if (found != byServer.end()) {
        auto at = found->second.find(instances[i]);
        if (at != found->second.end()) process = &at->second;
      }
      if (process == nullptr) {
        out << std::setw(9) << "-"
            << "not running";
      } else {
        out << std::setw(9) << process->pid
            << FormatUptime(static_cast<long long>(now) - process->started);
        if (process->state != "running") out << " (" << process->state << ")";
      }
    }
    out << "\n";
  }
}
