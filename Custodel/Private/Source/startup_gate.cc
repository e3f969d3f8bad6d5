// The start-up gate: new monitors get their watcher threads one at a time,
// in start-up order, each followed by its instance's start and its delay.
#include "Custodel/Private/Source/custodel.h"

void StartMonitors() {
  ZQ_TLockGuard hold(gRegistryLock);
  ServerMonitor* monitor = gMonitorList;
  while (monitor != nullptr) {
    if (monitor->threadHandle != 0) {
      monitor = monitor->next;
      continue;
    }
    monitor->threadHandle =
        _beginthreadex(nullptr, 0, &WatcherThread, monitor, 0, &monitor->threadId);
    if (monitor->threadHandle == 0) {
      ServerMonitor* following = monitor->next;
      UnlinkMonitor(monitor);
      FreeMonitor(monitor);
      monitor = following;
      continue;
    }
    const HANDLE waitFor[2] = {monitor->runningEvent, gShutdownEvent};
    const DWORD result = WaitForMultipleObjects(2, waitFor, FALSE, kRunningWaitMs);
    if (result == WAIT_OBJECT_0 + 1) return;
    if (result == WAIT_TIMEOUT) {
      gServer.DBG_Type(0, ZQ_TString::Format("Server \"%s\" did not start within 10 seconds",
                                             monitor->serverName));
    }
    if (monitor->delayAfterStartup > 0) {
      gServer.DBG_Type(
          0, ZQ_TString::Format("Server \"%s\" requires %d seconds to startup", monitor->serverName,
                                monitor->delayAfterStartup / 1000));
      Sleep(monitor->delayAfterStartup);
    }
    monitor = monitor->next;
  }
}
