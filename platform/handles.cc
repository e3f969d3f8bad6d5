// The process-wide handle table, CloseHandle and the per-thread last error.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/kernel_object.h"

namespace zq_platform {
namespace {

// A handle value is (generation << kHalfBits) | (slot index + 1). The low
// half is never 0, so no handle is null; the generation changes each time a
// slot is freed, so a stale handle no longer matches a reused slot.
constexpr unsigned kHalfBits = sizeof(std::uintptr_t) * 4;
constexpr std::uintptr_t kLowMask = (std::uintptr_t{1} << kHalfBits) - 1;
// Far more handles than descriptors a process may open; below kLowMask so
// that no handle is all ones, the INVALID_HANDLE_VALUE of Windows code.
constexpr std::size_t kMaxSlots = std::min<std::uintptr_t>(kLowMask - 1, std::uintptr_t{1} << 20);

class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(mu_);
    std::size_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else if (slots_.size() < kMaxSlots) {
      slots_.emplace_back();
      // Reserved here so that Remove never allocates.
      free_.reserve(slots_.capacity());
      index = slots_.size() - 1;
    } else {
      return nullptr;
    }
    slots_[index].object = std::move(object);
    return reinterpret_cast<HANDLE>((slots_[index].generation << kHalfBits) | (index + 1));
  }

  std::shared_ptr<KernelObject> Lookup(HANDLE handle) {
    std::lock_guard lock(mu_);
    Slot* slot = Find(handle);
    return slot != nullptr ? slot->object : nullptr;
  }

  // Returns the table's reference so that the caller drops it, and with it
  // perhaps the descriptor, outside the lock.
  std::shared_ptr<KernelObject> Remove(HANDLE handle) {
    std::lock_guard lock(mu_);
    Slot* slot = Find(handle);
    if (slot == nullptr) return nullptr;
    slot->generation = (slot->generation + 1) & kLowMask;
    if (slot->generation == 0) slot->generation = 1;
    free_.push_back(static_cast<std::size_t>(slot - slots_.data()));
    return std::move(slot->object);
  }

 private:
  struct Slot {
    std::uintptr_t generation = 1;
    std::shared_ptr<KernelObject> object;
  };

  Slot* Find(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const std::uintptr_t low = value & kLowMask;
    if (low == 0 || low > slots_.size()) return nullptr;
    Slot& slot = slots_[low - 1];
    if (slot.object == nullptr || slot.generation != value >> kHalfBits) return nullptr;
    return &slot;
  }

  std::mutex mu_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> free_;
};

// A process handle is a descriptor, and so is an event or thread handle
// while it is waited on: lift the soft limit to the hard one before the
// first handle is made, instead of failing at the default of 1024.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Never destroyed: detached threads and exit handlers may still close or wait
// on handles while static destructors run.
HandleTable& Table() {
  static HandleTable* const table = [] {
    RaiseDescriptorLimit();
    return new HandleTable;
  }();
  return *table;
}

thread_local DWORD t_last_error = ERROR_SUCCESS;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HANDLE handle = nullptr;
  try {
    handle = Table().Insert(std::move(object));
  } catch (const std::bad_alloc&) {
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (handle == nullptr) SetLastErrorCode(ERROR_TOO_MANY_OPEN_FILES);
  return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  auto object = Table().Lookup(handle);
  if (object == nullptr) SetLastErrorCode(ERROR_INVALID_HANDLE);
  return object;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, ObjectKind kind) {
  auto object = LookupHandle(handle);
  if (object != nullptr && object->kind() != kind) {
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

void SetLastErrorCode(DWORD error) {
  t_last_error = error;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EPERM:
    case EACCES:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:  // ESRCH and EINVAL among others: the caller named something that is not there
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace zq_platform

BOOL CloseHandle(HANDLE handle) {
  if (zq_platform::Table().Remove(handle) == nullptr) {
    zq_platform::SetLastErrorCode(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD GetLastError() {
  return zq_platform::t_last_error;
}

void SetLastError(DWORD error) {
  zq_platform::t_last_error = error;
}
