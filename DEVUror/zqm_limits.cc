#include "DEVUror/zqm_limits.h"

namespace zqm_limits {

std::optional<rlimit> RaiseDescriptorLimit() {
  rlimit given{};
  if (getrlimit(RLIMIT_NOFILE, &given) != 0 || given.rlim_cur >= given.rlim_max)
    return std::nullopt;
  rlimit raised = given;
  raised.rlim_cur = raised.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return std::nullopt;
  return given;
}

}  // namespace zqm_limits
