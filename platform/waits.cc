// Waiting: what is signalled already, else one ppoll(2) over the objects'
// descriptors that the wake signal also ends; and Sleep.
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <limits>

#include "platform/kernel_object.h"

namespace {

// std::chrono::steady_clock is CLOCK_MONOTONIC: waits are not shortened or
// stretched when the wall clock is set.
using Clock = std::chrono::steady_clock;

// How long the next poll may block: null for no limit.
const timespec* PollTimeout(DWORD milliseconds, Clock::time_point deadline, timespec& left) {
  if (milliseconds == INFINITE) return nullptr;
  const auto rest = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto seconds = std::chrono::floor<std::chrono::seconds>(rest);
  left.tv_sec = static_cast<time_t>(seconds.count());
  left.tv_nsec = static_cast<long>(std::chrono::nanoseconds(rest - seconds).count());
  return &left;
}

// What one blocking wait polls: the descriptors of the objects that have
// one, and the wake signal for the others; given back when it ends.
class PollSet {
 public:
  PollSet(const std::shared_ptr<zq_platform::KernelObject>* objects, DWORD count)
      : objects_(objects), count_(count) {
    for (DWORD i = 0; i < count; ++i) {
      const int fd = objects[i]->BeginWait(waiters_[i]);
      slot_[i] = fd >= 0 ? polled_ : kNoSlot;
      if (fd >= 0) fds_[polled_++] = {fd, POLLIN, 0};
    }
  }
  ~PollSet() {
    for (DWORD i = 0; i < count_; ++i)
      objects_[i]->EndWait(waiters_[i]);
  }
  PollSet(const PollSet&) = delete;
  PollSet& operator=(const PollSet&) = delete;

  int Poll(const timespec* timeout, const sigset_t& mask) {
    return ppoll(fds_.data(), polled_, timeout, &mask);
  }

  // The lowest index whose object is signalled now, taking the signal of an
  // auto-reset event; `count` when none is.
  DWORD FirstSignalled() const {
    for (DWORD i = 0; i < count_; ++i) {
      const bool signalled =
          slot_[i] != kNoSlot ? fds_[slot_[i]].revents != 0 : objects_[i]->TakeIfSignalled();
      if (signalled) return i;
    }
    return count_;
  }

 private:
  static constexpr DWORD kNoSlot = MAXIMUM_WAIT_OBJECTS;

  const std::shared_ptr<zq_platform::KernelObject>* objects_;
  const DWORD count_;
  std::array<zq_platform::Waiter, MAXIMUM_WAIT_OBJECTS> waiters_;
  std::array<DWORD, MAXIMUM_WAIT_OBJECTS> slot_;
  std::array<pollfd, MAXIMUM_WAIT_OBJECTS> fds_;
  nfds_t polled_ = 0;
};

}  // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll != FALSE) {
    zq_platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // These references keep every descriptor open until the wait is over, even
  // if another thread closes a handle meanwhile.
  std::array<std::shared_ptr<zq_platform::KernelObject>, MAXIMUM_WAIT_OBJECTS> objects;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = zq_platform::LookupHandle(handles[i]);
    if (objects[i] == nullptr) return WAIT_FAILED;
  }
  // Most waits find their answer at once and need no poll.
  for (DWORD i = 0; i < count; ++i) {
    if (objects[i]->TakeIfSignalled()) return WAIT_OBJECT_0 + i;
  }
  if (milliseconds == 0) return WAIT_TIMEOUT;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const sigset_t wakeable = zq_platform::WakeableMask();
  PollSet polled(objects.data(), count);
  for (;;) {
    // Also after the poll: an event may have been set before its object was
    // linked to this wait.
    if (const DWORD first = polled.FirstSignalled(); first < count) return WAIT_OBJECT_0 + first;
    timespec left;
    const timespec* timeout = PollTimeout(milliseconds, deadline, left);
    if (timeout != nullptr && left.tv_sec == 0 && left.tv_nsec == 0) return WAIT_TIMEOUT;
    // The wake signal interrupts it (EINTR): the look above says why.
    if (polled.Poll(timeout, wakeable) < 0 && errno != EINTR) {
      zq_platform::SetLastErrorFromErrno(errno);
      return WAIT_FAILED;
    }
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

void Sleep(DWORD milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  if (milliseconds == INFINITE) {
    deadline = {std::numeric_limits<time_t>::max(), 0};
  } else {
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
  }
  // An absolute deadline: resuming after a signal does not restart the sleep.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}
