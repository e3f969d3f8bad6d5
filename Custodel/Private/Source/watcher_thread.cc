// The watcher thread of one monitor: starts the instance through the
// middleware, finds its process through the daemon, waits on it, and starts
// it again the moment it ends.
#include <ctime>
#include <optional>
#include <sstream>

#include "Custodel/Private/Source/custodel.h"
#include "DEVUror/zqm_shutdown.h"
#include "DEVUror/zqm_socket_io.h"
#include "DEVUror/zqm_trace.h"
#include "platform/process_memory.h"
#include "platform/scheduling.h"
#include "platform/thread_wake.h"

namespace {

// The sites that failures of the lookup carry (with kCustodelSource): stable
// identifiers that failure reports show and that callers and tests compare,
// the lines these sites had in the service's original source; they are not
// lines of this file and must not follow it when it changes.
constexpr unsigned kListCastLine = 135;
constexpr unsigned kDictCastLine = 137;
constexpr unsigned kInstanceCastLine = 139;
constexpr unsigned kPidCastLine = 142;
constexpr unsigned kOpenProcessFailureLine = 151;

void Log(const char* format, const ServerMonitor& monitor) {
  gServer.DBG_Type(0, ZQ_TString::Format(format, monitor.serverName, monitor.instance));
}

bool StopAsked(const ServerMonitor& monitor) {
  return WaitForSingleObject(monitor.stopEvent, 0) == WAIT_OBJECT_0;
}

// Whether a failed call was the watcher's stop rather than the daemon's
// answer: its monitor is being removed, or the process shuts down (which
// then ends the pass under way too). Such a watcher ends without a word.
bool Abandoned(const ServerMonitor& monitor) {
  if (StopAsked(monitor)) return true;
  if (!zqm_shutdown::InProgress()) return false;
  SetEvent(gShutdownEvent);
  return true;
}

// Connects to the instance by name, which makes the middleware start it
// when it is not running. Returns false when the process is shutting down
// or the watcher was stopped on the way.
bool StartAttempt(ServerMonitor& monitor) {
  try {
    ZQM_TClient client;
    client.SetConnectionAttempts(1);
    client.SetConnectionInterval(10);
    client.Connect(ZQ_TSocket::HostName(false), monitor.serverName,
                   static_cast<unsigned short>(monitor.instance),
                   static_cast<ZQM_TClient::TLocationMode>(0));
    client.Reconnect();
  } catch (const ZQM_EShutdownInProgress&) {
    SetEvent(gShutdownEvent);
    return false;
  } catch (...) {
    if (Abandoned(monitor)) return false;
    Log("No connection with Server \"%s\" instance %d", monitor);
  }
  return true;
}

// Asks the daemon for the instance's process and opens it. Returns the
// process handle and its pid in `pid`, or null when the instance is not
// running.
HANDLE FindProcess(ServerMonitor& monitor, unsigned& pid) {
  ZQM_TClient daemon;
  daemon.SetCallTimeout(kDaemonCallTimeoutMs);
  daemon.Connect(ZQ_TSocket::HostName(false), kDaemonPort);
  const ZQ_TAny reply = daemon.RPC(ZQ_TString("Servers"), ZQ_TAny(monitor.serverName));
  const ZQ_TList& instances = reply.DynamicCast<ZQ_TList>(kCustodelSource, kListCastLine);
  for (ZQ_TConstIterator it(instances); !it.IsDone(); it++) {
    const ZQ_TDict& element = it.Value().DynamicCast<ZQ_TDict>(kCustodelSource, kDictCastLine);
    if (!element.Contains(L"Instance")) continue;
    const std::uint16_t instance =
        element[L"Instance"].DynamicCast<ZQ_TUInt16>(kCustodelSource, kInstanceCastLine);
    if (instance != monitor.instance) continue;
    // The first element of this instance decides.
    if (!element.Contains(L"PID")) return nullptr;
    pid = element["PID"].DynamicCast<ZQ_TUInt32>(kCustodelSource, kPidCastLine);
    monitor.processHandle = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (monitor.processHandle == nullptr) {
      ZQ_EException failure(ZQ_TString::sEmpty, ZQ_TAny(static_cast<unsigned>(pid)));
      ZQ_THROW_AT(failure, kCustodelSource, kOpenProcessFailureLine);
    }
    return monitor.processHandle;
  }
  return nullptr;
}

// FindProcess, its failures traced; nullopt when the watcher was stopped
// on the way.
std::optional<HANDLE> Lookup(ServerMonitor& monitor, unsigned& pid) {
  try {
    return FindProcess(monitor, pid);
  } catch (const ZQ_EException& failure) {
    if (Abandoned(monitor)) return std::nullopt;
    // One entry of two lines: the second, the exception, is marked as the
    // continuation of the first.
    std::ostringstream printed;
    failure.PrintOn(printed);
    zqm_trace::Report(0, "Failed to find process id of " +
                             zqm_trace::Escaped(monitor.serverName.Text()) + "\n" +
                             zqm_trace::Escaped(printed.str()) + "\n");
  } catch (...) {
    if (Abandoned(monitor)) return std::nullopt;
    Log("No PID found for Server \"%s\" instance %d", monitor);
  }
  return nullptr;
}

// One pass: a start attempt, a lookup, and a wait. Returns whether to go on
// watching.
bool WatchOnce(ServerMonitor& monitor) {
  ResetEvent(monitor.runningEvent);
  HANDLE waitHandles[3] = {monitor.stopEvent, gShutdownEvent, nullptr};
  Log("Starting server \"%s\" instance %d", monitor);
  // The request that starts the instance is urgent, its answer is not: it
  // comes just after the new process has started, often on this CPU, and a
  // wake-up with a short slice would take the CPU from it at once.
  zqm_io::OnNextWait(zq_platform::RelaxTimeSlice);
  if (!StartAttempt(monitor)) return false;

  unsigned pid = 0;
  const std::optional<HANDLE> process = Lookup(monitor, pid);
  if (!process) return false;
  waitHandles[2] = *process;
  if (waitHandles[2] != nullptr) {
    SetEvent(monitor.runningEvent);
    monitor.SetRunning(pid, std::time(nullptr));
    Log("Server \"%s\" instance %d is running", monitor);
    zqm_trace::WakeHeld();
    // The wait lasts as long as the instance runs: the stack pages of the
    // start and the lookup are not needed meanwhile.
    zq_platform::ReleaseStackBelowCaller();
    // What ends this wait is the instance's end: urgent again.
    zqm_io::OnNextWait(nullptr);
    zq_platform::TakeShortTimeSliceAgain();
    const DWORD result = WaitForMultipleObjects(3, waitHandles, FALSE, INFINITE);
    monitor.SetRunning(0, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) return false;
    if (result == WAIT_OBJECT_0 + 2) {
      Log("Server \"%s\" instance %d has died", monitor);
      ++monitor.restarts;
    }
    CloseHandle(monitor.processHandle);
    monitor.processHandle = nullptr;
    return true;  // start again at once
  }
  Log("Server \"%s\" instance %d is not running; delay", monitor);
  zqm_trace::WakeHeld();
  const DWORD result = WaitForMultipleObjects(2, waitHandles, FALSE, kNotRunningPauseMs);
  return !(result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1);
}

}  // namespace

unsigned WatcherThread(void* argument) {
  ServerMonitor& monitor = *static_cast<ServerMonitor*>(argument);
  // From an instance's end to its new start's request, the thread's lines
  // wait for it to wait (see WakeHeld below and in the middleware's calls).
  const zqm_trace::HeldWakes held;
  try {
    // Whatever the daemon does, stopping the watcher ends its calls at once.
    // The stop comes as a signal to this thread rather than through a
    // descriptor of its own: a host of thousands of instances would need
    // one more descriptor for each.
    const zq_platform::WakeOnSet stopWakes(monitor.stopEvent);
    const auto stopAsked = [](void* asked) {
      return StopAsked(*static_cast<ServerMonitor*>(asked));
    };
    const zqm_io::AbortOn stoppable({zqm_shutdown::WakeDescriptor()},
                                    {zq_platform::WakeableMask, stopAsked, &monitor});
    gServer.DBG_Type(0,
                     ZQ_TString::Format("Starting monitor for server \"%s\"", monitor.serverName));
    SetEvent(monitor.startedEvent);
    while (WatchOnce(monitor)) {
    }
    Log("Stopped monitoring server \"%s\" instance %d", monitor);
  } catch (...) {
    // Only tracing can throw out here (memory exhaustion); the thread ends
    // as if stopped, and RemoveMonitor finds it ended.
    SetEvent(monitor.startedEvent);
  }
  return 0;
}
