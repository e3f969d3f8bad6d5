#include "tools/zqm_reload.h"

#include <iostream>

#include "DEVUror/zqm_tproxy.h"
#include "DEVUror/zqm_trace.h"
#include "tools/zqm_control.h"
#include "tools/zqm_status_gather.h"
#include "tools/zqm_status_join.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;

std::string Named(const ServerStatus& server, const InstanceStatus& instance) {
  return server.name + ":" + std::to_string(instance.instance);
}

void PrintList(const char* heading, const std::vector<std::string>& names) {
  std::cout << heading << "\n";
  for (const std::string& name : names)
    std::cout << "  " << zqm_trace::Escaped(name) << "\n";
}

}  // namespace

LaunchChanges FindLaunchChanges(const StatusReport& status) {
  LaunchChanges changes;
  for (const ServerStatus& server : status.servers) {
    for (const InstanceStatus& instance : server.instances) {
      if (!instance.running) continue;
      if (instance.launchChanged) changes.changed.push_back(Named(server, instance));
      if (instance.launchDigest.empty()) changes.unknown.push_back(Named(server, instance));
    }
  }
  return changes;
}

int ReportLaunchChanges(const std::string& host, bool restart) {
  const StatusSources sources = GatherStatus(host);
  if (!sources.configurationProblem.empty()) {
    std::cerr << "zqm: which instances run an older launch configuration is unknown: "
              << zqm_trace::Escaped(sources.configurationProblem) << "\n";
    return kFailure;
  }
  const StatusReport status = CollectStatus(sources);
  const LaunchChanges changes = FindLaunchChanges(status);
  if (!changes.unknown.empty()) {
    PrintList(
        "Adopted by the daemon, so their launch configuration is unknown (zqm restart "
        "NAME:INSTANCE applies the current one):",
        changes.unknown);
  }
  if (changes.changed.empty()) {
    std::cout << "No running instance was launched from an older launch configuration\n";
    return kOk;
  }
  if (!restart) {
    PrintList("Launched from an older launch configuration:", changes.changed);
    std::cout << "zqm reload --restart-changed restarts them, one at a time in start-up order\n";
    return kOk;
  }
  PrintList("Restarting, launched from an older launch configuration:", changes.changed);
  ZQM_TProxy daemon(host.empty() ? nullptr : host.c_str());
  for (const ServerStatus& server : status.servers) {
    for (const InstanceStatus& instance : server.instances) {
      if (instance.running && instance.launchChanged)
        RestartInstance(daemon, server.name, static_cast<unsigned short>(instance.instance), {});
    }
  }
  return kOk;
}
