// Shared pieces of the service's reconfiguration tests: configuration texts
// for an installation, a running `custodel` whose trace lines a test reads
// and waits for, and calls of its RPC methods.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/installation.h"
#include "typelib/dodived.h"

namespace custodel_test {

using namespace std::chrono_literals;
using zq_test::ChildProcess;
using zq_test::Installation;
using zq_test::InstallationOptions;

// One server of the daemon's list: a sample server with `settings` (JSON
// members, may be empty) after its program.
std::string ServerEntry(const std::string& name, const std::string& settings);
// A whole configuration file: the servers' entries under
// "Servers/ZQMD/Servers" and `extra` (JSON members, may be empty) at the top.
std::string Configuration(const std::vector<std::string>& servers, const std::string& extra = "");

// Makes the type library and the middleware ready in the test process, so
// that failures from a server arrive as their own classes.
void InitialiseLibraries();

// The `custodel` program of an installation, started by the constructor and
// killed by the destructor.
class Service {
 public:
  explicit Service(const Installation& installation);

  ChildProcess& Process() { return *process_; }

  // Waits for a trace line whose text is exactly `text`, looking at output
  // lines from index `after`; returns the line's index. Throws with the
  // output when it does not come within `timeout`.
  std::size_t Await(const std::string& text, std::size_t after = 0,
                    std::chrono::milliseconds timeout = 20s);
  // The same for a text matching the regular expression `textPattern`.
  std::size_t AwaitPattern(const std::string& textPattern, std::size_t after = 0,
                           std::chrono::milliseconds timeout = 20s);
  // The texts of the trace lines among output lines [from, to), in order.
  std::vector<std::string> Texts(std::size_t from = 0, std::size_t to = std::string::npos) const;
  // How many of those are exactly `text`.
  std::size_t Count(const std::string& text, std::size_t from = 0,
                    std::size_t to = std::string::npos) const;
  // The texts that start with `prefix`, among lines [from, to).
  std::vector<std::string> TextsStartingWith(const std::string& prefix, std::size_t from = 0,
                                             std::size_t to = std::string::npos) const;

  // Waits for the program to end and for the last of its output to be
  // read; its exit status, or nothing after `timeout`.
  std::optional<int> WaitForEnd(std::chrono::milliseconds timeout = 20s);

  // Calls a method of "Custodel" instance 1; the server's failure reaches
  // the caller as its own class.
  ZQ_TAny Call(const std::string& method, const ZQ_TList& arguments = ZQ_TList()) const;
  // Asks for a reconfiguration and returns the index of its first trace
  // line: every line the service wrote before the call has been read by
  // then. Changes nothing while the configuration is unchanged.
  std::size_t Sync();

 private:
  std::unique_ptr<ChildProcess> process_;
};

// The text of a service trace line (level and text), or nothing for any
// other line.
struct TraceLine {
  int level = 0;
  std::string text;
  double seconds = 0;  // the time stamp, seconds since 1970
};
std::optional<TraceLine> ParseTraceLine(const std::string& line);

// The pid of a running instance according to the daemon; throws when there
// is none.
pid_t RequirePid(const Installation& installation, const std::string& name, unsigned instance);
// The names of the servers the daemon lists, each once per instance,
// sorted: "Name#instance".
std::vector<std::string> RunningInstances(const Installation& installation);

// The value as a ZQ_TUInt32, or nothing when it is another class.
std::optional<std::uint32_t> UInt32Of(const ZQ_TAny& value);

}  // namespace custodel_test
