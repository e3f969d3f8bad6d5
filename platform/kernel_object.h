// Internal to the kernel-object layer: the objects behind handles and the
// handle table that maps HANDLE values to them.
#pragma once

#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "platform/kernel.h"

namespace zq_platform {

enum class ObjectKind { kEvent, kProcess, kThread };

// A waitable object owns one descriptor that polls readable while the object
// is signalled. Objects are shared: the handle table holds one reference and
// every call working on the object holds another for its duration, so that
// CloseHandle on one thread never closes a descriptor that a wait on another
// thread is still polling.
class KernelObject {
 public:
  KernelObject(ObjectKind kind, int fd) : kind_(kind), fd_(fd) {}
  virtual ~KernelObject();
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectKind kind() const { return kind_; }
  int fd() const { return fd_; }

  // Called when a wait has seen the descriptor readable and is about to report
  // this object. Objects whose signal is consumed by the wait take it here and
  // return false when another waiter took it first.
  virtual bool Acquire() { return true; }

 private:
  const ObjectKind kind_;
  const int fd_;
};

class EventObject final : public KernelObject {
 public:
  EventObject(int fd, bool manual_reset, bool signalled)
      : KernelObject(ObjectKind::kEvent, fd), manual_reset_(manual_reset), signalled_(signalled) {}

  // Returns 0, or the errno of a failed write of the descriptor.
  int Set();
  void Reset();
  bool Acquire() override;

 private:
  // The eventfd counter only ever holds 0 or 1. signalled_ mirrors it, and
  // both change together under mu_, so a set event set again stays at 1 and an
  // auto-reset signal is taken by exactly one waiter.
  const bool manual_reset_;
  std::mutex mu_;
  bool signalled_;
};

class ThreadObject final : public KernelObject {
 public:
  explicit ThreadObject(int fd) : KernelObject(ObjectKind::kThread, fd) {}

  // Runs on the finishing thread: records the exit code, then signals.
  void Finish(DWORD exit_code);
  DWORD exit_code() const { return exit_code_.load(std::memory_order_acquire); }
  // A wait that saw the thread end acquires what the thread wrote: the
  // eventfd orders it in fact, but only the atomic makes the ordering one
  // that the language (and ThreadSanitizer) knows of.
  bool Acquire() override {
    (void)exit_code_.load(std::memory_order_acquire);
    return true;
  }

 private:
  std::atomic<DWORD> exit_code_{STILL_ACTIVE};
};

// Handle table. Insert returns null (and sets the last error) when the table
// is full; Lookup returns null (ERROR_INVALID_HANDLE) for a handle that is
// closed, made up, or of another kind than asked for.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, ObjectKind kind);

// The calling thread's last error, and the mapping of errno values onto it.
void SetLastErrorCode(DWORD error);
DWORD ErrorFromErrno(int error);
inline void SetLastErrorFromErrno(int error) {
  SetLastErrorCode(ErrorFromErrno(error));
}

// Wraps a new descriptor in its object. When that fails the descriptor is
// closed, the last error set and null returned.
template <class T, class... Args>
std::shared_ptr<T> MakeObject(int fd, Args... args) {
  try {
    return std::make_shared<T>(fd, args...);
  } catch (const std::bad_alloc&) {
    close(fd);
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

}  // namespace zq_platform
