// Events, and the in-memory signal with an on-demand eventfd that events and
// threads share.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/kernel_faults.h"
#include "platform/kernel_object.h"

namespace zq_platform {

SignalObject::~SignalObject() {
  if (fd_ >= 0) close(fd_);
}

int SignalObject::MakeDescriptorLocked() {
  fd_ = g_system_calls.eventfd(signalled_ ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) SetLastErrorFromErrno(errno);
  return fd_;
}

int SignalObject::BeginPoll() {
  std::lock_guard lock(mu_);
  if (fd_ < 0 && MakeDescriptorLocked() < 0) return -1;
  ++pollers_;
  return fd_;
}

void SignalObject::EndPoll() {
  std::lock_guard lock(mu_);
  if (--pollers_ > 0 || pinned_) return;
  close(fd_);
  fd_ = -1;
}

int SignalObject::Pin() {
  std::lock_guard lock(mu_);
  if (fd_ < 0 && MakeDescriptorLocked() < 0) return -1;
  pinned_ = true;
  return fd_;
}

int SignalObject::SignalLocked() {
  if (signalled_) return 0;
  const std::uint64_t one = 1;
  if (fd_ >= 0 && write(fd_, &one, sizeof one) != sizeof one) return errno;
  signalled_ = true;
  return 0;
}

void SignalObject::ClearLocked() {
  // Reading an eventfd clears its counter; EAGAIN just means it was clear.
  if (fd_ >= 0) {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
  }
  signalled_ = false;
}

int EventObject::Set() {
  std::lock_guard lock(mu_);
  return SignalLocked();
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

bool EventObject::Acquire() {
  if (manual_reset_) return true;
  // Several waiters may have seen the descriptor readable; the first here
  // takes the signal, the others find it clear and wait again.
  return TakeIfSignalled();
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

int EventDescriptor(HANDLE event) {
  auto object = zq_platform::LookupHandle(event, ObjectKind::kEvent);
  return object != nullptr ? static_cast<EventObject&>(*object).Pin() : -1;
}

BOOL SetEvent(HANDLE event) {
  auto object = zq_platform::LookupHandle(event, ObjectKind::kEvent);
  if (object == nullptr) return FALSE;
  if (const int error = static_cast<EventObject&>(*object).Set(); error != 0) {
    zq_platform::SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = zq_platform::LookupHandle(event, ObjectKind::kEvent);
  if (object == nullptr) return FALSE;
  static_cast<EventObject&>(*object).Reset();
  return TRUE;
}
