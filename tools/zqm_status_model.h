// What the status view of the zqm tool is made of: the answers of the
// daemon, the configuration server and the service as they came
// (StatusSources, filled by zqm_status_gather.h), and the per-server,
// per-instance report joined from them (StatusReport, made by
// zqm_status_join.h and shown by zqm_status_render.h).
#pragma once

#include <string>
#include <vector>

#include "typelib/dodived.h"

struct InstanceStatus {
  unsigned instance = 0;
  bool running = false;
  unsigned pid = 0;       // when running
  long long started = 0;  // when running: seconds since the epoch
  std::string state;      // when running: as the daemon says
  // When running, as far as the daemon knows them ("" / 0 otherwise):
  std::string readiness;        // "waiting" or "ready" when a readiness check is configured
  std::string statusText;       // the last STATUS= text of an instance that notifies
  std::string health;           // "healthy" or "unhealthy" when a health check is configured
  unsigned healthFailures = 0;  // failed checks in a row
  std::string cpuSeconds;       // decimal, e.g. "1.250"
  std::string memoryBytes;      // decimal
  // Of the server subtree it was launched from (as the daemon says; "" for
  // an instance it adopted), and whether the configuration now differs.
  std::string launchDigest;
  bool launchChanged = false;
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
  // Since when the operator has it down ("zqm down"; seconds since the
  // epoch); 0 when not.
  long long downByOperatorSince = 0;
  // The instances the service keeps running here, those it watches and
  // those the daemon lists, by number.
  std::vector<InstanceStatus> instances;
};

struct StatusReport {
  std::string serverConfiguration;
  bool serviceRunning = false;
  unsigned servicePid = 0;
  std::string monitorsProblem;  // why the service's monitors could not be listed
  // Why the configuration could not be read; the servers are then those
  // the daemon and the service know, and RunsHere says what the service
  // watches.
  std::string configurationProblem;
  // Since when the configuration server's tree may be stale (seconds since
  // the epoch; 0: current), and why: it serves a copy while etcd is away.
  long long configurationStaleSince = 0;
  std::string configurationStaleWhy;
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
  ZQ_TList operatorDown;             // the daemon's "DownServers"
  std::string configurationProblem;  // when `servers` could not be read
  ZQ_TDict freshness;                // the configuration server's "Freshness"
};
