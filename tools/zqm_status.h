// The status view of the zqm tool: every server of the configuration tree,
// in start-up order, whether the service runs it on this host under the
// current server configuration, its settings, and per instance whether the
// service watches it, the process id and uptime as the daemon reports them,
// the restarts the service made, the last end the daemon saw, and one state:
// "running", "starting", "backoff" (the daemon holds it back after a crash),
// "not running" (watched, yet not running) or "down" (neither).
//
// It is made in three steps, each of its own: asking the servers
// (zqm_status_gather.h), joining their answers into rows
// (zqm_status_join.h), and showing the rows (zqm_status_render.h); the
// values passed between them are in zqm_status_model.h. The fleet view
// (zqm_fleet.h) uses the same steps with a deadline per host.
#pragma once

#include <string>

#include "tools/zqm_status_model.h"

// The status of `host` ("": this host): its servers asked, their answers
// joined. Throws as GatherStatus does.
StatusReport HostStatus(const std::string& host);
