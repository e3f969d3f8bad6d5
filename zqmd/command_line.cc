// libzqmd_command_line.so: the daemon's options, parsed with CLI11.
#include "zqmd/command_line.h"

#include <CLI/CLI.hpp>

#include "DEVUror/zqm_auth.h"
#include "zq_version.h"

namespace zqmd {
namespace {

void AddOptions(CLI::App& app, DaemonCommandLine& parsed) {
  Options& options = parsed.options;
  app.set_version_flag("--version", "zqmd " ZQ_PROJECT_VERSION);
  app.add_option("--listen", options.listenAddress, "address to listen on")->capture_default_str();
  app.add_option("--host-address", options.hostAddress,
                 "this host's address on the installation's network: the daemon listens there "
                 "as well, and so does every server it starts (ZQM_LISTEN_ADDRESS)")
      ->envname("ZQM_LISTEN_ADDRESS");
  app.add_option("--port", options.port, "port to listen on")->capture_default_str();
  app.add_option("--server-configuration", options.serverConfiguration,
                 "name of this host's server configuration, as GetServerConfiguration reports it")
      ->capture_default_str();
  app.add_option("--log-dir", options.logDirectory,
                 "folder of the instances' output files, <name>-<instance>.log; it must not be "
                 "writable by group or others")
      ->capture_default_str();
  app.add_option(
         "--state-file", options.stateFile,
         "where the registry is kept across restarts of the daemon (default with --log-dir: "
         "<log-dir>/zqmd.state)")
      ->capture_default_str();
  app.add_option(
      "--ready-fd", parsed.readyFd,
      "write a newline to this descriptor, and close it, once listening (readiness for scripts)");
  app.add_option("--config-server", options.configServer,
                 "middleware server (instance 0) that holds the launch configuration")
      ->capture_default_str();
  app.add_option(
      "--init-key", parsed.initKey,
      "write a new installation key to this file (mode 0600; never overwrites) and exit");
  app.add_option("--key", parsed.keyFile,
                 "the installation key file (default: $ZQM_KEY_FILE, else " +
                     zqm_auth::DefaultKeyPath() + ")");
  app.add_flag("--insecure", parsed.insecure,
               "run without a key: no handshake; keyed programs refuse this daemon")
      ->excludes("--key");
  app.add_option("--max-connections", options.limits.maxConnections,
                 "most authenticated connections open at once per socket; more are closed at "
                 "once (default: $ZQM_MAX_CONNECTIONS, else 4096)")
      ->check(CLI::Range(1, 1000000));
  app.add_option("--socket", options.socketPath,
                 "the local socket, through which this host's programs call (default: "
                 "$ZQM_DAEMON_SOCKET, else /run/zqmd/zqmd.sock for root)")
      ->capture_default_str();
  app.add_option("--cgroup", options.cgroup,
                 "cgroup v2 folder below which each instance runs in a cgroup of its own (made "
                 "when missing); default: the daemon's own cgroup when the service manager "
                 "delegated it (Delegate=yes), else none");
  app.add_option("--metrics-listen", options.metricsListen,
                 "serve metrics for Prometheus (GET /metrics) on PORT of 127.0.0.1, or on "
                 "ADDRESS:PORT; read-only, without a key: give an address other than loopback "
                 "only on a trusted network");
  app.add_option("--admin-group", options.administratorsGroup,
                 "members of this group administer the daemon through the local socket, as "
                 "root and the daemon's user do (\"\": nobody else)")
      ->capture_default_str();
}

int Read(int argc, const char* const* argv, DaemonCommandLine& parsed, std::ostream& out,
         std::ostream& err) {
  CLI::App app{
      "zqmd: the middleware daemon. Keeps the registry of this host's middleware servers, "
      "tells clients where an instance listens, and starts configured instances on demand.",
      "zqmd"};
  AddOptions(app, parsed);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error, out, err);
    return error.get_exit_code() == 0 ? 0 : (status == 0 ? 0 : 2);
  }
  // A folder of one's own keeps its registry beside its logs.
  if (app.count("--log-dir") > 0 && app.count("--state-file") == 0)
    parsed.options.stateFile = parsed.options.logDirectory + "/zqmd.state";
  return zqm_modules::kCommandLineRun;
}

}  // namespace
}  // namespace zqmd

extern "C" __attribute__((visibility("default"))) int zqmd_read_command_line(
    int argc, const char* const* argv, zqmd::DaemonCommandLine* parsed, std::ostream& out,
    std::ostream& err) noexcept {
  return zqm_modules::ReadCommandLineSafely(
      "zqmd", err, [&] { return zqmd::Read(argc, argv, *parsed, out, err); });
}
