#include "tools/zqm_status_render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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

// The columns only some installations have: shown when any instance has a
// value for them.
struct OptionalColumns {
  bool ready = false;
  bool health = false;
  bool cpu = false;
  bool memory = false;
};

OptionalColumns ColumnsOf(const StatusReport& status) {
  OptionalColumns shown;
  for (const ServerStatus& server : status.servers) {
    for (const InstanceStatus& instance : server.instances) {
      shown.ready = shown.ready || !instance.readiness.empty() || !instance.statusText.empty();
      shown.health = shown.health || !instance.health.empty();
      shown.cpu = shown.cpu || !instance.cpuSeconds.empty();
      shown.memory = shown.memory || !instance.memoryBytes.empty();
    }
  }
  return shown;
}

std::vector<std::string> Header(const OptionalColumns& shown) {
  std::vector<std::string> header = {"SERVER",  "RUNS", "ORDER", "DELAY",    "INSTANCE",
                                     "WATCHED", "PID",  "UP",    "RESTARTS", "LAST EXIT"};
  if (shown.ready) header.push_back("READY");
  if (shown.health) header.push_back("HEALTH");
  if (shown.cpu) header.push_back("CPU");
  if (shown.memory) header.push_back("MEM");
  header.push_back("STATE");
  return header;
}

// The readiness, and the instance's own word on how it is, cut short.
std::string ReadyText(const InstanceStatus& instance) {
  constexpr std::size_t kLongestStatusText = 40;
  std::string text = instance.readiness.empty() ? "-" : instance.readiness;
  if (instance.statusText.empty()) return text;
  std::string said = instance.statusText;
  if (said.size() > kLongestStatusText) said = said.substr(0, kLongestStatusText - 3) + "...";
  return text + " \"" + said + "\"";
}

std::string HealthText(const InstanceStatus& instance) {
  if (instance.health.empty()) return "-";
  if (instance.healthFailures == 0) return instance.health;
  return instance.health + " (" + std::to_string(instance.healthFailures) + " failed)";
}

std::vector<std::string> OptionalCells(const OptionalColumns& shown,
                                       const InstanceStatus* instance) {
  std::vector<std::string> cells;
  const auto value = [instance](const std::string& text,
                                std::string (*format)(const std::string&)) {
    return instance == nullptr || text.empty() ? std::string("-") : format(text);
  };
  if (shown.ready) cells.push_back(instance != nullptr ? ReadyText(*instance) : "-");
  if (shown.health) cells.push_back(instance != nullptr ? HealthText(*instance) : "-");
  if (shown.cpu) cells.push_back(value(instance ? instance->cpuSeconds : "", FormatCpuSeconds));
  if (shown.memory) cells.push_back(value(instance ? instance->memoryBytes : "", FormatBytes));
  return cells;
}

}  // namespace

std::string FormatCpuSeconds(const std::string& seconds) {
  char* end = nullptr;
  const double value = std::strtod(seconds.c_str(), &end);
  if (end == seconds.c_str() || *end != 0 || !(value >= 0)) return seconds;
  if (value >= 60) return FormatUptime(static_cast<long long>(value));
  char text[32];
  std::snprintf(text, sizeof text, "%.1fs", value);
  return text;
}

std::string FormatBytes(const std::string& bytes) {
  if (bytes.empty() || bytes.find_first_not_of("0123456789") != std::string::npos) return bytes;
  const unsigned long long value = std::strtoull(bytes.c_str(), nullptr, 10);
  static const char* const kUnits[] = {"B", "K", "M", "G", "T"};
  double scaled = static_cast<double>(value);
  std::size_t unit = 0;
  while (scaled >= 1024 && unit + 1 < std::size(kUnits)) {
    scaled /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 || scaled >= 10 ? "%.0f%s" : "%.1f%s", scaled,
                kUnits[unit]);
  return text;
}

void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now, bool colour) {
  out << "Server configuration: \"" << status.serverConfiguration << "\"\n";
  if (!status.configurationProblem.empty()) {
    out << "Configuration server: unreachable (" << zqm_trace::Escaped(status.configurationProblem)
        << "); the servers below are those the daemon and the service know\n";
  }
  if (status.configurationStaleSince != 0) {
    out << "Configuration: may be stale since "
        << zqm_trace::LocalTime(status.configurationStaleSince) << " ("
        << zqm_trace::Escaped(status.configurationStaleWhy) << ")\n";
  }
  if (status.serviceRunning) {
    out << "Service: running (pid " << status.servicePid << ")";
    if (!status.monitorsProblem.empty())
      out << "; its monitors cannot be listed: " << zqm_trace::Escaped(status.monitorsProblem);
    out << "\n\n";
  } else {
    out << "Service: not running\n\n";
  }
  const OptionalColumns shown = ColumnsOf(status);
  const std::vector<std::string> header = Header(shown);
  TextTable table(header);
  const auto styled = [colour, width = header.size()](const std::string& state) {
    std::vector<std::string> styles(width);
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
      cells.insert(cells.end(), {"-", "no", "-", "-", "-", "-"});
      for (std::string& cell : OptionalCells(shown, nullptr))
        cells.push_back(std::move(cell));
      cells.push_back(down);
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
           instance.watched ? std::to_string(instance.restarts) : "-", LastExit(instance)});
      for (std::string& cell : OptionalCells(shown, &instance))
        cells.push_back(std::move(cell));
      cells.push_back(StateText(server, state));
      table.AddRow(std::exchange(cells, {}), styled(state));
    }
  }
  table.Print(out);
}

namespace {

// The fields of a running instance that only some daemons and launch
// configurations give, under the daemon's names, when they have a value.
void AddRunningFields(const InstanceStatus& instance, nlohmann::ordered_json& entry) {
  const auto text = [&entry](const char* key, const std::string& value) {
    if (!value.empty()) entry[key] = value;
  };
  text("Readiness", instance.readiness);
  text("StatusText", instance.statusText);
  text("Health", instance.health);
  if (!instance.health.empty()) entry["HealthFailures"] = instance.healthFailures;
  text("CPUSeconds", instance.cpuSeconds);
  text("MemoryBytes", instance.memoryBytes);
  if (instance.launchChanged) entry["LaunchChanged"] = true;
}

}  // namespace

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
        AddRunningFields(instance, entry);
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
  if (status.configurationStaleSince != 0) {
    document["ConfigurationStaleSince"] = status.configurationStaleSince;
    document["ConfigurationStaleWhy"] = status.configurationStaleWhy;
  }
  return document;
}
