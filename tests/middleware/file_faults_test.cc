// The daemon's kept files when a write fails (a full or failing disk, made
// to fail on purpose through the system-call table): a rotation whose copy
// fails keeps the kept logs and the log as they were and leaves no part of
// the copy, and a state file that cannot be replaced keeps what it held.
// And a running instance's log, which the daemon opens only for each use
// and never once it was moved away or replaced.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "DEVUror/zqm_deadlines.h"
#include "middleware/middleware_helpers.h"
#include "platform/kernel_faults.h"
#include "zqmd/instance_log.h"
#include "zqmd/state_file.h"

namespace {

using zq_test::Contains;
using zq_test::ReadFile;

// Puts the real system calls back however the test ends.
struct Faults {
  ~Faults() { zq_platform::g_system_calls = zq_platform::kDefaultSystemCalls; }
};

int g_error = 0;
bool g_copied = false;

// Copies a little, then fails with g_error: a copy that breaks off.
ssize_t CopyThenFail(int from, off64_t* fromOffset, int to, off64_t* toOffset, size_t count,
                     unsigned flags) {
  if (!std::exchange(g_copied, true))
    return ::copy_file_range(from, fromOffset, to, toOffset, count < 10 ? count : 10, flags);
  errno = g_error;
  return -1;
}

ssize_t WriteFails(int, const void*, size_t) {
  errno = g_error;
  return -1;
}

int FsyncFails(int) {
  errno = g_error;
  return -1;
}

std::set<std::string> Files(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// This process's descriptors of `path` or of a file named after it.
std::set<int> DescriptorsOf(const std::string& path) {
  std::set<int> found;
  for (const int fd : zq_test::OpenDescriptors(getpid())) {
    if (zq_test::DescriptorTarget(getpid(), fd).rfind(path, 0) == 0) found.insert(fd);
  }
  return found;
}

TEST(FileFaults, AFailedCopyOrStateWriteKeepsWhatWasKept) {
  const Faults restore;
  zq_test::TempDir dir;
  const std::string log = dir.File("App-1.log");
  dir.Write("App-1.log.1", "newest kept\n");
  dir.Write("App-1.log.2", "oldest kept\n");
  const std::string live = std::string(99, 'l') + "\n";
  dir.Write("App-1.log", live);
  const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const zqmd::LogLimits limits{1000, 2};

  for (const int error : {ENOSPC, EIO}) {
    g_error = error;
    g_copied = false;
    zq_platform::g_system_calls.copy_file_range = CopyThenFail;
    const std::string problem = zqmd::RotateByCopy(fd, log, limits);
    EXPECT_EQ("copy_file_range " + log + ".rotating: " + std::strerror(error), problem);
    EXPECT_EQ("newest kept\n", ReadFile(log + ".1"));
    EXPECT_EQ("oldest kept\n", ReadFile(log + ".2"));
    EXPECT_EQ(live, ReadFile(log)) << "emptied though its copy failed";
    EXPECT_EQ((std::set<std::string>{"App-1.log", "App-1.log.1", "App-1.log.2"}),
              Files(dir.Path()));
  }
  zq_platform::g_system_calls = zq_platform::kDefaultSystemCalls;
  EXPECT_EQ("", zqmd::RotateByCopy(fd, log, limits));
  EXPECT_EQ(live, ReadFile(log + ".1"));
  EXPECT_EQ("newest kept\n", ReadFile(log + ".2"));
  EXPECT_EQ("", ReadFile(log));
  close(fd);

  const std::string state = dir.File("zqmd.state");
  zqmd::SavedInstance kept;
  kept.name = "Kept";
  kept.pid = 42;
  kept.startTicks = 7;
  kept.launch = "0123456789abcdef0123456789abcdef";
  std::string problem;
  ASSERT_TRUE(zqmd::SaveState(state, {kept}, {}, problem)) << problem;
  zqmd::SavedInstance added = kept;
  added.name = "Added";
  const std::pair<const char*, int> failures[] = {{"write", ENOSPC}, {"fsync", EIO}};
  for (const auto& [call, error] : failures) {
    g_error = error;
    zq_platform::g_system_calls = zq_platform::kDefaultSystemCalls;
    if (std::string(call) == "write") zq_platform::g_system_calls.write = WriteFails;
    if (std::string(call) == "fsync") zq_platform::g_system_calls.fsync = FsyncFails;
    EXPECT_FALSE(zqmd::SaveState(state, {kept, added}, {}, problem));
    EXPECT_TRUE(Contains(problem, std::string(call) + " " + state + ".new:") &&
                Contains(problem, std::strerror(error)))
        << problem;
    std::string unreadable;
    const auto loaded = zqmd::LoadState(state, unreadable);
    ASSERT_TRUE(loaded.has_value()) << unreadable;
    ASSERT_EQ(1u, loaded->size());
    EXPECT_EQ("Kept", loaded->front().name);
    EXPECT_EQ(kept.launch, loaded->front().launch);
  }
  EXPECT_EQ((std::set<std::string>{"App-1.log", "App-1.log.1", "App-1.log.2", "zqmd.state"}),
            Files(dir.Path()))
      << "a partial state file was left behind";
}

TEST(FileFaults, ARunningInstancesLogIsOpenedForEachUseAndLeftAloneOnceReplaced) {
  zq_test::TempDir dir;
  const std::string log = std::filesystem::canonical(dir.Path()).string() + "/App-1.log";
  const std::string earlier(150, 'e');
  dir.Write("App-1.log", earlier);  // an earlier instance left it over the limit
  const int instance = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(instance, 0);
  asio::io_context io;
  zqm_deadlines::DeadlineQueue deadlines(io);
  zqmd::LogWatchSet logs(io, deadlines);
  const auto id = logs.Watch(open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC), log,
                             zqmd::LogLimits{100, 2}, "opening\n");
  EXPECT_EQ(earlier + "opening\n", ReadFile(log + ".1"));
  EXPECT_EQ(std::set<int>{instance}, DescriptorsOf(log)) << "the daemon kept its descriptor";
  logs.Append(id, "line\n");
  EXPECT_EQ("line\n", ReadFile(log));

  // Grown beyond the limit while it runs: the watch armed through a
  // descriptor since closed still fires, and the log is rotated.
  const std::string grown(120, 'g');
  ASSERT_EQ(static_cast<ssize_t>(grown.size()), write(instance, grown.data(), grown.size()));
  EXPECT_TRUE(zq_test::Eventually(
      [&] {
        io.run_one_for(std::chrono::milliseconds(10));
        return ReadFile(log + ".1") == "line\n" + grown;
      },
      std::chrono::seconds(5)));
  EXPECT_EQ("", ReadFile(log));
  EXPECT_EQ(earlier + "opening\n", ReadFile(log + ".2"));

  // An operator moves it away and puts another file, over the limit, in its
  // place; the instance writes on into the moved one. Neither a look nor a
  // marker line touches the new file.
  ASSERT_EQ(0, rename(log.c_str(), (log + ".moved").c_str()));
  const std::string operators = "the operator's " + std::string(120, 'o');
  dir.Write("App-1.log", operators);
  ASSERT_EQ(1, write(instance, "m", 1));
  io.poll();
  ASSERT_FALSE(deadlines.Empty()) << "no look is due";
  EXPECT_TRUE(zq_test::Eventually(
      [&] {
        io.run_one_for(std::chrono::milliseconds(10));
        return deadlines.Empty();
      },
      std::chrono::seconds(5)));
  logs.Append(id, "end\n");
  EXPECT_EQ(operators, ReadFile(log));
  EXPECT_EQ("line\n" + grown, ReadFile(log + ".1"));
  EXPECT_EQ(std::set<int>{instance}, DescriptorsOf(log));
  logs.Release(id);
  close(instance);
}

}  // namespace
