// supervision_bench peers: Custodel beside daemontools, runit and s6 (the
// Debian packages) on the same services, in one run, interleaved: restart
// latency, start-up, memory and idle cost, each supervisor's median and the
// ratio of Custodel to the best peer.
#pragma once

#include "supervision_common.h"

namespace zq_bench {

extern const char* const kPeersUsage;

int Peers(const Options& options);

}  // namespace zq_bench
