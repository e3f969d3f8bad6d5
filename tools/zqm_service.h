// zqm's connection to the Custodel service, and advice for common failures.
#pragma once

#include <chrono>
#include <string>

#include "DEVUror/zqm_tclient.h"

// How long zqm waits for a service busy with a pass, by default, and how
// long before it says that it waits.
constexpr unsigned kDefaultServiceWaitSeconds = 300;
constexpr std::chrono::milliseconds kBusyNoticeAfter{2000};

// The wait from ZQM_WAIT_SECONDS when set to a number, else the default.
unsigned ServiceWaitFromEnvironment();

// Connects `service` to "Custodel" instance 1 on `host`. The service serves
// one call at a time, so while it runs a pass it greets nobody: this waits
// up to `waitSeconds` for its greeting, saying once on standard error that
// it waits when that takes longer than kBusyNoticeAfter. Throws
// ZQ_EException saying what to do when the service cannot be reached.
void ConnectToService(ZQM_TClient& service, const std::string& host, unsigned waitSeconds);

// What to do next about a common failure (no daemon, no service, no
// configuration server), as a sentence to print after it; "" when there is
// nothing to add.
std::string Advice(const std::string& failureClass, const std::string& message);
