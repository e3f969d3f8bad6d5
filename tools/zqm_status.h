// The status view of the zqm tool: every server of the configuration tree,
// whether the service runs it on this host under the current server
// configuration, its settings, and each running instance's process id and
// uptime as the daemon reports them.
#pragma once

#include <ctime>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "typelib/dodived.h"

struct InstanceStatus {
  unsigned instance = 0;
  bool running = false;
  unsigned pid = 0;       // when running
  long long started = 0;  // when running: seconds since the epoch
  std::string state;      // when running: as the daemon says
};

struct ServerStatus {
  std::string name;
  bool runsHere = false;
  std::string why;  // why not, when it does not run here
  unsigned startupOrder = 50;
  unsigned delayAfterStartup = 0;
  unsigned nrOfInstances = 1;
  // The instances the service keeps running here, then any other instance
  // the daemon lists.
  std::vector<InstanceStatus> instances;
};

struct StatusReport {
  std::string serverConfiguration;
  bool serviceRunning = false;
  unsigned servicePid = 0;
  std::vector<ServerStatus> servers;
};

// How the service decides about one server: "AlwaysRunning" must be true,
// and the server configuration empty or among the server's
// "Configurations"; settings count only as numbers.
ServerStatus DescribeServer(const std::string& name, const ZQ_TTree& server,
                            const std::string& serverConfiguration);

// The status of every server. `servers` is the configuration's server list,
// `running` the daemon's "Servers" list for all servers.
StatusReport CollectStatus(const ZQ_TTree& servers, const ZQ_TList& running,
                     const std::string& serverConfiguration);

// The status as a table; uptimes are measured to `now`.
void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now);

// The status as one JSON document (keys as the daemon names its fields).
nlohmann::ordered_json StatusJson(const StatusReport& status, std::time_t now);

// A value of the type library as JSON: texts, numbers, booleans, lists,
// dictionaries and trees as they are, an empty value as null, anything else
// as its printed form.
nlohmann::ordered_json ToJson(const ZQ_TAny& value);
