// The status view of the zqm tool: every server of the configuration tree,
// whether the service runs it on this host under the current server
// configuration, its settings, and each running instance's process id and
// uptime as the daemon reports them.
#pragma once

#include <ctime>
#include <ostream>
#include <string>

#include "typelib/dodived.h"

struct ServerStatus {
  std::string name;
  bool runsHere = false;
  std::string why;  // why not, when it does not run here
  unsigned startupOrder = 50;
  unsigned delayAfterStartup = 0;
  unsigned nrOfInstances = 1;
};

// How the service decides about one server: "AlwaysRunning" must be true,
// and the server configuration empty or among the server's
// "Configurations"; settings count only as numbers.
ServerStatus DescribeServer(const std::string& name, const ZQ_TTree& server,
                            const std::string& serverConfiguration);

// Writes the status table. `servers` is the configuration's server list,
// `running` the daemon's "Servers" list for all servers, `now` the time the
// uptimes are measured to.
void PrintStatus(std::ostream& out, const ZQ_TTree& servers, const ZQ_TList& running,
                 const std::string& serverConfiguration, std::time_t now);
