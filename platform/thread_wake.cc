// The wake signal, and threads linked to an event for their whole life.
#include "platform/thread_wake.h"

#include <stdexcept>

#include "platform/kernel_object.h"

namespace zq_platform {

namespace {

void Woken(int) {}

int InstallWakeSignal() {
  // Above the real-time signals the C library keeps for itself.
  const int wake = SIGRTMIN + 6;
  struct sigaction action {};
  action.sa_handler = Woken;
  sigemptyset(&action.sa_mask);
  sigaction(wake, &action, nullptr);
  return wake;
}

}  // namespace

int WakeSignal() {
  static const int wake = InstallWakeSignal();
  return wake;
}

sigset_t WakeableMask() {
  // Asked at every wait rather than remembered: whatever the thread did to
  // its mask since, the signal is blocked from here to the poll.
  sigset_t wake, mask;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  pthread_sigmask(SIG_BLOCK, &wake, &mask);
  sigdelset(&mask, WakeSignal());
  return mask;
}

WakeOnSet::WakeOnSet(HANDLE event) {
  auto object = LookupHandle(event, ObjectKind::kEvent);
  if (object == nullptr) throw std::invalid_argument("WakeOnSet: not an event");
  event_ = std::static_pointer_cast<SignalObject>(std::move(object));
  WakeableMask();
  event_->Link(waiter_);
}

WakeOnSet::~WakeOnSet() {
  event_->Unlink(waiter_);
}

}  // namespace zq_platform
