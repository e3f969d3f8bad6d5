// The daemon's process watch set on its own, with real child processes: an
// end is reported only for the process that ended, also when a watch is
// released and a new one made in the very batch of the event loop that
// carries the released process's end, and every child is reaped, once its
// watch is released.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>

#include "zqmd/process_watch.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A `sleep` child of the test, killed and reaped by the destructor unless
// the set under test reaped it.
class Sleeper {
 public:
  Sleeper() {
    char program[] = "sleep";
    char seconds[] = "1000";
    char* argv[] = {program, seconds, nullptr};
    EXPECT_EQ(0, posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, environ));
  }
  ~Sleeper() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }
  int OpenPidfd() const { return static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)); }
  // Kills it and waits until it has ended, without reaping it.
  void KillAndAwaitEnd() const {
    kill(pid_, SIGKILL);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
  // Whether it was reaped (by someone else than this object).
  bool Reaped() const {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
           errno == ECHILD;
  }

 private:
  pid_t pid_ = -1;
};

// Runs `io` until `done` holds, at most for `timeout`.
template <class Condition>
bool RunUntil(asio::io_context& io, Condition done, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    io.run_one_for(deadline - std::chrono::steady_clock::now());
  }
  return true;
}

TEST(ProcessWatchSet, ReleaseAndNewWatchInTheBatchOfTheEndReportOnlyRealEnds) {
  asio::io_context io(1);
  zqmd::ProcessWatchSet set(io);
  Sleeper first, second;
  bool firstReported = false, secondReported = false;
  const int firstFd = first.OpenPidfd();
  const auto firstId = set.Watch(firstFd, true, [&] { firstReported = true; });

  // A descriptor that becomes ready before the first process ends: its
  // handler runs in the same batch as that end, ahead of it, and releases
  // the first watch and watches the second process (whose pidfd takes the
  // released one's number).
  asio::posix::stream_descriptor trigger(io, eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  zqmd::ProcessWatchSet::Id secondId = 0;
  int newFd = -1;
  trigger.async_wait(asio::posix::stream_descriptor::wait_read, [&](asio::error_code error) {
    ASSERT_FALSE(error);
    set.Release(firstId);
    newFd = second.OpenPidfd();
    secondId = set.Watch(newFd, true, [&] { secondReported = true; });
  });
  const std::uint64_t one = 1;
  ASSERT_EQ(8, write(trigger.native_handle(), &one, sizeof one));
  first.KillAndAwaitEnd();

  ASSERT_TRUE(RunUntil(io, [&] { return secondId != 0; }));
  EXPECT_EQ(firstFd, newFd) << "the new pidfd did not take the released one's number";
  io.poll();
  EXPECT_FALSE(firstReported) << "a released watch reported";
  EXPECT_FALSE(secondReported) << "the new watch inherited the released process's end";
  EXPECT_TRUE(first.Reaped()) << "the released, ended child was left a zombie";
  EXPECT_FALSE(set.HasEnded(secondId));

  second.KillAndAwaitEnd();
  ASSERT_TRUE(RunUntil(io, [&] { return secondReported; }));
  EXPECT_TRUE(set.HasEnded(secondId));
  EXPECT_EQ("killed by signal 9 (Killed)", set.HowEnded(secondId));
  EXPECT_FALSE(second.Reaped()) << "asking how it ended reaped it";
  set.Release(secondId);
  EXPECT_TRUE(second.Reaped());
  EXPECT_EQ(0u, set.Count());
}

TEST(ProcessWatchSet, ChildReleasedWhileRunningIsReapedWhenItEnds) {
  asio::io_context io(1);
  zqmd::ProcessWatchSet set(io);
  Sleeper child;
  bool reported = false;
  set.Release(set.Watch(child.OpenPidfd(), true, [&] { reported = true; }));
  EXPECT_EQ(1u, set.Count()) << "a running child was let go of";
  child.KillAndAwaitEnd();
  ASSERT_TRUE(RunUntil(io, [&] { return set.Count() == 0; }));
  EXPECT_TRUE(child.Reaped());
  EXPECT_FALSE(reported);
}

}  // namespace
