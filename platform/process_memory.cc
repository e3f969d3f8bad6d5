#include "platform/process_memory.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

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

void StartWithoutThreadMallocCaches(char** argv) {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  static constexpr char kName[] = "GLIBC_TUNABLES";
  static constexpr char kSetting[] = "glibc.malloc.tcache_count=0";
  const char* current = std::getenv(kName);
  if (current != nullptr && std::strstr(current, "glibc.malloc.tcache_count=") != nullptr) return;
  const std::optional<std::string> before =
      current != nullptr ? std::optional<std::string>(current) : std::nullopt;
  const std::string value = before && !before->empty() ? *before + ":" + kSetting : kSetting;
  // By its own path, not /proc/self/exe: the process's name (ps, pgrep,
  // the journal) is taken from the path executed.
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path - 1) return;
  path[length] = '\0';
  if (setenv(kName, value.c_str(), 1) != 0) return;
  execv(path, argv);
  // Not executed again (no /proc, or the file was replaced): as it was.
  if (before) {
    setenv(kName, before->c_str(), 1);
  } else {
    unsetenv(kName);
  }
#else
  // The sanitizers bring their own allocator.
  (void)argv;
#endif
}

void ReleaseStackBelowCaller() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  const int error = pthread_attr_getstack(&attributes, &low, &size);
  pthread_attr_destroy(&attributes);
  if (error != 0) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(low) + page - 1) & ~(page - 1);
  // Room below this frame for the waiting calls that follow (a wait on
  // descriptors: a few hundred bytes of frames); they touch a page again if
  // they need more, which costs memory, nothing else.
  constexpr std::uintptr_t kRoomBelow = 1024;
  const std::uintptr_t end = here > 2 * page ? (here - kRoomBelow) & ~(page - 1) : 0;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
#endif
}

void ReturnFreeHeapPages() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  malloc_trim(0);
#endif
}

}  // namespace zq_platform
