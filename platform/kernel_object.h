// Internal to the kernel-object layer: the objects behind handles and the
// handle table that maps HANDLE values to them.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "platform/kernel.h"
#include "platform/thread_wake.h"

namespace zq_platform {

enum class ObjectKind { kEvent, kProcess, kThread };

// A waitable object. A wait first asks each object whether it is signalled
// now; only a wait that has to block polls: the descriptors of the objects
// that have one (processes), and the wake signal for those that keep their
// state in memory (see thread_wake.h). Objects are shared: the handle table
// holds one reference and every call working on the object holds another for
// its duration, so that CloseHandle on one thread never closes a descriptor
// that a wait on another thread is still polling.
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
  // What a blocking wait polls until the matching EndWait: the object's
  // descriptor, or -1 when the object instead sends `waiter`'s thread the
  // wake signal once it is signalled.
  virtual int BeginWait(Waiter& waiter) = 0;
  virtual void EndWait(Waiter& /*waiter*/) {}

 private:
  const ObjectKind kind_;
};

// An object whose state lives in memory (events, threads). A supervisor of
// thousands of instances holds several of them for each, and a descriptor
// for each would soon meet the process's limit.
class SignalObject : public KernelObject {
 public:
  SignalObject(ObjectKind kind, bool signalled) : KernelObject(kind), signalled_(signalled) {}

  int BeginWait(Waiter& waiter) override;
  void EndWait(Waiter& waiter) override;
  // From Link to Unlink, `waiter`'s thread gets the wake signal each time
  // the object becomes signalled.
  void Link(Waiter& waiter);
  void Unlink(Waiter& waiter);

 protected:
  // With mu_ held.
  void SignalLocked();
  void ClearLocked() { signalled_ = false; }

  std::mutex mu_;
  bool signalled_;

 private:
  Waiter* waiters_ = nullptr;  // the threads to wake, linked through Waiter
};

class EventObject final : public SignalObject {
 public:
  EventObject(bool manual_reset, bool signalled)
      : SignalObject(ObjectKind::kEvent, signalled), manual_reset_(manual_reset) {}

  void Set();
  void Reset();
  bool TakeIfSignalled() override;

 private:
  // A set event set again stays set, and an auto-reset signal is taken by
  // exactly one waiter: signalled_ changes under mu_ only.
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
