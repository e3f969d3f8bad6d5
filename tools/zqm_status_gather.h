// The asking part of the status view: the daemon, the service and the
// configuration server of one host, each asked once. The answers are kept
// as they came; zqm_status_join.h makes sense of them.
#pragma once

#include <chrono>
#include <string>

#include "tools/zqm_status_model.h"

// Asks the daemon and the configuration server of `host` ("": this host),
// and the service when it runs. Throws ZQ_EException when the daemon cannot
// be reached; a service or a configuration server that cannot be asked
// leaves its part out, with the reason.
StatusSources GatherStatus(const std::string& host);

// The part of GatherStatus that asks the daemon and the service of `host`;
// `sources.servers` is left to the caller. Every greeting and call waits
// until `deadline` at most (a connection attempt as long as the client's
// own limit); a daemon that has not answered by then throws ZQM_ETimeout.
using StatusDeadline = std::chrono::steady_clock::time_point;
void GatherRunning(const std::string& host, StatusSources& sources,
                   StatusDeadline deadline = StatusDeadline::max());
