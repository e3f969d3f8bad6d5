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
#include <new>
#include <vector>

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

// The objects of one wait, and what the wait polls for them once it has to
// block: the descriptors of the objects that have one, and the wake signal
// for the others. Kept on the stack for the few objects a wait usually has:
// a thread that blocks for days keeps every stack page it touched, and a
// supervisor has thousands of such threads.
class WaitList {
 public:
  // Throws std::bad_alloc when memory for more than a few objects runs out.
  explicit WaitList(DWORD count) : count_(count) {
    if (count > kOnStack) {
      heapEntries_.resize(count);
      heapFds_.resize(count);
    }
    entries_ = count > kOnStack ? heapEntries_.data() : stackEntries_.data();
    fds_ = count > kOnStack ? heapFds_.data() : stackFds_.data();
  }
  ~WaitList() {
    for (DWORD i = 0; i < begun_; ++i)
      entries_[i].object->EndWait(entries_[i].waiter);
  }
  WaitList(const WaitList&) = delete;
  WaitList& operator=(const WaitList&) = delete;

  // Takes a reference to each object, which keeps its descriptor open until
  // the wait is over even if another thread closes the handle meanwhile.
  // False for a bad handle.
  bool LookUp(const HANDLE* handles) {
    for (DWORD i = 0; i < count_; ++i) {
      entries_[i].object = zq_platform::LookupHandle(handles[i]);
      if (entries_[i].object == nullptr) return false;
    }
    return true;
  }

  // What is signalled already, without a poll: most waits end here.
  DWORD FirstSignalledNow() const {
    for (DWORD i = 0; i < count_; ++i) {
      if (entries_[i].object->TakeIfSignalled()) return i;
    }
    return count_;
  }

  void BeginPolls() {
    for (; begun_ < count_; ++begun_) {
      Entry& entry = entries_[begun_];
      const int fd = entry.object->BeginWait(entry.waiter);
      entry.slot = fd >= 0 ? static_cast<int>(polled_) : -1;
      if (fd >= 0) fds_[polled_++] = {fd, POLLIN, 0};
    }
  }

  int Poll(const timespec* timeout, const sigset_t& mask) {
    return ppoll(fds_, polled_, timeout, &mask);
  }

  // After a poll: the lowest index whose object is signalled now, taking the
  // signal of an auto-reset event; `count` when none is.
  DWORD FirstSignalledAfterPoll() const {
    for (DWORD i = 0; i < count_; ++i) {
      const Entry& entry = entries_[i];
      const bool signalled =
          entry.slot >= 0 ? fds_[entry.slot].revents != 0 : entry.object->TakeIfSignalled();
      if (signalled) return i;
    }
    return count_;
  }

 private:
  static constexpr DWORD kOnStack = 4;

  struct Entry {
    std::shared_ptr<zq_platform::KernelObject> object;
    zq_platform::Waiter waiter;
    int slot = -1;  // in fds_, -1 for an object without a descriptor
  };

  const DWORD count_;
  DWORD begun_ = 0;
  nfds_t polled_ = 0;
  Entry* entries_;
  pollfd* fds_;
  std::array<Entry, kOnStack> stackEntries_;
  std::array<pollfd, kOnStack> stackFds_{};
  std::vector<Entry> heapEntries_;
  std::vector<pollfd> heapFds_;
};

DWORD Wait(const HANDLE* handles, DWORD count, DWORD milliseconds) {
  WaitList objects(count);
  if (!objects.LookUp(handles)) return WAIT_FAILED;
  if (const DWORD first = objects.FirstSignalledNow(); first < count) return WAIT_OBJECT_0 + first;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const sigset_t wakeable = zq_platform::WakeableMask();
  objects.BeginPolls();
  for (;;) {
    // Also before the first poll: an event may have been set before it was
    // linked to this wait.
    if (const DWORD first = objects.FirstSignalledAfterPoll(); first < count)
      return WAIT_OBJECT_0 + first;
    timespec left;
    const timespec* timeout = PollTimeout(milliseconds, deadline, left);
    if (timeout != nullptr && left.tv_sec == 0 && left.tv_nsec == 0) return WAIT_TIMEOUT;
    // The wake signal interrupts it (EINTR): the look above says why.
    if (objects.Poll(timeout, wakeable) < 0 && errno != EINTR) {
      zq_platform::SetLastErrorFromErrno(errno);
      return WAIT_FAILED;
    }
  }
}

}  // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll != FALSE) {
    zq_platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  try {
    return Wait(handles, count, milliseconds);
  } catch (const std::bad_alloc&) {
    zq_platform::SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
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
