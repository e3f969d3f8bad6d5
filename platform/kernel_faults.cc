#include "platform/kernel_faults.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace zq_platform {
namespace {

// glibc before 2.36 has no wrapper.
int PidfdOpen(pid_t pid, unsigned flags) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, flags));
}

}  // namespace

// Constant-initialised, so the table is ready before any static constructor
// of another file can start a thread.
constexpr SystemCalls kDefaultSystemCalls = {::pthread_create, PidfdOpen, ::write,
                                             ::copy_file_range, ::fsync};
constinit SystemCalls g_system_calls = kDefaultSystemCalls;

}  // namespace zq_platform
