#include "tools/zqm_status_render.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "DEVUror/zqm_trace.h"
#include "tools/zqm_args.h"
#include "tools/zqm_table.h"

namespace {

// The terminal style of a state.
std::string StateStyle(const std::string& state) {
  if (state == "running") return "\033[32m";
  if (state == "starting") return "\033[33m";
  if (state == "backoff") return "\033[1;31m";
  if (state == "not running") return "\033[31m";
  return "\033[2m";  // down
}

// What the state column shows: the state, and for an instance that is down
// because the operator took its server down, since when.
std::string StateText(const ServerStatus& server, const std::string& state) {
  if (state != "down" || server.downByOperatorSince == 0) return state;
  return "down by operator since " + zqm_trace::LocalTime(server.downByOperatorSince);
}

}  // namespace

void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now, bool colour) {
  out << "Server configuration: \"" << status.serverConfiguration << "\"\n";
  if (!status.configurationProblem.empty()) {
    out << "Configuration server: unreachable (" << zqm_trace::Escaped(status.configurationProblem)
        << "); the servers below are those the daemon and the service know\n";
  }
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
      const std::string down =
          server.downByOperatorSince != 0 ? StateText(server, "down") : "down (" + server.why + ")";
      cells.insert(cells.end(), {"-", "no", "-", "-", "-", "-", down});
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
           instance.watched ? std::to_string(instance.restarts) : "-", LastExit(instance),
           StateText(server, state)});
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
    if (server.downByOperatorSince != 0) entry["DownByOperatorSince"] = server.downByOperatorSince;
    servers.push_back(std::move(entry));
  }
  nlohmann::ordered_json service = {{"Running", status.serviceRunning}};
  if (status.serviceRunning) service["PID"] = status.servicePid;
  if (!status.monitorsProblem.empty()) service["MonitorsProblem"] = status.monitorsProblem;
  nlohmann::ordered_json document = {{"ServerConfiguration", status.serverConfiguration},
                                     {"Service", std::move(service)},
                                     {"Servers", std::move(servers)}};
  if (!status.configurationProblem.empty())
    document["ConfigurationProblem"] = status.configurationProblem;
  return document;
}
