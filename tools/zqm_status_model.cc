#include "tools/zqm_status_model.h"

#include <string.h>

std::string InstanceState(const InstanceStatus& instance) {
  if (instance.running) {
    return instance.state == "starting" || instance.state == "unbound" ? "starting" : "running";
  }
  if (instance.backoffMs != 0) return "backoff";
  return instance.watched ? "not running" : "down";
}

std::string LastExit(const InstanceStatus& instance) {
  if (instance.exitStatus >= 0) return "exit " + std::to_string(instance.exitStatus);
  if (instance.signal > 0) {
    const char* abbreviation = sigabbrev_np(instance.signal);
    return "signal " + std::to_string(instance.signal) +
           (abbreviation != nullptr ? std::string(" ") + abbreviation : "");
  }
  return instance.lastEnd.empty() ? "-" : instance.lastEnd;
}
