// The operating-system calls that fail in ways worth testing go through
// this table, so a test can make them fail on demand and check what is
// reported and what is kept: thread and process handle creation in the
// kernel-object layer, and the daemon's writes to the files it keeps (the
// instances' logs and their rotated copies, the state file), where a full
// or failing disk must never cost a kept file.
//
// Replace entries only while no other thread is inside a caller, and put
// kDefaultSystemCalls back afterwards.
#pragma once

#include <pthread.h>
#include <sys/types.h>

namespace zq_platform {

struct SystemCalls {
  // Returns 0 or an error number, like pthread_create.
  int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                        void* arg);
  // Returns a descriptor, or -1 with errno set.
  int (*pidfd_open)(pid_t pid, unsigned flags);
  // As the system calls: -1 with errno set on failure.
  ssize_t (*write)(int fd, const void* bytes, size_t count);
  ssize_t (*copy_file_range)(int from, off64_t* fromOffset, int to, off64_t* toOffset, size_t count,
                             unsigned flags);
  int (*fsync)(int fd);
};

extern const SystemCalls kDefaultSystemCalls;
extern SystemCalls g_system_calls;

}  // namespace zq_platform
