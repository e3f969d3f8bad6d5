// The daemon when the ground gives way under it: a log folder whose disk is
// full, no descriptor left for a new connection. Real processes, each test
// in namespaces of its own; the misbehaving file systems are real mounts in
// a mount namespace of the test's own (support/mounts.h).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "DEVUror/zqm_tproxy.h"
#include "middleware/middleware_helpers.h"
#include "support/installation.h"
#include "support/mounts.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CatchFrom;
using zq_test::Contains;
using zq_test::Installation;

const char* const kLogConfiguration = R"({"Servers": {"ZQMD": {"Servers": {
  "Quiet": {"Program": "sleep", "Arguments": ["1000"], "Plain": true,
            "LogMaxBytes": 65536, "LogFilesKept": 2},
  "Idle": {"Program": "sleep", "Arguments": ["1000"], "Plain": true}
}}}})";

void Append(const std::string& path, char letter, std::size_t bytes) {
  std::ofstream(path, std::ios::app) << std::string(bytes - 1, letter) << '\n';
}

std::size_t FreeBytes(const std::string& folder) {
  struct statvfs status {};
  statvfs(folder.c_str(), &status);
  return status.f_bavail * status.f_frsize;
}

// Fills the file system of `folder` up to `leave` free bytes.
void Fill(const std::string& file, std::size_t leave) {
  const std::size_t free = FreeBytes(std::filesystem::path(file).parent_path());
  if (free > leave) std::ofstream(file, std::ios::app) << std::string(free - leave, 'f');
}

void StartPlain(const char* name) {
  EXPECT_THROW(ZQM_TClient().Connect("", name, 1, ZQM_TClient::kLocateOrStart),
               ZQM_ENotAnRpcServer);
}

std::size_t CountLines(zq_test::ChildProcess& process, const std::string& part) {
  const std::vector<std::string> lines = process.Lines();
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& line) { return Contains(line, part); }));
}

// The log folder is a small file system that fills up: a rotation whose copy
// fails keeps both kept logs whole and leaves no part of the copy; after its
// attempts the log is emptied with a line saying what was dropped. Marker
// lines and the state file that cannot be written are traced once, and the
// state file keeps what it held. Each episode's end is traced once.
TEST(DaemonFaults, AFullLogFolderCostsNoKeptLogAndEachEpisodeIsTracedOnce) {
  if (const std::string why = zq_test::PrivateMounts(); !why.empty()) GTEST_SKIP() << why;
  std::optional<zq_test::Mount> small;
  zq_test::InstallationOptions options;
  options.beforeDaemon = [&](const std::string& logs) {
    small.emplace(zq_test::Mount::Tmpfs(logs, 1 << 20));
  };
  Installation installation(kLogConfiguration, options);
  zq_test::ChildProcess& daemon = installation.Daemon();
  const std::string logs = installation.LogDir();
  const std::string log = logs + "/Quiet-1.log";
  StartPlain("Quiet");
  Append(log, 'a', 70000);
  ASSERT_TRUE(zq_test::WaitForFileMatches(log + ".1", "a\n", 1, 5s));
  Append(log, 'b', 70000);
  ASSERT_TRUE(zq_test::WaitForFileMatches(log + ".1", "b\n", 1, 5s));
  ASSERT_TRUE(zq_test::WaitForFileMatches(log + ".2", "a\n", 1, 5s));
  const std::string kept1 = zq_test::ReadFile(log + ".1");
  const std::string kept2 = zq_test::ReadFile(log + ".2");

  // Room for the log to grow beyond its limit, not for its copy.
  Fill(logs + "/filler", 100 << 10);
  Append(log, 'c', 80000);
  ASSERT_TRUE(daemon.WaitForLine("Cannot rotate the log " + log + ": copy_file_range", 5s))
      << daemon.Output();
  ASSERT_TRUE(zq_test::WaitForFileMatches(log, "^==== [^\n]* 80000 bytes dropped: ", 1, 10s))
      << zq_test::ReadFile(log).substr(0, 200);
  EXPECT_TRUE(Contains(zq_test::ReadFile(log), "could not be copied to " + log + ".1 (" +
                                                   "copy_file_range " + log +
                                                   ".rotating: No space left on device)\n"));
  EXPECT_EQ(kept1, zq_test::ReadFile(log + ".1"));
  EXPECT_EQ(kept2, zq_test::ReadFile(log + ".2"));
  EXPECT_FALSE(std::filesystem::exists(log + ".rotating"));
  EXPECT_EQ(1u, CountLines(daemon, "Cannot rotate the log " + log + ": copy_file_range"))
      << daemon.Output();

  // Full: the start marker of a new instance and the state file cannot be
  // written; the daemon goes on.
  Fill(logs + "/filler", 0);
  std::ofstream(logs + "/filler", std::ios::app) << std::string(8192, 'f');
  const std::string state = logs + "/zqmd.state";
  const std::string before = zq_test::ReadFile(state);
  StartPlain("Idle");
  EXPECT_TRUE(daemon.WaitForLine(
      "Cannot write to the log " + logs + "/Idle-1.log: write: No space left on device", 5s))
      << daemon.Output();
  EXPECT_TRUE(daemon.WaitForLine(
      "Cannot keep the registry: write " + state + "\\.new-[-0-9]+: No space left on device", 5s))
      << daemon.Output();
  EXPECT_EQ(before, zq_test::ReadFile(state));
  EXPECT_EQ(1u, installation.Servers("Idle").Count());

  std::filesystem::remove(logs + "/filler");
  ZQM_TProxy("").EndInstance("Idle", 1);
  EXPECT_TRUE(daemon.WaitForLine("The registry is kept in " + state + " again", 5s))
      << daemon.Output();
  Append(log, 'd', 70000);
  EXPECT_TRUE(daemon.WaitForLine("The log " + log + " is rotated again", 5s)) << daemon.Output();
  EXPECT_TRUE(Contains(zq_test::ReadFile(log + ".1"), "80000 bytes dropped"));
  EXPECT_EQ(kept1, zq_test::ReadFile(log + ".2"));
  EXPECT_EQ(1u, CountLines(daemon, "Cannot rotate the log")) << daemon.Output();
  EXPECT_EQ(1u, CountLines(daemon, "Cannot keep the registry")) << daemon.Output();
}

// The lowest descriptor number that `pid` has free.
int LowestFreeDescriptor(pid_t pid) {
  const std::set<int> open = zq_test::OpenDescriptors(pid);
  int free = 0;
  while (open.count(free) != 0)
    ++free;
  return free;
}

TEST(DaemonFaults, OutOfDescriptorsTheListenerTracesAndGoesOn) {
  Installation installation(kLogConfiguration);
  zq_test::ChildProcess& daemon = installation.Daemon();
  const pid_t pid = daemon.Pid();
  ASSERT_TRUE(zq_test::WaitUntilIdle(pid, 5s));
  rlimit before{};
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, nullptr, &before));
  rlimit none = before;
  none.rlim_cur = static_cast<rlim_t>(LowestFreeDescriptor(pid));
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &none, nullptr));

  std::size_t listed = 0;
  std::thread call([&] { listed = installation.Servers("*").Count(); });
  const bool traced =
      daemon
          .WaitForLine("On the local socket: accepting a connection failed: Too many open files",
                       5s)
          .has_value();
  prlimit(pid, RLIMIT_NOFILE, &before, nullptr);
  call.join();
  EXPECT_TRUE(traced) << daemon.Output();
  EXPECT_EQ(1u, listed) << "the configuration server";
}

}  // namespace
