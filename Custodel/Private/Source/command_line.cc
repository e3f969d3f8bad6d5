// libcustodel_command_line.so: the service answers --help and --version and
// refuses any other argument.
#include "Custodel/Private/Source/command_line.h"

#include <CLI/CLI.hpp>

#include "zq_version.h"

namespace {

constexpr int kUsageStatus = 2;

int Read(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
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
    return app.exit(error, out, err) == 0 ? 0 : kUsageStatus;
  }
  return zqm_modules::kCommandLineRun;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int custodel_read_command_line(
    int argc, const char* const* argv, ServiceCommandLine*, std::ostream& out,
    std::ostream& err) noexcept {
  return zqm_modules::ReadCommandLineSafely("custodel", err,
                                            [&] { return Read(argc, argv, out, err); });
}
