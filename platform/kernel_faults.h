// The operating-system calls of the kernel-object layer that fail in ways
// worth testing (thread creation, descriptor creation) go through this table,
// so a test can make them fail on demand and check that the layer reports the
// failure and leaks nothing.
//
// Replace entries only while no other thread is inside the layer, and put
// kDefaultSystemCalls back afterwards.
#pragma once

#include <pthread.h>
#include <sys/types.h>

namespace zq_platform {

struct SystemCalls {
  // Returns 0 or an error number, like pthread_create.
  int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                        void* arg);
  // Return a descriptor, or -1 with errno set.
  int (*eventfd)(unsigned initval, int flags);
  int (*pidfd_open)(pid_t pid, unsigned flags);
};

extern const SystemCalls kDefaultSystemCalls;
extern SystemCalls g_system_calls;

}  // namespace zq_platform
