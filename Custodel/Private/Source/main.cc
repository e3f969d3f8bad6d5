// custodel: the service's process entry. It reads no command line.
#include <unistd.h>

#include <cstdio>

#include "Custodel/Private/Source/custodel.h"

int main() {
  __ZQ_INITIALIZATION_FUNCTION_custodel__();
  const int status = RunCustodel();
  if (status != 0) {
    // Watcher threads that a failed first pass started may still run and use
    // the process-wide objects: leave without destroying them.
    std::fflush(nullptr);
    zqm_trace::Flush();
    _exit(status);
  }
  return status;
}
