// supervision_bench footprint: what the installation's own processes
// (daemon, service, configuration server) cost in memory, at 1 and at 100
// supervised instances.
#pragma once

#include <map>
#include <string>

namespace zq_bench {

// `values`: the command line's --key value pairs ("instances": the larger
// count, 100 by default). Returns the exit status.
int Footprint(const std::map<std::string, std::string>& values);

}  // namespace zq_bench
