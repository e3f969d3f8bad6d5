// How the daemon starts an instance: read from the configuration tree, under
// "Servers/ZQMD/Servers/<name>/", the keys
//
//   "Program"           text, required: the program; a name without a slash
//                       is looked up in PATH
//   "Arguments"         list of texts: the arguments after the program name
//   "Environment"       tree of texts: variables added to the daemon's own
//   "WorkingDirectory"  text: where the instance runs (default: the
//                       daemon's working directory)
//   "Plain"             true/false: the program serves no RPC and never
//                       binds (a web server, say); default false
//   "StartTimeout"      number, milliseconds: how long a client waits for a
//                       started instance to bind (default 10000)
//   "User"              text or number: the user the instance runs as (a
//                       text of digits is a uid); only a root daemon can
//                       start another user's instance (credentials.h)
//   "Group"             text or number: the instance's group (default: the
//                       user's primary group, or the daemon's when no
//                       "User" is given)
//   "LogMaxBytes"       number: the size beyond which the instance's log is
//                       rotated (default 10485760; 0: never)
//   "LogFilesKept"      number: rotated logs kept beside it, <log>.1 (the
//                       newest) to <log>.N (default 5, at most 100; 0: none)
//   "BackoffMinimumUptime"  number, milliseconds: an instance that ends
//                       sooner after its start has crashed, and is not
//                       started again for a while (see Backoff); absent or
//                       0: restarts stay immediate
//   "BackoffInitialDelay"   number, milliseconds: the first such pause
//                       (default 100)
//   "BackoffMaximumDelay"   number, milliseconds: the longest pause
//                       (default 30000)
//   "Readiness"         text: when a started instance is ready, and so its
//                       start complete: "notify" (it sends READY=1 to the
//                       socket in NOTIFY_SOCKET), "tcp:PORT" (a connect to
//                       127.0.0.1:PORT succeeds) or
//                       "http://127.0.0.1:PORT/PATH" (a GET answers 2xx);
//                       absent: once it runs (plain) or has bound
//   "HealthCheck"       tree: a check the daemon repeats while the instance
//                       runs, ending it after FailuresBeforeRestart failures
//                       in a row; one of "Command" (list of texts: passes
//                       when it exits 0), "Tcp" (number: a port of
//                       127.0.0.1 that accepts) or "Http" (text, as in
//                       "Readiness"), and "IntervalMs" (default 10000),
//                       "TimeoutMs" (default 2000, at most IntervalMs),
//                       "FailuresBeforeRestart" (default 3)
//   "MemoryMax"         number of bytes, or a text of digits ending in K,
//                       M, G or T (powers of 1024): the memory the
//                       instance's processes may use together (memory.max)
//   "CPUWeight"         number, 1 to 10000: its share of the CPU against
//                       the other instances (cpu.weight; the kernel's
//                       default is 100)
//   "TasksMax"          number, from 1: the processes and threads it may
//                       have at once (pids.max)
// The last three need the daemon's cgroups (cgroups.h); without them they
// are ignored, with a trace line at each start.
//
// In "Arguments", "Environment" values and "WorkingDirectory" the
// placeholders "{name}" and "{instance}" (and in "HealthCheck/Command") stand for the server name
// and the instance number. Every instance also finds its server name and instance number in
// ZQM_SERVER_NAME and ZQM_SERVER_INSTANCE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "typelib/dodived.h"

namespace zqmd {

constexpr unsigned kDefaultStartTimeoutMs = 10000;
constexpr std::uint32_t kDefaultLogMaxBytes = 10u * 1024 * 1024;
constexpr unsigned kDefaultLogFilesKept = 5;
constexpr unsigned kMaxLogFilesKept = 100;

// When an instance's log is rotated, and how many old ones are kept.
struct LogLimits {
  std::uint32_t maxBytes = kDefaultLogMaxBytes;  // 0: never rotated
  unsigned filesKept = kDefaultLogFilesKept;
};

// Crash-loop protection: each crash (an end within minimumUptimeMs of the
// start) doubles the pause before the next start, from initialDelayMs up to
// maximumDelayMs; a run that lasts longer than minimumUptimeMs starts over.
struct Backoff {
  unsigned minimumUptimeMs = 0;  // 0: off
  unsigned initialDelayMs = 100;
  unsigned maximumDelayMs = 30000;
  bool Enabled() const { return minimumUptimeMs != 0; }
};

constexpr unsigned kDefaultHealthIntervalMs = 10000;
constexpr unsigned kDefaultHealthTimeoutMs = 2000;
constexpr unsigned kDefaultHealthFailures = 3;
// Below this the checks would cost more than what they find out.
constexpr unsigned kMinHealthIntervalMs = 100;
// Longest path an HTTP probe sends: it is one line of its request.
constexpr std::size_t kMaxProbePathBytes = 1024;

// Where the daemon probes an instance: a TCP connect to 127.0.0.1:port,
// and, when httpPath is set, a GET of that path that must answer 2xx.
struct ProbeTarget {
  unsigned short port = 0;  // 0: none
  std::string httpPath;     // "" for a bare connect
};

struct Readiness {
  enum class Kind { kNone, kNotify, kProbe };
  Kind kind = Kind::kNone;
  ProbeTarget probe;  // for kProbe
};

struct HealthCheck {
  std::vector<std::string> command;  // a command; else
  ProbeTarget probe;                 // a probe; neither: no check
  unsigned intervalMs = kDefaultHealthIntervalMs;
  unsigned timeoutMs = kDefaultHealthTimeoutMs;
  unsigned failuresBeforeRestart = kDefaultHealthFailures;
  bool Enabled() const { return !command.empty() || probe.port != 0; }
};

// The opt-in limits of an instance's cgroup (cgroups.h); 0: not set.
struct CgroupLimits {
  std::uint64_t memoryMax = 0;  // bytes
  unsigned cpuWeight = 0;       // 1 to 10000
  std::uint64_t tasksMax = 0;
  bool Any() const { return memoryMax != 0 || cpuWeight != 0 || tasksMax != 0; }
};

struct LaunchConfig {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;
  std::string workingDirectory;
  bool plain = false;
  unsigned startTimeoutMs = kDefaultStartTimeoutMs;
  std::string user;   // "" when not configured; a number as its digits
  std::string group;  // likewise
  LogLimits log;
  Backoff backoff;
  Readiness readiness;
  HealthCheck health;
  CgroupLimits limits;
  // "NrOfInstances" (default 1), as the service reads it: a server may have
  // the daemon start instances up to this number, only an administrator
  // more.
  unsigned nrOfInstances = 1;
};

// The launch configuration of instance `instance` of `name` from its server
// subtree, placeholders replaced. Throws ZQ_EException with a message naming
// the key for a missing program or a value of the wrong kind.
LaunchConfig ReadLaunchConfig(const ZQ_TTree& server, const std::string& name, unsigned instance);

// The command line as one text, for trace lines.
std::string CommandLine(const LaunchConfig& launch);

}  // namespace zqmd
