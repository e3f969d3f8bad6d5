// The status view of the zqm tool: every server of the configuration tree,
// in start-up order, whether the service runs it on this host under the
// current server configuration, its settings, and per instance whether the
// service watches it, the process id and uptime as the daemon reports them,
// the restarts the service made, the last end the daemon saw, and one state:
// "running", "starting", "backoff" (the daemon holds it back after a crash),
// "not running" (watched, yet not running) or "down" (neither).
#pragma once

#include <chrono>
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
  // The service's monitor of the instance, when it has one.
  bool watched = false;
  long long watchedRunningSince = 0;  // 0: the watcher does not see it running
  unsigned restarts = 0;
  // The daemon's history of the instance.
  unsigned starts = 0;
  std::string lastEnd;  // as the daemon traced it; "" before any end
  int exitStatus = -1;
  int signal = 0;
  long long ended = 0;  // seconds since the epoch
  unsigned backoffMs = 0;
  // The daemon's last starts and ends of the instance, oldest first.
  struct Event {
    long long at = 0;  // seconds since the epoch
    bool start = false;
    unsigned pid = 0;
    std::string exit;  // of an end, as LastExit says it
  };
  std::vector<Event> recent;
};

// "running", "starting", "backoff", "not running" or "down".
std::string InstanceState(const InstanceStatus& instance);
// The last end in short: "exit 3", "signal 9 KILL", "ended", or "-".
std::string LastExit(const InstanceStatus& instance);

struct ServerStatus {
  std::string name;
  bool runsHere = false;
  bool watched = false;  // the service has monitors of it
  std::string why;       // why not, when it does not run here
  unsigned startupOrder = 50;
  unsigned delayAfterStartup = 0;
  unsigned nrOfInstances = 1;
  // The instances the service keeps running here, those it watches and
  // those the daemon lists, by number.
  std::vector<InstanceStatus> instances;
};

struct StatusReport {
  std::string serverConfiguration;
  bool serviceRunning = false;
  unsigned servicePid = 0;
  std::string monitorsProblem;  // why the service's monitors could not be listed
  std::vector<ServerStatus> servers;
};

// What the status is made of, as the daemon, the configuration server and
// the service answer.
struct StatusSources {
  std::string serverConfiguration;
  ZQ_TTree servers;   // the configuration's server list
  ZQ_TList running;   // the daemon's "Servers" for all servers
  ZQ_TList history;   // the daemon's "History" for all servers
  ZQ_TList monitors;  // the service's "ListMonitors"
  std::string monitorsProblem;
};

// Asks the daemon and the configuration server of `host` ("": this host),
// and the service when it runs. Throws ZQ_EException naming the server that
// cannot be reached; a service that cannot be asked leaves its monitors
// out, with the reason.
StatusSources GatherStatus(const std::string& host);

// The part of GatherStatus that asks the daemon and the service of `host`;
// `sources.servers` is left to the caller. Every greeting and call waits
// until `deadline` at most (a connection attempt as long as the client's
// own limit); a daemon that has not answered by then throws ZQM_ETimeout.
using StatusDeadline = std::chrono::steady_clock::time_point;
void GatherRunning(const std::string& host, StatusSources& sources,
                   StatusDeadline deadline = StatusDeadline::max());

// How the service decides about one server: "AlwaysRunning" must be true,
// and the server configuration empty or among the server's
// "Configurations"; settings count only as numbers.
ServerStatus DescribeServer(const std::string& name, const ZQ_TTree& server,
                            const std::string& serverConfiguration);

// The status of every server, in start-up order: by order, and among equal
// orders the server listed later first.
StatusReport CollectStatus(const StatusSources& sources);

// The status as a table; uptimes are measured to `now`; `colour`: the state
// of each instance in terminal colours.
void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now, bool colour);

// The status as one JSON document (keys as the daemon names its fields).
nlohmann::ordered_json StatusJson(const StatusReport& status, std::time_t now);

// A value of the type library as JSON: texts, numbers, booleans, lists,
// dictionaries and trees as they are, an empty value as null, anything else
// as its printed form.
nlohmann::ordered_json ToJson(const ZQ_TAny& value);
