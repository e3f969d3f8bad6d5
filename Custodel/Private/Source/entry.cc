// The service's start-up and shut-down.
#include <iostream>
#include <sstream>

#include "Custodel/Private/Source/custodel.h"
#include "DEVUror/zqm_notify.h"
#include "platform/process_memory.h"

namespace {

constexpr int kFatalStatus = 1;

// Writes the fatal report to standard error in one piece, once the trace
// written so far is out: the two often share one output.
void ReportFatal(const std::string& what) {
  zqm_trace::Flush();
  std::cerr << ("Custodel:FATAL ERROR:" + what + "\n") << std::flush;
}

void RunService() {
  gShutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    const ZQ_TString name("Custodel");
    gServer.Bind(name, 1, 0, false);
  }
  gServer.DBG_Type(0, "Starting");
  Reconfigure(true);
  // The first pass is done: a service manager may start what waits for us.
  zqm_notify::Ready();
  // What the pass took and gave back would stay resident for good.
  zq_platform::ReturnFreeHeapPages();
  gServer.SetProcessor(&ProcessCommand, nullptr);
  gServer.SetTimeOut(-1);
  gServer.EventLoop();

  SetEvent(gShutdownEvent);
  gServer.DBG_Type(0, "Shutting down ...");
  {
    ZQ_TLockGuard hold(gRegistryLock);
    while (gMonitorList != nullptr)
      RemoveMonitor(gMonitorList->serverName);
  }
  if (gShutdownEvent != nullptr) CloseHandle(gShutdownEvent);
  gServer.DBG_Type(0, "Stopped");
}

}  // namespace

int RunCustodel() {
  try {
    RunService();
  } catch (const ZQ_EException& failure) {
    // One line, whatever the texts of a remote failure hold, after the
    // trace that led to it.
    std::ostringstream printed;
    failure.PrintOn(printed);
    ReportFatal(zqm_trace::Escaped(printed.str()));
    return kFatalStatus;
  } catch (...) {
    ReportFatal(" Unknown exception !!!");
    return kFatalStatus;
  }
  return 0;
}
