// The verbs of the zqm tool that steer single servers and instances:
//
//   restart NAME[:INSTANCE] [--grace MS]  ends the instance (every running
//       instance of NAME) through the daemon, SIGTERM then SIGKILL after the
//       grace, and starts it again at once (the service, when it watches the
//       server, would too); prints how each ended and its new pid
//   down NAME [--grace MS]                the service stops watching NAME
//       ("IgnoreServer"), the daemon marks it down by operator ("MarkDown":
//       it starts none of its instances, across reconfigurations and
//       restarts of the service and the daemon), then every running
//       instance is ended
//   up NAME                               the daemon's mark is cleared
//       ("ClearDown"), and the service watches NAME again ("WatchServer")
//       and starts its instances
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "DEVUror/zqm_tproxy.h"
#include "typelib/dodived.h"

struct ControlCommands {
  CLI::App* restart = nullptr;
  CLI::App* down = nullptr;
  CLI::App* up = nullptr;
  std::string target;  // NAME, or NAME:INSTANCE for restart
  std::optional<unsigned> graceMs;
};

// Adds the three subcommands to `app`, their words bound to `commands`.
void AddControlCommands(CLI::App& app, ControlCommands& commands);

// Runs the control command that was parsed, on `host` ("": this host), and
// returns its exit status; nullopt when none was parsed. Failures of the
// servers are thrown as ZQ_EException.
std::optional<int> RunControlCommand(const ControlCommands& commands, const std::string& host);

// Ends the instance through `daemon` (SIGTERM, SIGKILL after the grace) and
// has it started again at once, waiting until it has bound; prints how it
// ended and its new pid.
void RestartInstance(ZQM_TProxy& daemon, const std::string& name, unsigned short instance,
                     const std::optional<unsigned>& graceMs);

// Calls `method` of the service ("Custodel" instance 1) on `host`. Throws
// ZQ_EException, saying so when the service cannot be reached.
ZQ_TAny CallService(const std::string& host, const char* method, const ZQ_TList& arguments);
