// zqmd: the middleware daemon of a host.
#include <unistd.h>

#include <fcntl.h>
#include <CLI/CLI.hpp>
#include <asio.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <vector>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_limits.h"
#include "DEVUror/zqm_notify.h"
#include "DEVUror/zqm_trace.h"
#include "platform/process_memory.h"
#include "platform/scheduling.h"
#include "zq_version.h"
#include "zqmd/daemon.h"

namespace {

// Runs handlers until the loop is stopped. The lines they trace wake the
// trace writer only once nothing more is ready, so that no start waits for
// its own trace.
void RunHandlers(asio::io_context& io) {
  const zqm_trace::HeldWakes held;
  while (io.run_one() > 0) {
    io.poll();
    zqm_trace::WakeHeld();
  }
}

// Runs the event loop until it is stopped. A failure that escapes a handler
// is traced and the loop goes on: one bad event must not end the registry
// of every instance.
void RunLoop(asio::io_context& io) {
  for (;;) {
    try {
      RunHandlers(io);
      return;
    } catch (const ZQ_EException& failure) {
      zqm_trace::Line(
          0, "Unexpected failure in the event loop, which goes on: " + failure.ZQ_Message().Text());
    } catch (const std::exception& failure) {
      zqm_trace::Line(
          0, std::string("Unexpected failure in the event loop, which goes on: ") + failure.what());
    }
  }
}

// The listening sockets that systemd's socket activation hands over
// (LISTEN_PID, LISTEN_FDS: descriptors 3 on), made close-on-exec and taken
// out of the environment, so that no server the daemon starts sees them.
std::vector<int> TakeActivatedSockets() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  std::vector<int> sockets;
  if (pid != nullptr && count != nullptr && std::strtol(pid, nullptr, 10) == getpid()) {
    const long n = std::strtol(count, nullptr, 10);
    for (long i = 0; i < n && i < 64; ++i) {
      const int fd = 3 + static_cast<int>(i);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      sockets.push_back(fd);
    }
  }
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  return sockets;
}

int InitKey(const std::string& path) {
  try {
    zqm_auth::CreateKeyFile(path);
  } catch (const ZQ_EException& failure) {
    std::cerr << "zqmd: " << failure.ZQ_Message() << std::endl;
    return 1;
  }
  std::cout << "zqmd: wrote a new installation key to " << path
            << " (mode 0600); copy it to every host of the installation, or point ZQM_KEY_FILE "
               "at it"
            << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  zq_platform::KeepProcessMemorySmall();
  zq_platform::RequestShortTimeSlices();
  // Before any thread exists, and so that no server the daemon starts
  // inherits the service manager's socket.
  zqm_notify::TakeNotifySocket();
  zqmd::Options options;
  options.inheritedSockets = TakeActivatedSockets();
  CLI::App app{
      "zqmd: the middleware daemon. Keeps the registry of this host's middleware servers, "
      "tells clients where an instance listens, and starts configured instances on demand.",
      "zqmd"};
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
  int readyFd = -1;
  app.add_option(
      "--ready-fd", readyFd,
      "write a newline to this descriptor, and close it, once listening (readiness for scripts)");
  app.add_option("--config-server", options.configServer,
                 "middleware server (instance 0) that holds the launch configuration")
      ->capture_default_str();
  std::string initKey;
  app.add_option(
      "--init-key", initKey,
      "write a new installation key to this file (mode 0600; never overwrites) and exit");
  std::string keyFile;
  app.add_option("--key", keyFile,
                 "the installation key file (default: $ZQM_KEY_FILE, else " +
                     zqm_auth::DefaultKeyPath() + ")");
  bool insecure = false;
  app.add_flag("--insecure", insecure,
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return error.get_exit_code() == 0 ? 0 : (status == 0 ? 0 : 2);
  }

  // A folder of one's own keeps its registry beside its logs.
  if (app.count("--log-dir") > 0 && app.count("--state-file") == 0)
    options.stateFile = options.logDirectory + "/zqmd.state";

  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  if (!initKey.empty()) return InitKey(initKey);
  if (insecure) zqm_auth::UseInsecure();
  if (!keyFile.empty()) zqm_auth::UseKeyFile(keyFile);
  try {
    const auto credentials = zqm_auth::Current();
    if (credentials->insecure) {
      zqm_trace::Line(0, "Running without authentication (" + credentials->source +
                             "): anyone who can connect can call in");
    }
  } catch (const ZQ_EException& failure) {
    std::cerr << "zqmd: " << failure.ZQ_Message() << std::endl;
    return 1;
  }
  // The servers started from here find the address in their environment.
  if (!options.hostAddress.empty()) setenv("ZQM_LISTEN_ADDRESS", options.hostAddress.c_str(), 1);
  // Every watched instance holds a pidfd and its log; the instances start
  // with the limit the daemon was given, as they would have without it.
  options.instanceDescriptorLimit = zqm_limits::RaiseDescriptorLimit();
  std::signal(SIGPIPE, SIG_IGN);

  asio::io_context io(1);
  zqmd::Daemon daemon(io, options);
  try {
    daemon.Start();
  } catch (const ZQ_EException& failure) {
    std::cerr << "zqmd: " << failure.ZQ_Message() << std::endl;
    return 1;
  }
  if (readyFd >= 0) {
    [[maybe_unused]] ssize_t n = write(readyFd, "\n", 1);
    close(readyFd);
  }
  zqm_notify::Ready();
  asio::signal_set stop(io, SIGTERM, SIGINT);
  stop.async_wait([&](asio::error_code error, int signal) {
    if (error) return;
    zqm_trace::Line(0,
                    std::string("Stopping on ") + strsignal(signal) + "; the servers keep running");
    daemon.Stop();
    io.stop();
  });
  RunLoop(io);
  return 0;
}
