#include "custodel/custodel_test_support.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "DEVUror/zqm_trace.h"

namespace custodel_test {

namespace {

struct Capture {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<TraceLine> lines;
};

// Never destroyed: a watcher may still write while the process exits.
Capture& State() {
  static Capture* const state = new Capture;
  return *state;
}

void Keep(int level, std::string_view text) {
  Capture& state = State();
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    state.lines.push_back({level, std::string(text), Clock::now()});
  }
  state.changed.notify_all();
}

bool IsServiceText(const std::string& line) {
  static const char* const kPrefixes[] = {
      "Add monitor for server ",      "Remove monitor for ",
      "Starting monitor for server ", "Starting server ",
      "No connection with Server ",   "Failed to find process id of ",
      "No PID found for Server ",     "Server \"",
      "Stopped monitoring server "};
  for (const char* prefix : kPrefixes) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Each monitor from head to tail as `describe` puts it, under the registry
// lock. Fails the test when a prev link does not mirror the next link before
// it.
std::vector<std::string> DescribeMonitors(
    const std::function<std::string(const ServerMonitor&)>& describe) {
  std::vector<std::string> described;
  ZQ_TLockGuard hold(gRegistryLock);
  const ServerMonitor* previous = nullptr;
  for (const ServerMonitor* monitor = gMonitorList; monitor != nullptr; monitor = monitor->next) {
    EXPECT_EQ(previous, monitor->prev)
        << "prev link of " << monitor->serverName.Text() << " " << monitor->instance;
    described.push_back(describe(*monitor));
    previous = monitor;
  }
  return described;
}

}  // namespace

void StartTraceCapture() {
  setenv("ZQM_TRACE_LEVEL", "2", 1);
  Capture& state = State();
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    state.lines.clear();
  }
  zqm_trace::SetSink(&Keep);
}

std::vector<TraceLine> TraceLines() {
  Capture& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  return state.lines;
}

std::vector<TraceLine> TakeTraceLines() {
  Capture& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  return std::exchange(state.lines, {});
}

std::optional<std::size_t> WaitForTrace(const std::string& text, std::chrono::milliseconds timeout,
                                        std::size_t after) {
  Capture& state = State();
  std::unique_lock<std::mutex> hold(state.mutex);
  std::optional<std::size_t> found;
  state.changed.wait_for(hold, timeout, [&] {
    for (std::size_t i = after; i < state.lines.size(); ++i) {
      if (state.lines[i].text == text) {
        found = i;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<std::string> ServiceTraceTexts() {
  std::vector<std::string> texts;
  for (const TraceLine& line : TraceLines()) {
    if (IsServiceText(line.text)) texts.push_back(line.text);
  }
  return texts;
}

std::size_t LinesNaming(const std::string& name) {
  std::size_t count = 0;
  for (const std::string& line : ServiceTraceTexts()) {
    if (line.find(text::Q(name)) != std::string::npos) ++count;
  }
  return count;
}

std::vector<std::string> MonitorList() {
  return DescribeMonitors([](const ServerMonitor& monitor) {
    return monitor.serverName.Text() + " " + std::to_string(monitor.instance);
  });
}

std::vector<std::string> MonitorSettings() {
  return DescribeMonitors([](const ServerMonitor& monitor) {
    return monitor.serverName.Text() + "#" + std::to_string(monitor.instance) + " " +
           std::to_string(monitor.startupOrder) + "/" + std::to_string(monitor.delayAfterStartup);
  });
}

std::size_t MonitorsWithWatcher() {
  ZQ_TLockGuard hold(gRegistryLock);
  std::size_t watched = 0;
  for (const ServerMonitor* monitor = gMonitorList; monitor != nullptr; monitor = monitor->next) {
    if (monitor->threadHandle != 0) ++watched;
  }
  return watched;
}

ServerMonitor* FindMonitor(const std::string& name, unsigned instance) {
  ZQ_TLockGuard hold(gRegistryLock);
  for (ServerMonitor* monitor = gMonitorList; monitor != nullptr; monitor = monitor->next) {
    if (monitor->serverName.Text() == name && monitor->instance == instance) return monitor;
  }
  return nullptr;
}

bool IsClosed(HANDLE handle) {
  SetLastError(ERROR_SUCCESS);
  return WaitForSingleObject(handle, 0) == WAIT_FAILED && GetLastError() == ERROR_INVALID_HANDLE;
}

bool IsSet(HANDLE event) {
  return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

void RemoveAllMonitors() {
  ZQ_TLockGuard hold(gRegistryLock);
  while (gMonitorList != nullptr)
    RemoveMonitor(gMonitorList->serverName);
}

void StartWatcher(ServerMonitor& monitor) {
  ZQ_TLockGuard hold(gRegistryLock);
  monitor.threadHandle = _beginthreadex(nullptr, 0, &WatcherThread, &monitor, 0, &monitor.threadId);
  ASSERT_NE(0u, monitor.threadHandle);
}

bool FinishesWithin(std::chrono::milliseconds timeout, const std::function<void()>& work,
                    const std::function<void()>& release) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread helper([&] {
    work();
    done.set_value();
  });
  if (finished.wait_for(timeout) == std::future_status::ready) {
    helper.join();
    return true;
  }
  if (!release) {
    std::fprintf(stderr, "a call did not return within %lld ms; ending the test program\n",
                 static_cast<long long>(timeout.count()));
    std::_Exit(1);
  }
  release();
  helper.join();
  return false;
}

std::chrono::milliseconds Between(const TraceLine& earlier, const TraceLine& later) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(later.at - earlier.at);
}

void InProcessService::SetUp() {
  // The libraries' own hooks, not the service's: its hook remembers a
  // success, which its own test must see fresh.
  ASSERT_TRUE(__ZQ_INITIALIZATION_FUNCTION_dodived__());
  ASSERT_TRUE(__ZQ_INITIALIZATION_FUNCTION_DEVUror__());
  StartTraceCapture();
  ASSERT_TRUE(zqm_trace::Enabled(1)) << "the trace level was fixed before the test raised it";
  gShutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, gShutdownEvent);
}

void InProcessService::TearDown() {
  RemoveAllMonitors();
  if (gShutdownEvent != nullptr) CloseHandle(gShutdownEvent);
  gShutdownEvent = nullptr;
}

}  // namespace custodel_test
