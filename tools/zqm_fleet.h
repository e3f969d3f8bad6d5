// The fleet view of the zqm tool: the status of every host of the
// installation at once.
//
// The hosts are named in the configuration tree:
//
//   "Hosts": {"<host name>": {"Address": "10.0.0.7",              IP address or DNS name
//                             "ServerConfiguration": "Lab-7"}}     that host's configuration name
//
// Each host's daemon is reached at its address on port 8088, and the
// host's service through it, as `zqm --host ADDRESS status` does; the server
// list comes from the one configuration tree. Without "Hosts" the fleet is
// this host alone (or the one --host names). Hosts are asked concurrently,
// each within a time limit, so that a dead host costs that limit and no more.
#pragma once

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "tools/zqm_status_gather.h"
#include "tools/zqm_status_model.h"
#include "typelib/dodived.h"

struct FleetHost {
  std::string name;
  std::string address;              // "" for the host the tool talks to by default
  std::string serverConfiguration;  // as the tree names it; "" when it does not
  std::string problem;              // why the entry cannot be used, "" when it can
};

// What the configuration tree says about the fleet.
struct FleetTree {
  std::vector<FleetHost> hosts;  // in the tree's order
  ZQ_TTree servers;              // Servers/ZQMD/Servers
};

struct HostReport {
  FleetHost host;
  bool reachable = false;
  std::string reason;   // why not, when not reachable
  StatusReport status;  // when reachable
  // When not reachable: the servers the tree runs there under the host's
  // server configuration, in start-up order.
  std::vector<std::string> configuredServers;
};

// Reads "Hosts" and the server list from the configuration server that
// `host` ("": this host) reaches. Without "Hosts", the fleet is `host`
// itself, named by this machine's host name when `host` is empty. Bad
// entries are kept, with their problem. Throws ZQ_EException when the
// configuration server cannot be asked.
FleetTree ReadFleetTree(const std::string& host);

// The hosts of `hosts` as named in a "Hosts" subtree (a ZQ_TTree).
std::vector<FleetHost> ParseHosts(const ZQ_TAny& hosts);

// Asks every host at once; each host's calls end by `limit` after the start
// (a connection attempt may take the client's own connection limit).
std::vector<HostReport> GatherFleet(const FleetTree& tree, std::chrono::milliseconds limit);

// One section per host: a heading line, then the host's status as
// `zqm status` prints it; an unreachable host is one line saying why.
void PrintFleet(std::ostream& out, const std::vector<HostReport>& fleet, std::time_t now,
                bool colour);

// One JSON object per host: "Host", "Address", "Reachable", then the
// host's status as StatusJson writes it, or "Reason", "ServerConfiguration"
// (the tree's) and "ConfiguredServers".
nlohmann::ordered_json HostJson(const HostReport& report, std::time_t now);
nlohmann::ordered_json FleetJson(const std::vector<HostReport>& fleet, std::time_t now);
