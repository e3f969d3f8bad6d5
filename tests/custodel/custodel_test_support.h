// Helpers for tests that drive the service's routines inside the test
// process: the service's trace lines kept in memory, a view of the monitor
// list that checks both links, and the trace texts the service writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Custodel/Private/Source/custodel.h"

namespace custodel_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct TraceLine {
  int level;
  std::string text;
  Clock::time_point at;
};

// Sends every trace line of the process into memory and forgets the lines
// of earlier tests. Raises the trace level first: the level is read once, at
// the first trace call of the process.
void StartTraceCapture();
std::vector<TraceLine> TraceLines();
// The lines kept so far, which are then forgotten: for tests that look at
// one step's lines at a time (the indices of WaitForTrace start again at 0).
std::vector<TraceLine> TakeTraceLines();
// Index of the first line equal to `text` at or after `after`, waiting up to
// `timeout` for it.
std::optional<std::size_t> WaitForTrace(const std::string& text, std::chrono::milliseconds timeout,
                                        std::size_t after = 0);
// The texts the service's own code wrote, in order; the middleware's lines
// (connections closed and the like) are left out.
std::vector<std::string> ServiceTraceTexts();
// How many service lines mention the server `name` (quoted).
std::size_t LinesNaming(const std::string& name);

// "<name> <instance>" of each monitor from head to tail. Fails the test when
// a prev link does not mirror the next link before it.
std::vector<std::string> MonitorList();
// The same walk, as "<name>#<instance> <order>/<delay>".
std::vector<std::string> MonitorSettings();
// How many monitors of the list have a watcher thread.
std::size_t MonitorsWithWatcher();
ServerMonitor* FindMonitor(const std::string& name, unsigned instance);

// The kernel layer refuses a closed handle, so a handle that still answers a
// wait has leaked.
bool IsClosed(HANDLE handle);
bool IsSet(HANDLE event);

// Removes every monitor the way shut-down does: under the registry lock,
// by the name of the head.
void RemoveAllMonitors();
// Gives `monitor` its watcher thread the way StartMonitors does, without
// waiting for anything.
void StartWatcher(ServerMonitor& monitor);

// Runs `work` on a helper thread; false when it has not returned within
// `timeout`. `release` then frees it (e.g. sets the event it wrongly waits
// for) so that the helper can be joined; without one, a hang ends the test
// program, since the stuck thread may hold the registry lock.
bool FinishesWithin(std::chrono::milliseconds timeout, const std::function<void()>& work,
                    const std::function<void()>& release = {});

std::chrono::milliseconds Between(const TraceLine& earlier, const TraceLine& later);

// The service's trace texts, word for word.
namespace text {
inline std::string Q(const std::string& name) {
  return "\"" + name + "\"";
}
inline std::string Of(const std::string& name, unsigned instance) {
  return Q(name) + " instance " + std::to_string(instance);
}
inline std::string AddMonitor(const std::string& name, unsigned order, unsigned delay) {
  return "Add monitor for server " + Q(name) + ", order = " + std::to_string(order) +
         ", delay after start = " + std::to_string(delay);
}
inline std::string RemoveMonitor(const std::string& name, unsigned instance) {
  return "Remove monitor for " + Q(name) + "; server instance: " + std::to_string(instance);
}
inline std::string StartingMonitor(const std::string& name) {
  return "Starting monitor for server " + Q(name);
}
inline std::string StartingServer(const std::string& name, unsigned instance) {
  return "Starting server " + Of(name, instance);
}
inline std::string NoConnection(const std::string& name, unsigned instance) {
  return "No connection with Server " + Of(name, instance);
}
inline std::string IsRunning(const std::string& name, unsigned instance) {
  return "Server " + Of(name, instance) + " is running";
}
inline std::string HasDied(const std::string& name, unsigned instance) {
  return "Server " + Of(name, instance) + " has died";
}
inline std::string NotRunning(const std::string& name, unsigned instance) {
  return "Server " + Of(name, instance) + " is not running; delay";
}
inline std::string StoppedMonitoring(const std::string& name, unsigned instance) {
  return "Stopped monitoring server " + Of(name, instance);
}
inline std::string DidNotStart(const std::string& name) {
  return "Server " + Q(name) + " did not start within 10 seconds";
}
inline std::string RequiresSeconds(const std::string& name, unsigned seconds) {
  return "Server " + Q(name) + " requires " + std::to_string(seconds) + " seconds to startup";
}
// The one trace entry of a failed lookup: the name, then, on a continuation
// line, the exception as PrintOn writes it.
inline std::string LookupFailed(const std::string& name, const std::string& printedException) {
  return "Failed to find process id of " + name + "\n\t" + printedException;
}
}  // namespace text

// The state each in-process test of the start-up gate and the watcher needs,
// as the service's start-up makes it: initialised libraries, the shutdown
// event, and the trace kept in memory. Every monitor is removed at the end,
// so no watcher outlives its test.
class InProcessService : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace custodel_test
