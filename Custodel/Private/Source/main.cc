// custodel: the service's process entry. The service takes nothing from its
// command line: it answers --help and --version, refuses any other argument,
// and otherwise runs until SIGTERM or SIGINT.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "Custodel/Private/Source/custodel.h"
#include "DEVUror/zqm_limits.h"
#include "DEVUror/zqm_notify.h"
#include "platform/process_memory.h"
#include "platform/scheduling.h"
#include "zq_version.h"

namespace {

constexpr int kUsageStatus = 2;

}  // namespace

int main(int argc, char** argv) {
  // A watcher thread waits on its instance for as long as it runs.
  zq_platform::StartWithoutThreadMallocCaches(argv);
  zq_platform::KeepProcessMemorySmall();
  zq_platform::RequestShortTimeSlices();
  // Before any thread exists; readiness is sent after the first pass.
  zqm_notify::TakeNotifySocket();
  CLI::App app{
      "custodel: keeps the configured server programs of this host running. It reads the "
      "servers from the configuration server (Almanac), has the middleware daemon (zqmd) start "
      "them in their start-up order and starts each again the moment it dies.",
      "custodel"};
  app.set_version_flag("--version", "custodel " ZQ_PROJECT_VERSION);
  app.footer(
      "Steered while it runs by zqm reconfigure, zqm stop and zqm ignore NAME. SIGTERM or SIGINT\n"
      "ends it in order; the servers keep running. Exit status: 0 after an orderly stop, 1 after\n"
      "a fatal error (one line on standard error starting \"Custodel:FATAL ERROR:\"), 2 for a\n"
      "wrong command line.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageStatus;
  }

  // Each monitor holds five descriptors (its thread, three events, the
  // process): a host of thousands of instances needs more than the soft
  // limit a service manager gives.
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
