// Waking a thread out of its poll without a descriptor of its own.
//
// A supervisor of thousands of instances has a thread per instance, each
// blocked on its instance's pidfd and on an event that stops it. Were every
// such event an eventfd, the service would need two descriptors per
// instance, and the process's descriptor limit would end the host's growth
// at half of what it could run. So an event keeps its state in memory and
// wakes the threads that wait for it with a signal sent to each of them.
//
// The wake signal stays blocked in every thread that waits; a wait unblocks
// it only inside its ppoll(2) (WakeableMask). A signal sent before the poll
// stays pending until then, so no wake-up is lost between a thread's look
// at an object and its sleep, and no other system call of the thread is
// ever interrupted by it.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <memory>

#include "platform/kernel.h"

namespace zq_platform {

class SignalObject;

// The real-time signal that wakes a waiting thread. The first call installs
// its handler, which does nothing: the interrupted poll is the message.
int WakeSignal();

// Blocks the wake signal in the calling thread and returns the mask with
// which the thread's next poll is woken by it. Called before the look at
// the objects that precedes the poll.
sigset_t WakeableMask();

// One thread waiting for one object, linked into the object's list while the
// wait lasts. Lives on the waiting thread's stack.
struct Waiter {
  pthread_t thread{};
  Waiter* previous = nullptr;
  Waiter* next = nullptr;
};

// While one lives, setting `event` also sends the wake signal to the thread
// that made it, whatever that thread polls at the moment, so that its own
// polls made with WakeableMask() end: for a thread that another must be able
// to stop in any of its waits, including those of libraries that know no
// events. Made and destroyed on the same thread. Throws std::invalid_argument
// for a handle that is not an event.
class WakeOnSet {
 public:
  explicit WakeOnSet(HANDLE event);
  ~WakeOnSet();
  WakeOnSet(const WakeOnSet&) = delete;
  WakeOnSet& operator=(const WakeOnSet&) = delete;

 private:
  std::shared_ptr<SignalObject> event_;
  Waiter waiter_;
};

}  // namespace zq_platform
