// The service's start-up and shut-down.
#include <iostream>
#include <sstream>

#include "Custodel/Private/Source/custodel.h"

namespace {

constexpr int kFatalStatus = 1;

void RunService() {
  gShutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    const ZQ_TString name("Custodel");
    gServer.Bind(name, 1, 0, false);
  }
  gServer.DBG_Type(0, "Starting");
  Reconfigure(true);
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
    // One line, whatever the texts of a remote failure hold.
    std::ostringstream printed;
    failure.PrintOn(printed);
    std::cerr << "Custodel:FATAL ERROR:" << zqm_trace::Escaped(printed.str()) << std::endl;
    return kFatalStatus;
  } catch (...) {
    std::cerr << "Custodel:FATAL ERROR: Unknown exception !!!" << std::endl;
    return kFatalStatus;
  }
  return 0;
}
