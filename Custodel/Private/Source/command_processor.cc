// The command processor of the RPC server "Custodel".
#include <utility>

#include "Custodel/Private/Source/custodel.h"

namespace {

void IgnoreServer(const ZQ_TDict& arguments, ZQ_TAny& result) {
  try {
    const ZQ_TString& name = arguments["P1"].DynamicCast<ZQ_TString>(kCustodelSource, __LINE__);
    if (name == "*") {
      Reconfigure(false);
    } else {
      RemoveMonitor(name);
    }
    result = 1;
  } catch (...) {
    // The caller learns of the failure from the result alone.
    result = 0;
  }
}

// The monitor list as it stands; the watcher threads' fields are atomics,
// read without stopping them.
ZQ_TList ListMonitors() {
  ZQ_TList list;
  ZQ_TLockGuard hold(gRegistryLock);
  for (const ServerMonitor* monitor = gMonitorList; monitor != nullptr; monitor = monitor->next) {
    ZQ_TDict entry;
    entry.Set("Server", ZQ_TAny(monitor->serverName));
    entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(static_cast<std::uint16_t>(monitor->instance))));
    entry.Set("StartupOrder", ZQ_TAny(ZQ_TUInt32(monitor->startupOrder)));
    entry.Set("DelayAfterStartup", ZQ_TAny(ZQ_TUInt32(monitor->delayAfterStartup)));
    entry.Set("Watching", ZQ_TAny(monitor->threadHandle != 0));
    unsigned pid = 0;
    std::uint32_t since = 0;
    const bool running = monitor->Running(pid, since);
    entry.Set("Running", ZQ_TAny(running));
    if (running) {
      entry.Set("PID", ZQ_TAny(ZQ_TUInt32(pid)));
      entry.Set("Since", ZQ_TAny(ZQ_TUInt32(since)));
    }
    entry.Set("Restarts", ZQ_TAny(ZQ_TUInt32(monitor->restarts)));
    list.Append(ZQ_TAny(std::move(entry)));
  }
  return list;
}

}  // namespace

void ProcessCommand(ZQM_TServer&, const ZQ_TDict& arguments, ZQ_TAny& result, void*) {
  const ZQ_TString& method = arguments["M"].DynamicCast<ZQ_TString>(kCustodelSource, __LINE__);
  if (method == "Reconfigure") {
    Reconfigure(true);
    result = 1;
  } else if (method == "Stop") {
    Reconfigure(false);
    result = 1;
  } else if (method == "IgnoreServer") {
    IgnoreServer(arguments, result);
  } else if (method == "WatchServer") {
    ReconfigureServer(arguments["P1"].DynamicCast<ZQ_TString>(kCustodelSource, __LINE__));
    result = 1;
  } else if (method == "ListMonitors") {
    result = ZQ_TAny(ListMonitors());
  } else {
    ZQM_ENoSuchServerMethod unknown(method);
    unknown.__PREPARE_FOR_THROW__(__LINE__, kCustodelSource).ZQ_Throw();
  }
}
