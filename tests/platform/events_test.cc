// Events: manual and auto reset, races for one signal, and bad handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "platform_test_support.h"

namespace zq_test {
namespace {

TEST(ManualResetEvent, StaysSetAcrossWaitsUntilReset) {
  Handle event = NewEvent(/*manual_reset=*/true);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event.get()) && SetEvent(event.get()));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  // Set twice, reset once: clear, not counting down.
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(NewEvent(true, /*signalled=*/true).get(), 0), WAIT_OBJECT_0);
}

TEST(AutoResetEvent, ReleasesOneWaitPerSet) {
  Handle event = NewEvent(/*manual_reset=*/false, /*signalled=*/true);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  // A set event set again stays just set: one release, not two.
  ASSERT_TRUE(SetEvent(event.get()) && SetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event.get()) && ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(AutoResetEvent, OfTwoWaitersForOneSignalOneWinsAndTheOtherTimesOut) {
  Handle event = NewEvent(/*manual_reset=*/false);
  std::array<DWORD, 2> results{};
  {
    std::jthread first([&] { results[0] = WaitForSingleObject(event.get(), 300); });
    std::jthread second([&] { results[1] = WaitForSingleObject(event.get(), 300); });
    SetEvent(event.get());
  }
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, (std::array<DWORD, 2>{WAIT_OBJECT_0, WAIT_TIMEOUT}));
}

// Waiters blocked together on one auto-reset event: each signal releases
// exactly one, and the losers of each race go back to waiting.
TEST(AutoResetEvent, EachSignalReleasesExactlyOneOfSeveralBlockedWaiters) {
  constexpr int kRounds = 200;
  Handle work = NewEvent(false), done = NewEvent(false), stop = NewEvent(true);
  std::atomic<int> wins{0}, failures{0};
  std::vector<std::jthread> waiters;
  ScopeExit stop_waiters([&] { SetEvent(stop.get()); });  // before they are joined
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      const HANDLE handles[] = {work.get(), stop.get()};
      DWORD result;
      while ((result = WaitForMultipleObjects(2, handles, FALSE, INFINITE)) == WAIT_OBJECT_0) {
        if (++wins > kRounds) return;  // released more often than signalled
        SetEvent(done.get());
      }
      if (result != WAIT_OBJECT_0 + 1) ++failures;
    });
  }
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(SetEvent(work.get()));
    ASSERT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0) << "round " << round;
  }
  SetEvent(stop.get());
  waiters.clear();
  EXPECT_EQ(wins, kRounds);
  EXPECT_EQ(failures, 0);
}

TEST(EventHandles, ClosedAndMadeUpHandlesFailCleanly) {
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  // Likely takes the closed handle's table slot; the old handle must not reach it.
  Handle reused = NewEvent(/*manual_reset=*/true);
  SetLastError(ERROR_SUCCESS);
  for (HANDLE bad : {closed, HANDLE{}, reinterpret_cast<HANDLE>(1),
                     reinterpret_cast<HANDLE>(0xdeadbeef), reinterpret_cast<HANDLE>(~0ull)}) {
    SCOPED_TRACE(bad);
    const auto fails_as_invalid = [](bool failed) {
      EXPECT_TRUE(failed);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
      SetLastError(ERROR_SUCCESS);
    };
    fails_as_invalid(!SetEvent(bad));
    fails_as_invalid(!ResetEvent(bad));
    fails_as_invalid(WaitForSingleObject(bad, 0) == WAIT_FAILED);
    fails_as_invalid(!CloseHandle(bad));
  }
  EXPECT_EQ(WaitForSingleObject(reused.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"named"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// CloseHandle must not close a descriptor that a wait on another thread still
// polls: the next descriptor opened would take its number, and the wait would
// report that one's state.
TEST(EventHandles, ClosingAHandleDuringAWaitDoesNotDisturbTheWait) {
  Handle other = NewEvent(/*manual_reset=*/true);
  HANDLE doomed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD result = 0;
  {
    std::jthread waiter([&] {
      const HANDLE handles[] = {doomed, other.get()};
      result = WaitForMultipleObjects(2, handles, FALSE, 10000);
    });
    // Not needed for correctness (the checks hold either way): it makes it
    // likely that the waiter is already inside poll when the handle goes.
    Sleep(50);
    ASSERT_TRUE(CloseHandle(doomed));
    Handle intruder = NewEvent(/*manual_reset=*/true, /*signalled=*/true);
    SetEvent(other.get());
  }
  // WAIT_FAILED if the waiter came too late to find the handle.
  EXPECT_TRUE(result == WAIT_OBJECT_0 + 1 || result == WAIT_FAILED) << result;
}

}  // namespace
}  // namespace zq_test
