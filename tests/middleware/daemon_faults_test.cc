// The daemon when the ground gives way under it: a mount or a user database
// that does not answer while an instance starts, a log folder whose disk is
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

// Every process whose parent is `parent` and that still bears the name
// `name` (a launch that has not reached its program).
std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string& name) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string leaf = entry.path().filename().string();
    if (leaf.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::stol(leaf));
    const std::vector<std::string> fields = zq_test::StatFields(pid);
    if (fields.size() > 1 && fields[1] == std::to_string(parent) && fields[0] != "Z" &&
        zq_test::ReadFile("/proc/" + leaf + "/comm") == name + "\n") {
      found.push_back(pid);
    }
  }
  return found;
}

// Whether a thread of `pid` waits in openat: a lookup of the user database
// blocked on its file.
bool ThreadBlockedInOpen(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    if (zq_test::ReadFile(task.path().string() + "/syscall")
            .rfind(std::to_string(SYS_openat) + " ", 0) == 0) {
      return true;
    }
  }
  return false;
}

// A start asked for on a thread of its own, as a client that waits for it.
class AsyncStart {
 public:
  AsyncStart(const char* name, unsigned short instance)
      : thread_([this, name, instance] {
          caught_ = CatchFrom(
              [&] { ZQM_TClient().Connect("", name, instance, ZQM_TClient::kLocateOrStart); });
        }) {}
  ~AsyncStart() {
    if (thread_.joinable()) thread_.join();
  }
  const zq_test::Caught& Result() {
    thread_.join();
    return caught_;
  }

 private:
  zq_test::Caught caught_;
  std::thread thread_;
};

// Lets go of what hangs (the mount, and the FIFO standing in for the user
// database) when the test ends, before the waiting clients are joined: also
// when it fails early, and whatever the daemon does.
class Unhang {
 public:
  Unhang(zq_test::HungMount& mount, std::string fifo) : mount_(mount), fifo_(std::move(fifo)) {}
  ~Unhang() {
    mount_.Release();
    // A writer that comes and goes ends the reader's wait with an empty file.
    const int writer = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) close(writer);
  }

 private:
  zq_test::HungMount& mount_;
  std::string fifo_;
};

// Lowers this process's descriptor limit below its hard limit for the test's
// length, so that the daemon started meanwhile has one to raise.
class LowerDescriptorLimit {
 public:
  explicit LowerDescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &before_);
    rlimit lowered = before_;
    lowered.rlim_cur = std::min(soft, before_.rlim_max - 1);
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~LowerDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &before_); }

 private:
  rlimit before_{};
};

const char* const kHungConfiguration = R"({"Servers": {"ZQMD": {"Servers": {
  "Sample": {"Program": "@BIN@/sample_server"},
  "Stuck": {"Program": "sleep", "Arguments": ["1000"], "Plain": true,
            "WorkingDirectory": "@HUNG@/below", "StartTimeout": 8000},
  "Nameless": {"Program": "sleep", "Arguments": ["1000"], "Plain": true, "User": "nobody",
               "StartTimeout": 8000}
}}}})";

// "Stuck" starts in a folder of a FUSE mount that never answers, as in a
// hung network mount; "Nameless" needs the user database while /etc/passwd
// is a FIFO without a writer, as with an LDAP server that does not answer.
// Meanwhile another instance is killed and started again, listed and ended;
// both starts fail after their StartTimeout, and the daemon stops at once
// with such a launch and such a lookup still hanging.
TEST(DaemonFaults, StartsHungInAMountOrTheUserDatabaseHoldOnlyThemselves) {
  if (const std::string why = zq_test::PrivateMounts(); !why.empty()) GTEST_SKIP() << why;
  zq_test::TempDir dir;
  std::unique_ptr<zq_test::HungMount> hung;
  try {
    hung = std::make_unique<zq_test::HungMount>(dir.File("hung"));
  } catch (const std::runtime_error& unusable) {
    GTEST_SKIP() << unusable.what();
  }
  const LowerDescriptorLimit limit(1000);
  std::string configuration = kHungConfiguration;
  configuration.replace(configuration.find("@HUNG@"), 6, dir.File("hung"));
  Installation installation(configuration);
  const pid_t daemon = installation.Daemon().Pid();
  ZQM_TClient().Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  const pid_t first = installation.PidOf("Sample", 1).value_or(0);
  ASSERT_NE(0, first);
  const std::string passwd = dir.File("passwd");
  ASSERT_EQ(0, mkfifo(passwd.c_str(), 0644));
  std::optional<zq_test::Mount> noAnswer = zq_test::Mount::Bind(passwd, "/etc/passwd");

  AsyncStart stuck("Stuck", 1);
  AsyncStart nameless("Nameless", 1);
  const Unhang unhang(*hung, passwd);
  ASSERT_TRUE(zq_test::Eventually(
      [&] {
        const std::vector<pid_t> launches = ChildrenNamed(daemon, "zqmd");
        const std::vector<std::string> fields =
            launches.size() == 1 ? zq_test::StatFields(launches[0]) : std::vector<std::string>{};
        return !fields.empty() && fields[0] == "D";
      },
      3s))
      << "the launch of Stuck does not hang in the mount";
  ASSERT_TRUE(zq_test::Eventually([&] { return ThreadBlockedInOpen(daemon); }, 3s))
      << "the lookup of nobody does not hang";

  const auto asked = zq_test::Clock::now();
  kill(first, SIGKILL);
  ASSERT_TRUE(zq_test::WaitUntilGone(first, 2s));
  auto client = std::make_unique<ZQM_TClient>();
  client->Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  const pid_t second = installation.PidOf("Sample", 1).value_or(0);
  EXPECT_NE(0, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, installation.Servers("*").Count()) << "Almanac, Sample and nothing else";
  // The instance starts with the descriptor limit the daemon was given, not
  // the one it raised for itself.
  EXPECT_TRUE(Contains(zq_test::ReadFile("/proc/" + std::to_string(second) + "/limits"),
                       "Max open files            1000"))
      << zq_test::ReadFile("/proc/" + std::to_string(second) + "/limits");
  ZQM_TProxy("").EndInstance("Sample", 1);
  EXPECT_LT(zq_test::Clock::now() - asked, 6s);
  ASSERT_EQ(1u, ChildrenNamed(daemon, "zqmd").size()) << "all this while the launch hung";

  const zq_test::Caught& stuckFailed = stuck.Result();
  EXPECT_EQ("ZQM_ETimeout", stuckFailed.type) << stuckFailed.message;
  EXPECT_TRUE(Contains(stuckFailed.message,
                       "Stuck instance 1 did not start within 8000 ms: its process did not reach "
                       "its program"))
      << stuckFailed.message;
  const zq_test::Caught& namelessFailed = nameless.Result();
  EXPECT_EQ("ZQM_ETimeout", namelessFailed.type) << namelessFailed.message;
  EXPECT_TRUE(Contains(namelessFailed.message, "the user database did not answer"))
      << namelessFailed.message;
  EXPECT_TRUE(zq_test::Eventually([&] { return ChildrenNamed(daemon, "zqmd").empty(); }, 5s))
      << "the hung launch was not killed and reaped";
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Stuck instance 1 did not start within 8000 ms: its process did not reach its program", 5s))
      << installation.Daemon().Output();

  // A stop with a launch and a lookup hanging.
  AsyncStart again("Stuck", 2);
  const Unhang unhangAgain(*hung, passwd);
  ASSERT_TRUE(zq_test::Eventually([&] { return ChildrenNamed(daemon, "zqmd").size() == 1; }, 3s));
  const auto stopping = zq_test::Clock::now();
  installation.Daemon().Signal(SIGTERM);
  EXPECT_EQ(0, installation.Daemon().WaitForExit(5s)) << installation.Daemon().Output();
  EXPECT_LT(zq_test::Clock::now() - stopping, 5s);
  EXPECT_TRUE(zq_test::Eventually([&] { return ChildrenNamed(1, "zqmd").empty(); }, 5s))
      << "the launch under way outlived the daemon";
  EXPECT_FALSE(again.Result().type.empty());
}

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
  // Unmounted before the installation's folder is removed, which the mount
  // point would otherwise keep.
  struct UnmountFirst {
    std::optional<zq_test::Mount>& mount;
    ~UnmountFirst() { mount.reset(); }
  } unmountFirst{small};
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
  // written; the daemon goes on. (A spare of the state file left by an
  // earlier write would take the next registry in the blocks it frees.)
  std::filesystem::remove(logs + "/zqmd.state.new");
  Fill(logs + "/filler", 0);
  std::ofstream(logs + "/filler", std::ios::app) << std::string(8192, 'f');
  const std::string state = logs + "/zqmd.state";
  const std::string before = zq_test::ReadFile(state);
  StartPlain("Idle");
  EXPECT_TRUE(daemon.WaitForLine(
      "Cannot write to the log " + logs + "/Idle-1.log: write: No space left on device", 5s))
      << daemon.Output();
  EXPECT_TRUE(daemon.WaitForLine(
      "Cannot keep the registry: write " + state + "\\.new: No space left on device", 5s))
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
