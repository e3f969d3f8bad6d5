#include "typelib/dodived.h"

extern "C" bool __ZQ_INITIALIZATION_FUNCTION_dodived__() {
  ZQ_RegisterLibraryClasses();
  return true;
}
