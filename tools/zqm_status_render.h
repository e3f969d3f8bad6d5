// The showing part of the status view: a StatusReport as a table for a
// person or as one JSON document for scripts. Reads the report only.
#pragma once

#include <ctime>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "tools/zqm_status_model.h"

// The status as a table; uptimes are measured to `now`; `colour`: the state
// of each instance in terminal colours.
void PrintStatus(std::ostream& out, const StatusReport& status, std::time_t now, bool colour);

// A CPU time given in decimal seconds ("1.250") as "1.2s", or as an uptime
// from a minute on; a byte count as "512B", "1.5K", "12M", "3.2G". Text
// that is no number is given back as it is.
std::string FormatCpuSeconds(const std::string& seconds);
std::string FormatBytes(const std::string& bytes);

// The status as one JSON document (keys as the daemon names its fields).
nlohmann::ordered_json StatusJson(const StatusReport& status, std::time_t now);
