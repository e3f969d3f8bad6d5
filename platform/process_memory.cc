#include "platform/process_memory.h"

#include <malloc.h>
#include <pthread.h>

#include <algorithm>

#include "platform/kernel.h"

namespace zq_platform {

void KeepProcessMemorySmall() {
  mallopt(M_ARENA_MAX, 1);
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer sizes the stacks of the threads it starts itself, and
  // refuses to start threads under a changed default.
  return;
#endif
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  const std::size_t bytes = std::max<std::size_t>(kDefaultThreadStackBytes, PTHREAD_STACK_MIN);
  // Both can only fail for a size below the minimum: the defaults stay then.
  if (pthread_attr_setstacksize(&attributes, bytes) == 0) pthread_setattr_default_np(&attributes);
  pthread_attr_destroy(&attributes);
}

}  // namespace zq_platform
