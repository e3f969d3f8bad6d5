// ZQ_TEvent: the library's lock. Re-entrant: the thread that holds it may
// take it again, and must release it as often as it took it.
#pragma once

#include <mutex>

class ZQ_TEvent {
 public:
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  bool TryLock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a ZQ_TEvent for a scope.
class ZQ_TLockGuard {
 public:
  explicit ZQ_TLockGuard(ZQ_TEvent& lock) : lock_(lock) { lock_.Lock(); }
  ~ZQ_TLockGuard() { lock_.Unlock(); }
  ZQ_TLockGuard(const ZQ_TLockGuard&) = delete;
  ZQ_TLockGuard& operator=(const ZQ_TLockGuard&) = delete;

 private:
  ZQ_TEvent& lock_;
};
