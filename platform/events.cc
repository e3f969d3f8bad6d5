// Events, and the in-memory signal that events and threads share.
#include "platform/kernel_object.h"

namespace zq_platform {

int SignalObject::BeginWait(Waiter& waiter) {
  Link(waiter);
  return -1;
}

void SignalObject::EndWait(Waiter& waiter) {
  Unlink(waiter);
}

void SignalObject::Link(Waiter& waiter) {
  // The caller has blocked the wake signal (WakeableMask): delivered
  // outside its poll, it would be lost to the wait.
  waiter.thread = pthread_self();
  std::lock_guard lock(mu_);
  waiter.previous = nullptr;
  waiter.next = waiters_;
  if (waiters_ != nullptr) waiters_->previous = &waiter;
  waiters_ = &waiter;
}

void SignalObject::Unlink(Waiter& waiter) {
  std::lock_guard lock(mu_);
  if (waiter.previous != nullptr) {
    waiter.previous->next = waiter.next;
  } else {
    waiters_ = waiter.next;
  }
  if (waiter.next != nullptr) waiter.next->previous = waiter.previous;
  waiter.previous = waiter.next = nullptr;
}

void SignalObject::SignalLocked() {
  if (signalled_) return;
  signalled_ = true;
  // Every linked thread is alive: it unlinks itself, under mu_, before it
  // leaves its wait.
  for (Waiter* waiter = waiters_; waiter != nullptr; waiter = waiter->next)
    pthread_kill(waiter->thread, WakeSignal());
}

void EventObject::Set() {
  std::lock_guard lock(mu_);
  SignalLocked();
}

void EventObject::Reset() {
  std::lock_guard lock(mu_);
  ClearLocked();
}

bool EventObject::TakeIfSignalled() {
  std::lock_guard lock(mu_);
  if (!signalled_) return false;
  if (!manual_reset_) ClearLocked();
  return true;
}

}  // namespace zq_platform

using zq_platform::EventObject;
using zq_platform::ObjectKind;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
  if (name != nullptr) {
    zq_platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto event = zq_platform::MakeObject<EventObject>(manualReset != FALSE, initialState != FALSE);
  return event != nullptr ? zq_platform::InsertHandle(std::move(event)) : nullptr;
}

BOOL SetEvent(HANDLE event) {
  auto object = zq_platform::LookupHandle(event, ObjectKind::kEvent);
  if (object == nullptr) return FALSE;
  static_cast<EventObject&>(*object).Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = zq_platform::LookupHandle(event, ObjectKind::kEvent);
  if (object == nullptr) return FALSE;
  static_cast<EventObject&>(*object).Reset();
  return TRUE;
}
