// supervision_bench scale: Custodel alone over many instances of a plain
// program on one host: the start-up, the memory per instance, the threads
// and descriptors of the service and the daemon, and the host's limits that
// such a host meets first.
#pragma once

#include "supervision_common.h"

namespace zq_bench {

extern const char* const kScaleUsage;

int Scale(const Options& options);

}  // namespace zq_bench
