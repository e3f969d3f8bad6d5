// Events: an eventfd whose counter is 1 while the event is signalled.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/kernel_faults.h"
#include "platform/kernel_object.h"

namespace zq_platform {

int EventObject::Set() {
  std::lock_guard lock(mu_);
  if (signalled_) return 0;
  const std::uint64_t one = 1;
  if (write(fd(), &one, sizeof one) != sizeof one) return errno;
  signalled_ = true;
  return 0;
}

void EventObject::Reset() {
  std::lock_guard lock(mu_);
  // Reading an eventfd clears its counter; EAGAIN just means it was clear.
  std::uint64_t count;
  [[maybe_unused]] const ssize_t n = read(fd(), &count, sizeof count);
  signalled_ = false;
}

bool EventObject::Acquire() {
  if (manual_reset_) return true;
  std::lock_guard lock(mu_);
  // Several waiters may have seen the descriptor readable; the first here
  // takes the signal, the others find it clear and wait again.
  if (!signalled_) return false;
  std::uint64_t count;
  [[maybe_unused]] const ssize_t n = read(fd(), &count, sizeof count);
  signalled_ = false;
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
  const int fd =
      zq_platform::g_system_calls.eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    zq_platform::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto event =
      zq_platform::MakeObject<EventObject>(fd, manualReset != FALSE, initialState != FALSE);
  return event != nullptr ? zq_platform::InsertHandle(std::move(event)) : nullptr;
}

int EventDescriptor(HANDLE event) {
  auto object = zq_platform::LookupHandle(event, ObjectKind::kEvent);
  return object != nullptr ? object->fd() : -1;
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
