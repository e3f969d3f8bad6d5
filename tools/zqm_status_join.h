// The joining part of the status view: the daemon's lists, the service's
// monitors and the configuration's server list, merged into one row per
// server and instance. Pure: asks nobody and throws nothing of its own.
#pragma once

#include <string>

#include "tools/zqm_status_model.h"
#include "typelib/dodived.h"

// How the service decides about one server: "AlwaysRunning" must be true,
// and the server configuration empty or among the server's
// "Configurations"; settings count only as numbers.
ServerStatus DescribeServer(const std::string& name, const ZQ_TTree& server,
                            const std::string& serverConfiguration);

// The status of every server, in start-up order: by order, and among equal
// orders the server listed later first. Without the configuration (its
// problem given), every server that the daemon or the service knows.
StatusReport CollectStatus(const StatusSources& sources);
