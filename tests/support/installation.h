// A whole middleware installation for one end-to-end test: the daemon
// (zqmd) and the configuration server (almanac) as real processes, with a
// configuration file and a log folder in a temporary folder. Meant for tests
// that run in namespaces of their own (zq_add_test NETNS), where port 8088
// is theirs alone.
//
// The installation has a key of its own (in its folder), which its programs
// and the test process use.
//
// In the configuration text, "@BIN@" stands for the folder of the built
// programs, e.g. "Program": "@BIN@/sample_server".
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "support/child_process.h"
#include "typelib/dodived.h"

namespace zq_test {

class Host;

struct InstallationOptions {
  std::string serverConfiguration;  // what GetServerConfiguration answers
  int traceLevel = 2;               // ZQM_TRACE_LEVEL of every program
  bool startAlmanac = true;
  std::map<std::string, std::string> environment;  // more variables for every program
  // The host (hosts.h) whose programs these are: they run in its network
  // namespace and listen on its address as well; the test's calls go to
  // that address. Null: the test's own namespace.
  const Host* host = nullptr;
  // The key file to use, e.g. another host's; empty: a new one of its own.
  std::string keyFile;
  // Runs with the log folder's path before the daemon is first started
  // (to mount a file system there, say).
  std::function<void(const std::string& logDir)> beforeDaemon;
  // More flags of the daemon, e.g. {"--cgroup", folder}.
  std::vector<std::string> daemonArgs;
};

class Installation {
 public:
  explicit Installation(const std::string& configuration, InstallationOptions options = {});
  ~Installation();

  ChildProcess& Daemon() { return *daemon_; }
  ChildProcess& Almanac() { return *almanac_; }
  const TempDir& Dir() const { return dir_; }
  std::string LogDir() const { return dir_.File("logs"); }
  std::string KeyFile() const;
  // The daemon's local socket (ZQM_DAEMON_SOCKET of its programs, and of
  // the test process for an installation on the test's own host).
  std::string SocketPath() const;
  // Where the test reaches the installation's daemon and servers ("": here).
  std::string Address() const;

  // Stops the daemon (SIGTERM) and starts it again with the same command
  // line; returns once the new one listens. `beforeStart` runs in between.
  void RestartDaemon(const std::function<void()>& beforeStart = [] {});

  // Starts the service; waits for nothing.
  std::unique_ptr<ChildProcess> StartCustodel(std::map<std::string, std::string> env = {}) const;
  // Starts a program of the build with the installation's environment.
  std::unique_ptr<ChildProcess> Start(const std::string& program,
                                      std::vector<std::string> args = {},
                                      std::map<std::string, std::string> env = {}) const;
  // Runs a program of the build, as Start starts it, to its end.
  ProgramRun Run(const std::string& program, std::vector<std::string> args,
                 std::chrono::milliseconds timeout = 10s) const;

  // Writes a new configuration file (placeholders replaced); nothing reads it yet.
  void WriteConfiguration(const std::string& configuration) const;
  // Writes a new configuration file (placeholders replaced) and has the
  // configuration server reload it; throws when the reload fails.
  void Reconfigure(const std::string& configuration);

  // The daemon's "Servers" list for `name` ("*" for all).
  ZQ_TList Servers(const std::string& name) const;
  // The process id of a running instance, as the daemon reports it.
  std::optional<pid_t> PidOf(const std::string& name, unsigned instance) const;
  // Waits until the daemon has traced that the instance bound, counting
  // trace lines from `after`; returns the line's index.
  std::optional<std::size_t> WaitForBound(const std::string& name, unsigned instance,
                                          std::size_t after = 0,
                                          std::chrono::milliseconds timeout = 10s);

  // The environment every program of the installation gets.
  std::map<std::string, std::string> Environment() const;

 private:
  std::string Expand(const std::string& configuration) const;
  // The command line of a program of the build, in the installation's host.
  std::vector<std::string> CommandOf(const std::string& program,
                                     std::vector<std::string> args) const;
  void StartDaemon();

  TempDir dir_;
  InstallationOptions options_;
  std::unique_ptr<ChildProcess> daemon_;
  std::unique_ptr<ChildProcess> almanac_;
};

}  // namespace zq_test
