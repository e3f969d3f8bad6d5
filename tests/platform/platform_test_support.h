// Helpers shared by the kernel-object layer's tests: owners that close
// handles and end processes on every path out of a test, and timing.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <utility>

#include "platform/kernel.h"

namespace zq_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

inline Handle NewEvent(bool manual_reset, bool signalled = false) {
  return Handle(CreateEventW(nullptr, manual_reset, signalled, nullptr));
}

inline Handle StartThread(ZQ_ThreadProc proc, void* arg, unsigned stack = 0,
                          unsigned* id = nullptr) {
  return Handle(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, stack, proc, arg, 0, id)));
}

// Runs `f` when the scope is left, however it is left.
template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() { f_(); }

 private:
  F f_;
};

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// A process started by a test. The destructor kills it and, when it is the
// test's own child, reaps it, so no test leaves a process behind. The signal
// goes through a pidfd, which cannot hit another process that reused the pid.
class ProcessGuard {
 public:
  ProcessGuard(pid_t pid, bool is_child)
      : pid_(pid), is_child_(is_child), pidfd_{static_cast<int>(syscall(SYS_pidfd_open, pid, 0))} {}
  ProcessGuard(const ProcessGuard&) = delete;
  ProcessGuard& operator=(const ProcessGuard&) = delete;
  ~ProcessGuard() {
    Kill();
    if (is_child_ && !reaped_) Reap();
  }

  void Kill() {
    if (pidfd_.fd >= 0) syscall(SYS_pidfd_send_signal, pidfd_.fd, SIGKILL, nullptr, 0);
  }
  // Waits for the child to end; returns its wait status.
  int Reap() {
    int status = -1;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
  }

 private:
  const pid_t pid_;
  const bool is_child_;
  const Fd pidfd_;
  bool reaped_ = false;
};

inline long OpenDescriptorCount() {
  using std::filesystem::directory_iterator;
  return std::distance(directory_iterator("/proc/self/fd"), directory_iterator());
}

}  // namespace zq_test
