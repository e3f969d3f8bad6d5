// Process handles, descriptors not leaking into programs started later, and
// the scheduling a program asks for and does not pass on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/scheduling.h"
#include "platform_test_support.h"

namespace zq_test {
namespace {

pid_t ParentOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("PPid:", 0) == 0) return std::stoi(line.substr(5));
  }
  return -1;
}

TEST(ProcessHandles, WakeWhenAProcessThatIsNotOurChildEnds) {
  // A child starts `sleep 60` in its own process group, reports its pid and
  // exits: the grandchild is then an orphan adopted by another process.
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  Fd from_child{pipe_fds[0]}, to_parent{pipe_fds[1]};
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      execlp("sleep", "sleep", "60", nullptr);
      _exit(127);
    }
    _exit(write(to_parent.fd, &grandchild, sizeof grandchild) == sizeof grandchild ? 0 : 1);
  }
  setpgid(child, child);
  bool grandchild_guarded = false;
  ScopeExit kill_group([&] {  // ends the grandchild even if its pid never arrives
    if (!grandchild_guarded) kill(-child, SIGKILL);
  });
  ProcessGuard child_guard(child, /*is_child=*/true);
  close(std::exchange(to_parent.fd, -1));
  pid_t grandchild = -1;
  ASSERT_EQ(read(from_child.fd, &grandchild, sizeof grandchild), ssize_t{sizeof grandchild});
  ProcessGuard grandchild_guard(grandchild, /*is_child=*/false);
  grandchild_guarded = true;
  ASSERT_EQ(child_guard.Reap(), 0);
  ASSERT_NE(ParentOf(grandchild), getpid());

  Handle process(OpenProcess(SYNCHRONIZE, FALSE, grandchild));
  ASSERT_NE(process, nullptr) << GetLastError();
  Handle never_set = NewEvent(/*manual_reset=*/true);
  const HANDLE handles[] = {never_set.get(), process.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_TIMEOUT);
  grandchild_guard.Kill();
  const auto start = Clock::now();
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 10000), WAIT_OBJECT_0 + 1);
  EXPECT_LT(Since(start), milliseconds(5000));
}

TEST(ProcessHandles, AnExitedChildIsSignalledAtOnceAndLeftForItsParentToReap) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(3);
  ProcessGuard guard(child, /*is_child=*/true);
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);  // a zombie now

  Handle process(OpenProcess(SYNCHRONIZE, FALSE, child));
  ASSERT_NE(process, nullptr) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
  const int status = guard.Reap();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
}

TEST(ProcessHandles, OpeningAProcessThatNoLongerExistsFails) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ProcessGuard(child, /*is_child=*/true).Reap();
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, child), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The descriptor numbers that `ls -l /proc/self/fd`, run in a child, reports
// as open, or a note of what went wrong. Fails the test on a leaked pidfd.
std::set<std::string> DescriptorsOfAnExecdProgram() {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {"pipe2 failed"};
  Fd from_child{pipe_fds[0]}, to_parent{pipe_fds[1]};
  const pid_t child = fork();
  if (child < 0) return {"fork failed"};
  if (child == 0) {
    dup2(to_parent.fd, STDOUT_FILENO);
    execlp("ls", "ls", "-l", "/proc/self/fd", nullptr);
    _exit(127);
  }
  ProcessGuard guard(child, /*is_child=*/true);
  close(std::exchange(to_parent.fd, -1));
  std::string listing;
  char buffer[4096];
  for (ssize_t n; (n = read(from_child.fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno != EINTR) break;
    if (n > 0) listing.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(listing.find("pidfd"), std::string::npos) << listing;
  std::set<std::string> numbers;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    const std::string head = line.substr(0, arrow);
    numbers.insert(head.substr(head.rfind(' ') + 1));
  }
  return numbers;
}

TEST(DescriptorHygiene, ProgramsStartedLaterInheritNoneOfTheLayersDescriptors) {
  // Taken first, so that descriptors the test runner passed down do not count.
  const std::set<std::string> before = DescriptorsOfAnExecdProgram();
  ASSERT_GE(before.size(), 4u);  // 0, 1, 2 and the directory ls reads
  const long open_before = OpenDescriptorCount();
  Handle manual = NewEvent(true, true), automatic = NewEvent(false);
  Handle self(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(getpid())));
  Handle thread = StartThread([](void*) { return 0u; }, nullptr);
  // Of these only the process handle is a descriptor.
  ASSERT_EQ(OpenDescriptorCount(), open_before + 1);
  EXPECT_EQ(DescriptorsOfAnExecdProgram(), before);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace zq_test

namespace zq_test {
namespace {

// The calling thread's time slice in µs, as the kernel reports it (its
// default one when none was asked for); -1 when it cannot be read.
long SliceUs() {
  std::uint32_t attributes[14] = {};  // struct sched_attr, 56 bytes
  if (syscall(SYS_sched_getattr, 0, attributes, sizeof attributes, 0) != 0) return -1;
  std::uint64_t runtime = 0;
  std::memcpy(&runtime, &attributes[6], sizeof runtime);
  return static_cast<long>(runtime / 1000);
}

// In a child process, so that the test process keeps its own scheduling:
// the slice after RequestShortTimeSlices with ZQM_TIME_SLICE_US=`setting`,
// in a thread started after it, in that thread once it relaxed its slice
// and once it took the short one again, and whether a grandchild that
// restored it has the slice of before (0) or not.
struct Slices {
  long before, after, thread, relaxed, again, restored;
};

std::optional<Slices> SlicesWith(const char* setting) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  Fd from{fds[0]}, to{fds[1]};
  const pid_t child = fork();
  if (child == 0) {
    if (setting != nullptr) setenv("ZQM_TIME_SLICE_US", setting, 1);
    Slices slices{SliceUs(), 0, 0, 0, 0, 0};
    zq_platform::RequestShortTimeSlices();
    slices.after = SliceUs();
    std::thread([&] {
      slices.thread = SliceUs();
      zq_platform::RelaxTimeSlice();
      slices.relaxed = SliceUs();
      zq_platform::TakeShortTimeSliceAgain();
      slices.again = SliceUs();
    }).join();
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      zq_platform::RestoreTimeSlicesInChild();
      _exit(SliceUs() == slices.before ? 0 : 1);
    }
    int status = 0;
    waitpid(grandchild, &status, 0);
    slices.restored = WEXITSTATUS(status);
    _exit(write(to.fd, &slices, sizeof slices) == sizeof slices ? 0 : 1);
  }
  close(to.fd);
  to.fd = -1;
  Slices slices{};
  const bool read_all = read(from.fd, &slices, sizeof slices) == sizeof slices;
  waitpid(child, nullptr, 0);
  return read_all ? std::optional<Slices>(slices) : std::nullopt;
}

TEST(Scheduling, ShortSlicesForTheProgramAndItsThreadsNotForWhatItStarts) {
  const std::optional<Slices> standard = SlicesWith(nullptr);
  ASSERT_TRUE(standard);
  utsname system{};
  unsigned major = 0, minor = 0;
  ASSERT_EQ(0, uname(&system));
  if (std::sscanf(system.release, "%u.%u", &major, &minor) != 2 || major * 100 + minor < 612)
    GTEST_SKIP() << "Linux " << system.release << " has no slices per task (6.12 has)";
  EXPECT_EQ(100, standard->after);
  EXPECT_EQ(100, standard->thread);
  EXPECT_EQ(standard->before, standard->relaxed);
  EXPECT_EQ(100, standard->again);
  EXPECT_EQ(0, standard->restored);
  const std::optional<Slices> chosen = SlicesWith("2500");
  ASSERT_TRUE(chosen);
  EXPECT_EQ(2500, chosen->after);
  const std::optional<Slices> off = SlicesWith("0");
  ASSERT_TRUE(off);
  EXPECT_EQ(off->before, off->after);
  EXPECT_EQ(off->before, off->again);
  EXPECT_EQ(0, off->restored);
}

}  // namespace
}  // namespace zq_test
