// The monitor registry: the sorted list of ServerMonitor records, one per
// instance of a configured server, under the registry lock.
#include "Custodel/Private/Source/custodel.h"

namespace {

// The site that a failure to start a watcher thread carries (with
// kCustodelSource): a stable identifier that failure reports show and tests
// compare, the line this site had in the service's original source; not a
// line of this file.
constexpr unsigned kThreadStateFailureLine = 415;

// The monitor's events, created in the order stop, started, running. On a
// failure the events already made are closed and ZQ_EException is thrown.
void CreateEvents(ServerMonitor& monitor) {
  HANDLE* const events[] = {&monitor.stopEvent, &monitor.startedEvent, &monitor.runningEvent};
  for (HANDLE* event : events) {
    *event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (*event != nullptr) continue;
    const DWORD error = GetLastError();
    for (HANDLE* made : events) {
      if (*made != nullptr) CloseHandle(*made);
      *made = nullptr;
    }
    ZQ_EException failure(ZQ_TString::Format(
        "cannot create the events of a monitor for \"%s\" (error %d)", monitor.serverName, error));
    ZQ_THROW_AT(failure, kCustodelSource, __LINE__);
  }
}

// Before the first monitor whose order is at least the new one's, so that
// the newest of equal orders stands first.
void Insert(ServerMonitor* monitor) {
  if (gMonitorList == nullptr) {
    gMonitorList = monitor;
    return;
  }
  ServerMonitor* at = gMonitorList;
  ServerMonitor* last = nullptr;
  for (; at != nullptr; last = at, at = at->next) {
    if (at->startupOrder >= monitor->startupOrder) break;
  }
  if (at == nullptr) {
    last->next = monitor;
    monitor->prev = last;
    return;
  }
  monitor->next = at;
  monitor->prev = at->prev;
  if (at->prev != nullptr) {
    at->prev->next = monitor;
  } else {
    gMonitorList = monitor;
  }
  at->prev = monitor;
}

ServerMonitor* FindMonitor(const ZQ_TString& serverName) {
  for (ServerMonitor* monitor = gMonitorList; monitor != nullptr; monitor = monitor->next) {
    if (monitor->serverName == serverName) return monitor;
  }
  return nullptr;
}

// Ends the watcher of `monitor`, if it has one that still runs.
void StopWatcher(ServerMonitor* monitor) {
  if (monitor->threadHandle == 0) return;
  const HANDLE thread = reinterpret_cast<HANDLE>(monitor->threadHandle);
  DWORD exitCode = 0;
  if (!GetExitCodeThread(thread, &exitCode)) {
    ZQ_EException failure(ZQ_TString::sEmpty, ZQ_TAny(monitor->serverName));
    ZQ_THROW_AT(failure, kCustodelSource, kThreadStateFailureLine);
  }
  if (exitCode != STILL_ACTIVE) return;
  WaitForSingleObject(monitor->startedEvent, INFINITE);
  SetEvent(monitor->stopEvent);
  WaitForSingleObject(thread, INFINITE);
}

}  // namespace

void AddMonitor(const ZQ_TString& serverName, unsigned startupOrder, unsigned delayAfterStartup,
                unsigned nrOfInstances) {
  ZQ_TLockGuard hold(gRegistryLock);
  gServer.DBG_Type(
      1, ZQ_TString::Format("Add monitor for server \"%s\", order = %d, delay after start = %d",
                            serverName, startupOrder, delayAfterStartup));
  if (FindMonitor(serverName) != nullptr) return;
  for (unsigned i = 0; i < nrOfInstances; ++i) {
    auto* monitor = new ServerMonitor;
    monitor->serverName = serverName;
    monitor->startupOrder = startupOrder;
    monitor->delayAfterStartup = delayAfterStartup;
    monitor->instance = i + 1;
    try {
      CreateEvents(*monitor);
    } catch (...) {
      delete monitor;
      throw;
    }
    Insert(monitor);
  }
}

void RemoveMonitor(const ZQ_TString& serverName) {
  const ZQ_TString name(serverName);
  ZQ_TLockGuard hold(gRegistryLock);
  while (ServerMonitor* monitor = FindMonitor(name)) {
    gServer.DBG_Type(1, ZQ_TString::Format("Remove monitor for \"%s\"; server instance: %d", name,
                                           monitor->instance));
    StopWatcher(monitor);
    UnlinkMonitor(monitor);
    FreeMonitor(monitor);
  }
}

void UnlinkMonitor(ServerMonitor* monitor) {
  if (monitor->prev != nullptr) {
    monitor->prev->next = monitor->next;
  } else {
    gMonitorList = monitor->next;
  }
  if (monitor->next != nullptr) monitor->next->prev = monitor->prev;
  monitor->next = monitor->prev = nullptr;
}

void FreeMonitor(ServerMonitor* monitor) {
  HANDLE thread = reinterpret_cast<HANDLE>(monitor->threadHandle);
  for (HANDLE* handle : {&thread, &monitor->startedEvent, &monitor->stopEvent,
                         &monitor->runningEvent, &monitor->processHandle}) {
    if (*handle != nullptr) CloseHandle(*handle);
    *handle = nullptr;
  }
  monitor->threadHandle = 0;
  delete monitor;
}
