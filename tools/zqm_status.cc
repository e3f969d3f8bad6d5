#include "tools/zqm_status.h"

#include "tools/zqm_status_gather.h"
#include "tools/zqm_status_join.h"

StatusReport HostStatus(const std::string& host) {
  return CollectStatus(GatherStatus(host));
}
