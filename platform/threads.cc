// Threads: detached pthreads whose handle is signalled, and stays so, when the
// thread procedure has returned.
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/kernel_faults.h"
#include "platform/kernel_object.h"

namespace zq_platform {

void ThreadObject::Finish(DWORD exit_code) {
  exit_code_.store(exit_code, std::memory_order_release);
  std::lock_guard lock(mu_);
  // Cannot fail: a descriptor's counter goes from 0 to 1, once.
  SignalLocked();
}

bool ThreadObject::TakeIfSignalled() {
  std::lock_guard lock(mu_);
  return signalled_;
}

namespace {

struct StartBlock {
  // The thread's own reference: the handle may be closed while it runs.
  std::shared_ptr<ThreadObject> thread;
  ZQ_ThreadProc proc;
  void* arg;
  // Set only when the creator wants the thread id and waits for it.
  unsigned* thread_id;
  sem_t* id_published;
};

void* ThreadMain(void* raw) {
  std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(raw));
  if (start->thread_id != nullptr) {
    *start->thread_id = static_cast<unsigned>(gettid());
    // The creator returns after this; its stack is not ours to touch again.
    sem_post(start->id_published);
  }
  start->thread->Finish(start->proc(start->arg));
  return nullptr;
}

std::size_t StackBytes(unsigned requested) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::size_t bytes = requested != 0 ? requested : kDefaultThreadStackBytes;
  bytes = std::max<std::size_t>(bytes, PTHREAD_STACK_MIN);
  return (bytes + page - 1) / page * page;
}

// Starts the thread; returns 0 or an error number.
int StartThread(StartBlock* start, unsigned stack_size) {
  pthread_attr_t attr;
  if (const int error = pthread_attr_init(&attr); error != 0) return error;
  int error = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (error == 0) error = pthread_attr_setstacksize(&attr, StackBytes(stack_size));
  pthread_t id;
  if (error == 0) error = g_system_calls.pthread_create(&id, &attr, ThreadMain, start);
  pthread_attr_destroy(&attr);
  return error;
}

}  // namespace
}  // namespace zq_platform

std::uintptr_t _beginthreadex(void* security, unsigned stackSize, ZQ_ThreadProc proc, void* arg,
                              unsigned initflag, unsigned* threadId) {
  using namespace zq_platform;
  if (proc == nullptr || initflag != 0) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto thread = MakeObject<ThreadObject>();
  if (thread == nullptr) return 0;
  HANDLE handle = InsertHandle(thread);
  if (handle == nullptr) return 0;

  sem_t id_published;
  sem_init(&id_published, 0, 0);
  auto* start = new (std::nothrow)
      StartBlock{std::move(thread), proc, arg, threadId, threadId ? &id_published : nullptr};
  const int error = start != nullptr ? StartThread(start, stackSize) : ENOMEM;
  if (error != 0) {
    delete start;
    CloseHandle(handle);
    SetLastErrorFromErrno(error);
  } else if (threadId != nullptr) {
    while (sem_wait(&id_published) != 0 && errno == EINTR) {
    }
  }
  sem_destroy(&id_published);
  return error == 0 ? reinterpret_cast<std::uintptr_t>(handle) : 0;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  auto object = zq_platform::LookupHandle(thread, zq_platform::ObjectKind::kThread);
  if (object == nullptr) return FALSE;
  if (exitCode == nullptr) {
    zq_platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = static_cast<zq_platform::ThreadObject&>(*object).exit_code();
  return TRUE;
}
