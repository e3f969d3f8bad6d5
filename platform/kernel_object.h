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

// A waitable object. A wait first asks each object whether it is signalled
// now; only a wait that has to block polls their descriptors, each readable
// while its object is signalled. Objects are shared: the handle table holds
// one reference and every call working on the object holds another for its
// duration, so that CloseHandle on one thread never closes a descriptor that
// a wait on another thread is still polling.
class KernelObject {
 public:
  explicit KernelObject(ObjectKind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectKind kind() const { return kind_; }

  // Whether the object is signalled now; a signal that a wait consumes is
  // taken with the answer.
  virtual bool TakeIfSignalled() = 0;
  // The descriptor a blocking wait polls, valid until the matching EndPoll;
  // -1, with the last error set, when none can be made.
  virtual int BeginPoll() = 0;
  virtual void EndPoll() {}
  // Called when a wait has seen the descriptor readable and is about to report
  // this object. Objects whose signal is consumed by the wait take it here and
  // return false when another waiter took it first.
  virtual bool Acquire() { return true; }

 private:
  const ObjectKind kind_;
};

// An object whose state lives in memory (events, threads). Its eventfd, whose
// counter is 1 while the object is signalled, exists only while a wait polls
// it or someone pinned it: a supervisor of thousands of instances holds
// several such objects for each, and nearly all of them are never waited on
// while they are unsignalled.
class SignalObject : public KernelObject {
 public:
  SignalObject(ObjectKind kind, bool signalled) : KernelObject(kind), signalled_(signalled) {}
  ~SignalObject() override;

  int BeginPoll() override;
  void EndPoll() override;
  // Makes the descriptor, if need be, and keeps it for the object's life.
  int Pin();

 protected:
  // With mu_ held. SignalLocked returns 0 or the errno of a failed write of
  // the descriptor.
  int SignalLocked();
  void ClearLocked();

  std::mutex mu_;
  bool signalled_;

 private:
  int MakeDescriptorLocked();

  int fd_ = -1;
  unsigned pollers_ = 0;
  bool pinned_ = false;
};

class EventObject final : public SignalObject {
 public:
  EventObject(bool manual_reset, bool signalled)
      : SignalObject(ObjectKind::kEvent, signalled), manual_reset_(manual_reset) {}

  // Returns 0, or the errno of a failed write of the descriptor.
  int Set();
  void Reset();
  bool TakeIfSignalled() override;
  bool Acquire() override;

 private:
  // A set event set again stays set, and an auto-reset signal is taken by
  // exactly one waiter: signalled_ and the descriptor's counter (0 or 1)
  // change together under mu_.
  const bool manual_reset_;
};

class ThreadObject final : public SignalObject {
 public:
  ThreadObject() : SignalObject(ObjectKind::kThread, false) {}

  // Runs on the finishing thread: records the exit code, then signals.
  void Finish(DWORD exit_code);
  DWORD exit_code() const { return exit_code_.load(std::memory_order_acquire); }
  bool TakeIfSignalled() override;

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

// Makes an object; null, with the last error set, when memory runs out.
template <class T, class... Args>
std::shared_ptr<T> MakeObject(Args... args) {
  try {
    return std::make_shared<T>(args...);
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

}  // namespace zq_platform
