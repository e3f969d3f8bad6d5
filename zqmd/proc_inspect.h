// What /proc tells the daemon about the processes of this host: which of
// them are instances it started, and which TCP ports a process listens on
// (from its descriptors and the kernel's socket diagnostics).
// Everything read from /proc is bounded before it is kept.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zqmd {

// The variables by which the daemon marks every instance it starts, so that
// a restarted daemon finds its instances even when its state file was lost
// or is stale. ZQM_DAEMON names the daemon ("<listen address>:<port>"),
// ZQM_LAUNCH is a random id of the launch, and ZQM_PROGRAM the program the
// launch was configured with. Whatever the instance starts inherits all of
// them: the launch id ties such processes to their launch, and the program
// tells an instance from a helper that runs another one.
constexpr const char* kDaemonMarkVariable = "ZQM_DAEMON";
constexpr const char* kLaunchMarkVariable = "ZQM_LAUNCH";
constexpr const char* kProgramMarkVariable = "ZQM_PROGRAM";
// Set to "1" on a plain program's processes: one found without the state
// file listens on no port, and is not waited for as a server that is still
// starting.
constexpr const char* kPlainMarkVariable = "ZQM_PLAIN";

struct MarkedProcess {
  pid_t pid = 0;
  uid_t uid = 0;  // real user id
  std::uint64_t startTicks = 0;
  std::string name;
  unsigned short instance = 0;
  std::string launch;   // "" when not marked (started by an earlier daemon)
  std::string program;  // likewise
  std::string exe;      // the executable it runs now, " (deleted)" taken off; "" when unknown
  bool plain = false;   // launched as a plain program
};

// The processes that carry ZQM_SERVER_NAME, ZQM_SERVER_INSTANCE and
// ZQM_DAEMON=`mark` in their environment and lead a session of their own
// (as every started instance does, and any helper of it that called
// setsid). Processes whose environment we may not read are skipped.
std::vector<MarkedProcess> FindMarkedProcesses(const std::string& mark);

// The TCP ports (IPv4 and IPv6, of this process's network namespace) on
// which process `pid` holds a listening socket, only `port` looked at unless
// it is 0; nullopt with `problem` set when its descriptors or the kernel's
// socket list cannot be read.
std::optional<std::set<unsigned short>> ListeningPorts(pid_t pid, std::string& problem,
                                                       unsigned short port = 0);

// The fields of /proc/<pid>/stat after the command name, which may itself
// hold any byte, spaces, parentheses and line breaks among them (fields are
// counted from its last ')'): [0] state, [1] parent, [2] process group,
// [3] session, [19] start time in clock ticks since boot. Empty when there is
// no such process.
std::vector<std::string> StatFields(pid_t pid);

// When process `pid` started, in clock ticks since boot; nullopt when there
// is no such process.
std::optional<std::uint64_t> ProcessStartTicks(pid_t pid);

// The real user id of `pid`; nullopt when there is no such process.
std::optional<uid_t> RealUid(pid_t pid);

// The parent of `pid`; nullopt when there is no such process.
std::optional<pid_t> ParentPid(pid_t pid);

// The wall-clock time of a process start given in clock ticks since boot.
std::chrono::system_clock::time_point StartTime(std::uint64_t startTicks);

}  // namespace zqmd
