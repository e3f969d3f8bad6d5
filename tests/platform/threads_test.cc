// Thread handles: completion, exit codes, thread ids, stacks, early close,
// and thread creation failing.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "platform/kernel_faults.h"
#include "platform/process_memory.h"
#include "platform_test_support.h"

namespace zq_test {
namespace {

size_t OwnStackBytes() {
  pthread_attr_t attr;
  size_t bytes = 0;
  pthread_getattr_np(pthread_self(), &attr);
  pthread_attr_getstacksize(&attr, &bytes);
  pthread_attr_destroy(&attr);
  return bytes;
}

// A thread of the layer that blocks until released. The destructor releases
// it and waits until its procedure is done, on every path out of a test.
struct GatedThread {
  // Members are initialised in order: the thread starts after all it uses.
  explicit GatedThread(unsigned exit_code, unsigned stack_size = 0)
      : exit_code(exit_code), thread(StartThread(&Run, this, stack_size, &reported_id)) {}
  ~GatedThread() {
    SetEvent(release.get());
    if (thread_started) WaitForSingleObject(done.get(), INFINITE);
  }

  static unsigned Run(void* raw) {
    auto* self = static_cast<GatedThread*>(raw);
    self->own_id = static_cast<unsigned>(gettid());
    self->stack_bytes = OwnStackBytes();
    WaitForSingleObject(self->release.get(), INFINITE);
    const unsigned exit_code = self->exit_code;
    SetEvent(self->done.get());  // `self` may be gone from here on
    return exit_code;
  }

  const unsigned exit_code;
  Handle release = NewEvent(/*manual_reset=*/true);
  Handle done = NewEvent(/*manual_reset=*/true);
  std::atomic<unsigned> own_id{0};
  size_t stack_bytes = 0;
  unsigned reported_id = 0;
  Handle thread;
  const bool thread_started = thread != nullptr;
};

TEST(ThreadHandles, SignalledWhenTheProcedureReturnsWithItsExitCode) {
  GatedThread gated(42);
  ASSERT_TRUE(gated.thread_started) << GetLastError();
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(gated.thread.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(gated.thread.get(), 0), WAIT_TIMEOUT);

  ASSERT_TRUE(SetEvent(gated.release.get()));
  EXPECT_EQ(WaitForSingleObject(gated.thread.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(gated.thread.get(), 0), WAIT_OBJECT_0);  // stays signalled
  ASSERT_TRUE(GetExitCodeThread(gated.thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(gated.reported_id, gated.own_id);
}

TEST(ThreadHandles, ClosingTheHandleWhileTheThreadRunsIsSafe) {
  GatedThread gated(7);
  ASSERT_TRUE(gated.thread_started);
  HANDLE closed = gated.thread.release();
  ASSERT_TRUE(CloseHandle(closed));
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(closed, &code));
  // Descriptors opened now may take the numbers the handle's had; the thread
  // must still finish on its own.
  Handle later = NewEvent(/*manual_reset=*/true);
  ASSERT_TRUE(SetEvent(gated.release.get()));
  ASSERT_EQ(WaitForSingleObject(gated.done.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(later.get(), 0), WAIT_TIMEOUT);
}

TEST(ThreadHandles, StacksHaveTheRequestedOrTheDefaultSize) {
  // Threads that name no size (std::thread) get the same default once the
  // program has asked for it. Checked first: the C library may give a later
  // thread the cached stack of an ended larger one.
  zq_platform::KeepProcessMemorySmall();
  size_t plain_bytes = 0;
  std::thread([&plain_bytes] { plain_bytes = OwnStackBytes(); }).join();
  EXPECT_GE(plain_bytes, kDefaultThreadStackBytes);
  EXPECT_LT(plain_bytes, 2 * kDefaultThreadStackBytes);

  GatedThread small(0), large(0, 1024 * 1024 + 1);
  ASSERT_TRUE(small.thread_started && large.thread_started);
  SetEvent(small.release.get());
  SetEvent(large.release.get());
  ASSERT_EQ(WaitForSingleObject(small.thread.get(), 10000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(large.thread.get(), 10000), WAIT_OBJECT_0);
  EXPECT_GE(small.stack_bytes, kDefaultThreadStackBytes);
  EXPECT_LT(small.stack_bytes, 2 * kDefaultThreadStackBytes);  // not the 8 MiB of glibc
  EXPECT_GE(large.stack_bytes, 1024u * 1024 + 1);
}

// Touches `bytes` of stack below the caller's frame.
__attribute__((noinline)) void UseStack(size_t bytes) {
  volatile char block[4096];
  for (size_t i = 0; i < sizeof block; i += 512)
    block[i] = 1;
  if (bytes > sizeof block) UseStack(bytes - sizeof block);
  block[0] = 2;  // not a tail call: every frame stays until the deepest returns
}

// The pages of the calling thread's stack in memory.
size_t ResidentStackPages() {
  pthread_attr_t attr;
  void* low = nullptr;
  size_t bytes = 0;
  pthread_getattr_np(pthread_self(), &attr);
  pthread_attr_getstack(&attr, &low, &bytes);
  pthread_attr_destroy(&attr);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident(bytes / page);
  if (mincore(low, bytes, resident.data()) != 0) return 0;
  return static_cast<size_t>(std::count_if(resident.begin(), resident.end(),
                                           [](unsigned char flags) { return flags & 1; }));
}

TEST(ThreadHandles, AThreadAboutToWaitGivesBackTheStackOfItsDeeperCalls) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' stacks are their own";
#endif
  size_t deep = 0, released = 0, reused = 0;
  std::thread([&] {
    UseStack(64 * 1024);
    deep = ResidentStackPages();
    zq_platform::ReleaseStackBelowCaller();
    released = ResidentStackPages();
    UseStack(16 * 1024);  // the pages given back are usable again
    reused = ResidentStackPages();
  }).join();
  EXPECT_GE(deep, 16u);
  EXPECT_LE(released, 4u) << "of " << deep;
  EXPECT_GE(reused, released + 4);
}

TEST(ThreadHandles, HandlesOfOtherKindsAreRejected) {
  GatedThread gated(0);
  Handle event = NewEvent(/*manual_reset=*/true);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(event.get(), &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(SetEvent(gated.thread.get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Operating-system failures, injected through the system-call table, which
// is put back however the test ends.
class FailingSystemCalls : public ::testing::Test {
 protected:
  ~FailingSystemCalls() override { zq_platform::g_system_calls = zq_platform::kDefaultSystemCalls; }
};

unsigned ReturnFive(void*) {
  return 5;
}

TEST_F(FailingSystemCalls, FailedThreadCreationIsReportedAndLeaksNothing) {
  const long open_before = OpenDescriptorCount();
  zq_platform::g_system_calls.pthread_create = [](pthread_t*, const pthread_attr_t*,
                                                  void* (*)(void*), void*) { return EAGAIN; };
  EXPECT_EQ(StartThread(ReturnFive, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(OpenDescriptorCount(), open_before);

  zq_platform::g_system_calls = zq_platform::kDefaultSystemCalls;
  Handle thread = StartThread(ReturnFive, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 5u);
}

TEST_F(FailingSystemCalls, ProcessHandleFailuresAreReported) {
  zq_platform::g_system_calls.pidfd_open = [](pid_t, unsigned) { return errno = EMFILE, -1; };
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(getpid())), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
  zq_platform::g_system_calls.pidfd_open = [](pid_t, unsigned) { return errno = EPERM, -1; };
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(getpid())), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace zq_test
