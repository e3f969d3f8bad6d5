// What `zqm reload` does after the service has reconfigured: the running
// instances that were launched from an older launch configuration of their
// server (a changed Program, Arguments, Environment, User, ...; the keys
// only the service reads do not count) are listed, and with
// --restart-changed restarted one at a time in start-up order, each
// waited for until it has bound, as the service waits at its start.
// Instances the daemon adopted (after its own restart) carry no record of
// their launch configuration: they are named as unknown and left alone.
#pragma once

#include <string>
#include <vector>

#include "tools/zqm_status_model.h"

struct LaunchChanges {
  // "NAME:INSTANCE", in start-up order.
  std::vector<std::string> changed;
  std::vector<std::string> unknown;
};

// The running instances of `status` whose launch configuration changed, and
// those whose launch configuration the daemon does not know.
LaunchChanges FindLaunchChanges(const StatusReport& status);

// Lists the changed instances of `host` ("": this host), restarting them
// when `restart` is set; returns the exit status.
int ReportLaunchChanges(const std::string& host, bool restart);
