// Waiting: what is signalled already, else one poll(2) over the objects'
// descriptors; and Sleep.
#include <poll.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <limits>

#include "platform/kernel_object.h"

namespace {

// std::chrono::steady_clock is CLOCK_MONOTONIC: waits are not shortened or
// stretched when the wall clock is set.
using Clock = std::chrono::steady_clock;

// poll(2) takes an int of milliseconds; longer waits take several polls.
int PollTimeout(DWORD milliseconds, Clock::time_point deadline) {
  if (milliseconds == INFINITE) return -1;
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up: a poll that ends before the deadline would only go round again.
  const auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(left_ms)>(left_ms, INT_MAX));
}

// The descriptors of one blocking wait, given back when it ends.
class PollSet {
 public:
  PollSet(const std::shared_ptr<zq_platform::KernelObject>* objects, DWORD count)
      : objects_(objects) {
    for (; begun_ < count; ++begun_) {
      const int fd = objects[begun_]->BeginPoll();
      if (fd < 0) return;
      fds_[begun_] = {fd, POLLIN, 0};
    }
  }
  ~PollSet() {
    for (DWORD i = 0; i < begun_; ++i)
      objects_[i]->EndPoll();
  }
  PollSet(const PollSet&) = delete;
  PollSet& operator=(const PollSet&) = delete;

  DWORD begun() const { return begun_; }
  pollfd* fds() { return fds_.data(); }

 private:
  const std::shared_ptr<zq_platform::KernelObject>* objects_;
  std::array<pollfd, MAXIMUM_WAIT_OBJECTS> fds_;
  DWORD begun_ = 0;
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
  // Most waits find their answer at once and need no descriptor.
  for (DWORD i = 0; i < count; ++i) {
    if (objects[i]->TakeIfSignalled()) return WAIT_OBJECT_0 + i;
  }
  if (milliseconds == 0) return WAIT_TIMEOUT;
  PollSet polled(objects.data(), count);
  if (polled.begun() < count) return WAIT_FAILED;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    pollfd* fds = polled.fds();
    const int ready = poll(fds, count, PollTimeout(milliseconds, deadline));
    if (ready < 0) {
      const int error = errno;
      if (error == EINTR) continue;  // resumed with the time that is left
      zq_platform::SetLastErrorFromErrno(error);
      return WAIT_FAILED;
    }
    for (DWORD i = 0; ready > 0 && i < count; ++i) {
      if (fds[i].revents != 0 && objects[i]->Acquire()) return WAIT_OBJECT_0 + i;
    }
    // Either the time is up, or each signal seen was an auto-reset event that
    // another waiter took first: then wait again for what is left.
    if (milliseconds != INFINITE && Clock::now() >= deadline) return WAIT_TIMEOUT;
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
