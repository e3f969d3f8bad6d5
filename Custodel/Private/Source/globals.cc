// The process-wide objects of the service, made at static initialisation.
#include "Custodel/Private/Source/custodel.h"

ZQ_TString gServerConfiguration;
ZQ_TEvent gRegistryLock;
ZQM_TServer gServer;
HANDLE gShutdownEvent = nullptr;
ServerMonitor* gMonitorList = nullptr;

CustodelLibraryHooks gLibraryHooks = {&__ZQ_INITIALIZATION_FUNCTION_dodived__,
                                      &__ZQ_INITIALIZATION_FUNCTION_DEVUror__};

namespace {
bool gInitialised = false;  // set once both libraries' hooks have succeeded
}  // namespace

extern "C" bool __ZQ_INITIALIZATION_FUNCTION_custodel__() {
  if (gInitialised) return true;
  if (!gLibraryHooks.typeLibrary()) {
    gInitialised = false;
    return false;
  }
  if (!gLibraryHooks.middleware()) {
    gInitialised = false;
    return false;
  }
  gInitialised = true;
  return true;
}
