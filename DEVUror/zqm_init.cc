#include "DEVUror/devuror.h"

extern "C" bool __ZQ_INITIALIZATION_FUNCTION_DEVUror__() {
  ZQM_RegisterRuntimeClasses();
  return true;
}
