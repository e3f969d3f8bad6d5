// Waiting on several objects, time-outs, and waits interrupted by signals.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>
#include <fstream>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/thread_wake.h"
#include "platform_test_support.h"

namespace zq_test {
namespace {

TEST(WaitForMultipleObjects, ReportsTheLowestSignalledIndexAndConsumesOnlyThatOne) {
  Handle unset = NewEvent(true), auto_set = NewEvent(false, true),
         manual_set = NewEvent(true, true), last_auto_set = NewEvent(false, true);
  const HANDLE handles[] = {unset.get(), auto_set.get(), manual_set.get(), last_auto_set.get()};
  EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
  ASSERT_TRUE(ResetEvent(manual_set.get()));
  EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, handles, FALSE, 0), WAIT_TIMEOUT);
}

// Whether thread `tid` of this process is blocked in ppoll(2) now.
bool InPoll(pid_t tid) {
  std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  return syscall >> number && number == SYS_ppoll;
}

// Waits until `tid` blocks in ppoll(2); false after 10 s.
bool UntilInPoll(pid_t tid) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!InPoll(tid)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The service waits on an event and a thread per instance: waits on them
// hold no descriptor, and a set reaches its waiter whenever it comes, also
// in a poll of the waiter's own (WakeOnSet) and when it came before it.
TEST(WaitWakeUps, WaitsHoldNoDescriptorAndNoSetIsMissed) {
  const long before = OpenDescriptorCount();
  Handle event = NewEvent(/*manual_reset=*/false), stop = NewEvent(/*manual_reset=*/true);
  Handle thread = StartThread(
      [](void* stop) { return WaitForSingleObject(stop, 10000) == WAIT_OBJECT_0 ? 0u : 1u; },
      stop.get());
  std::atomic<pid_t> waiter{0};
  DWORD result = WAIT_FAILED;
  {
    std::jthread waiting([&] {
      waiter = gettid();
      result = WaitForSingleObject(event.get(), 10000);
    });
    while (waiter == 0)
      std::this_thread::yield();
    ASSERT_TRUE(UntilInPoll(waiter));
    EXPECT_EQ(OpenDescriptorCount(), before);
    ASSERT_TRUE(SetEvent(event.get()));
  }
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);  // taken by the waiter

  std::atomic<bool> linked{false}, set{false};
  std::atomic<pid_t> poller{0};
  int interrupted = 0;
  {
    std::jthread polling([&] {
      const zq_platform::WakeOnSet wake(stop.get());
      poller = gettid();
      linked = true;
      while (!set)
        std::this_thread::yield();
      int pipe_fds[2];
      if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
      pollfd never{pipe_fds[0], POLLIN, 0};
      const sigset_t wakeable = zq_platform::WakeableMask();
      const timespec limit{10, 0};
      // Once for the set before this poll, once for the set during the next.
      for (int i = 0; i < 2; ++i)
        interrupted += ppoll(&never, 1, &limit, &wakeable) < 0 && errno == EINTR;
      close(pipe_fds[0]);
      close(pipe_fds[1]);
    });
    // No assertion may leave this scope early: the poller would wait for
    // `set` for ever.
    while (!linked)
      std::this_thread::yield();
    EXPECT_TRUE(SetEvent(stop.get()));
    set = true;
    EXPECT_TRUE(UntilInPoll(poller));
    EXPECT_TRUE(ResetEvent(stop.get()));
    EXPECT_TRUE(SetEvent(stop.get()));
  }
  EXPECT_EQ(interrupted, 2);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(WaitForMultipleObjects, TakesUpToTheMaximumAndFailsWholeOnABadArgument) {
  constexpr DWORD kLast = MAXIMUM_WAIT_OBJECTS - 1;
  std::vector<Handle> events;
  std::vector<HANDLE> handles;
  for (DWORD i = 0; i <= MAXIMUM_WAIT_OBJECTS; ++i) {
    events.push_back(NewEvent(/*manual_reset=*/false, /*signalled=*/i >= kLast));
    handles.push_back(events.back().get());
  }
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, &handles[0], FALSE, 0),
            WAIT_OBJECT_0 + kLast);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, &handles[0], FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, &handles.back(), TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A bad handle fails the wait before any signal is taken.
  const HANDLE with_bad[] = {handles.back(), reinterpret_cast<HANDLE>(0x4242)};
  EXPECT_EQ(WaitForMultipleObjects(2, with_bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(handles.back(), 0), WAIT_OBJECT_0);
}

TEST(WaitTimeouts, TimesOutAfterRoughlyTheGivenTime) {
  Handle first = NewEvent(true), second = NewEvent(false);
  const HANDLE handles[] = {first.get(), second.get()};
  for (DWORD timeout : {0, 150}) {
    const auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, timeout), WAIT_TIMEOUT);
    EXPECT_GE(Since(start), milliseconds(timeout));
    EXPECT_LT(Since(start), milliseconds(timeout + 2000));
  }
}

TEST(WaitTimeouts, LongAndInfiniteWaitsWakeWhenAnotherThreadSets) {
  for (DWORD timeout : {INFINITE, 3'000'000'000u /* above INT_MAX ms */}) {
    SCOPED_TRACE(timeout);
    Handle event = NewEvent(/*manual_reset=*/false);
    const auto start = Clock::now();
    std::jthread setter([&] {
      Sleep(50);  // the delay under test, not a synchronisation
      SetEvent(event.get());
    });
    EXPECT_EQ(WaitForSingleObject(event.get(), timeout), WAIT_OBJECT_0);
    EXPECT_GE(Since(start), milliseconds(50));
  }
}

std::atomic<int> g_signals_caught{0};

// Sends SIGUSR1 to the calling thread every 5 ms while alive, so that the
// waits under test are interrupted again and again.
class SignalStorm {
 public:
  SignalStorm() {
    struct sigaction action = {};
    action.sa_handler = [](int) { ++g_signals_caught; };  // no SA_RESTART: EINTR
    sigaction(SIGUSR1, &action, &previous_);
    sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGUSR1;
    event._sigev_un._tid = gettid();
    timer_create(CLOCK_MONOTONIC, &event, &timer_);
    const itimerspec every_5ms = {{0, 5'000'000}, {0, 5'000'000}};
    timer_settime(timer_, 0, &every_5ms, nullptr);
  }
  ~SignalStorm() {
    timer_delete(timer_);
    signal(SIGUSR1, SIG_IGN);  // drops a signal still pending from the timer
    sigaction(SIGUSR1, &previous_, nullptr);
  }

 private:
  struct sigaction previous_ = {};
  timer_t timer_ = {};
};

TEST(WaitTimeouts, InterruptedWaitsAndSleepsResumeWithTheTimeLeft) {
  Handle event = NewEvent(/*manual_reset=*/true);
  SignalStorm storm;
  const int caught_before = g_signals_caught;
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event.get(), 200), WAIT_TIMEOUT);
  EXPECT_GE(Since(start), milliseconds(200));
  EXPECT_LT(Since(start), milliseconds(200 + 2000));
  start = Clock::now();
  Sleep(200);
  EXPECT_GE(Since(start), milliseconds(200));
  EXPECT_LT(Since(start), milliseconds(200 + 2000));
  EXPECT_GT(g_signals_caught, caught_before);
}

}  // namespace
}  // namespace zq_test
