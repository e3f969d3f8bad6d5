// What the commands of supervision_bench share: their options, a whole
// installation with the service over it, and the report tables.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "support/installation.h"
#include "support/test_cgroup.h"

namespace zq_bench {

// A command and its "--key value" options.
struct Options {
  std::string command;
  std::map<std::string, std::string> values;
  std::vector<std::string> env;

  unsigned Number(const std::string& key, unsigned fallback) const;
  std::string Text(const std::string& key, const std::string& fallback) const;
};

// One server of the configuration tree.
struct ServerEntry {
  std::string name;
  std::string program;  // "@BIN@/sample_server" or a plain program
  std::vector<std::string> arguments;
  unsigned instances = 1;
  bool plain = false;
  std::map<std::string, std::string> environment;
};

std::string ConfigurationText(const std::vector<ServerEntry>& servers);

// `total` instances of `like` spread over `serverCount` servers, named after
// `like` with the server's number (without one when there is one server).
std::vector<ServerEntry> SpreadInstances(unsigned total, unsigned serverCount,
                                         const ServerEntry& like);

// `total` instances of sample_server spread over `serverCount` servers.
std::vector<ServerEntry> SampleServers(unsigned total, unsigned serverCount,
                                       const std::string& prefix = "Worker");

// "Server \"Worker3\" instance 7 is running", the watcher's word that it
// found the instance's process and waits on it.
bool IsRunningLine(const std::string& line);

// A whole installation and the service over it. With ZQ_BENCH_CGROUP=1 in
// the environment the daemon puts each instance in a cgroup of its own,
// below a folder the run makes (as under systemd's Delegate=yes). The destructor ends every
// process: the service first (so that nothing is restarted), then every
// instance the daemon knows of, then the daemon and the configuration
// server.
class Run {
 public:
  explicit Run(const std::vector<ServerEntry>& servers);
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  zq_test::Installation& Installation() { return installation_; }
  TracedProcess& Service() { return *service_; }
  unsigned Expected() const { return expected_; }

  // Starts the service; returns CLOCK_MONOTONIC just before the spawn.
  std::int64_t StartService();

  // Waits until every configured instance has been reported running once;
  // the index of the last of those lines.
  std::size_t WaitAllRunning(std::chrono::milliseconds timeout);

  pid_t DaemonPid() { return installation_.Daemon().Pid(); }
  pid_t AlmanacPid() { return installation_.Almanac().Pid(); }

 private:
  std::unique_ptr<zq_test::TestCgroup> cgroup_;  // outlives the installation
  zq_test::Installation installation_;
  std::unique_ptr<TracedProcess> service_;
  unsigned expected_ = 0;
};

// "## title" and the machine's load.
void PrintHeader(const std::string& title);
// A table of summaries in milliseconds: its header, then one row each.
void PrintSummaryHeader();
void PrintSummary(const std::string& what, const std::vector<double>& samples);

double Ms(std::int64_t ns);

}  // namespace zq_bench
