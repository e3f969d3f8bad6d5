#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"

extern "C" bool __ZQ_INITIALIZATION_FUNCTION_DEVUror__() {
  ZQM_RegisterRuntimeClasses();
  // While the process is likely to have one thread: it edits the environment.
  zqm_auth::TakeInheritedKey();
  return true;
}
