// custodel: the service's process entry. The service takes nothing from its
// command line: it answers --help and --version, refuses any other argument,
// and otherwise runs until SIGTERM or SIGINT.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>

#include "Custodel/Private/Source/command_line.h"
#include "Custodel/Private/Source/custodel.h"
#include "DEVUror/zqm_limits.h"
#include "DEVUror/zqm_notify.h"
#include "platform/process_memory.h"
#include "platform/scheduling.h"

int main(int argc, char** argv) {
  // A watcher thread waits on its instance for as long as it runs.
  zq_platform::StartWithoutThreadMallocCaches(argv);
  zq_platform::KeepProcessMemorySmall();
  zq_platform::RequestShortTimeSlices();
  // Before any thread exists; readiness is sent after the first pass.
  zqm_notify::TakeNotifySocket();
  ServiceCommandLine parsed;
  if (const std::optional<int> status =
          zqm_modules::ReadCommandLine("custodel", argc, argv, parsed, std::cout, std::cerr))
    return *status;

  // Each monitor holds a descriptor (its process): a host of thousands of
  // instances needs more than the soft limit a service manager gives.
  zqm_limits::RaiseDescriptorLimit();
  __ZQ_INITIALIZATION_FUNCTION_custodel__();
  const int status = RunCustodel();
  if (status != 0) {
    // Watcher threads that a failed first pass started may still run and use
    // the process-wide objects: leave without destroying them.
    std::fflush(nullptr);
    zqm_trace::Flush();
    _exit(status);
  }
  return status;
}
