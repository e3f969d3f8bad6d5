// The custodel program itself: its fatal error report and exit status, its
// supervision while nobody reads its trace, and its shut-down on SIGTERM,
// which leaves the servers it started running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "middleware/middleware_helpers.h"
#include "support/child_process.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::ChildProcess;
using zq_test::Installation;
using zq_test::TempDir;

// Starts custodel with its standard error in `dir`/stderr (standard output,
// where the trace goes, stays captured).
std::unique_ptr<ChildProcess> StartCustodel(const TempDir& dir,
                                            std::map<std::string, std::string> env) {
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"",
                               zq_test::Program("custodel"), dir.File("stderr")},
      std::move(env));
}

std::string ReadFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path).rdbuf();
  return content.str();
}

// A trace line of the service's own text (after the "[pid/tid] " prefix).
std::string Traced(const std::string& text) {
  std::string pattern = "\\] ";
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
    pattern += c;
  }
  return pattern + "$";
}

void ExpectFatalReport(const std::string& report) {
  EXPECT_EQ(0u, report.rfind("Custodel:FATAL ERROR:", 0)) << report;
  ASSERT_FALSE(report.empty());
  EXPECT_EQ('\n', report.back()) << report;
}

TEST(Service, WithoutADaemonReportsOneFatalLineAndExitsWithOne) {
  TempDir dir;
  auto custodel = StartCustodel(dir, {{"ZQM_TRACE_LEVEL", "2"}});
  ASSERT_EQ(std::optional<int>(1), custodel->WaitForExit(30s)) << custodel->Output();
  const std::string report = ReadFile(dir.File("stderr"));
  ExpectFatalReport(report);
  EXPECT_EQ(1, std::count(report.begin(), report.end(), '\n')) << report;
  EXPECT_FALSE(custodel->WaitForLine(Traced("Starting"), 10s)) << custodel->Output();
}

TEST(Service, WithoutTheConfigurationServerReportsAFatalErrorAndExitsWithOne) {
  zq_test::InstallationOptions options;
  options.startAlmanac = false;
  Installation installation("{}", options);
  TempDir dir;
  auto custodel = StartCustodel(dir, installation.Environment());
  ASSERT_EQ(std::optional<int>(1), custodel->WaitForExit(30s)) << custodel->Output();
  ExpectFatalReport(ReadFile(dir.File("stderr")));
  EXPECT_TRUE(custodel->WaitForLine(Traced("Starting"), 10s)) << custodel->Output();
}

TEST(Service, AFaultyServerEntryAfterAnAddedOneIsFatalBeforeAnythingStarts) {
  Installation installation(R"({
    "Servers": {"ZQMD": {"Servers": {
      "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true},
      "Broken": "text"
    }}}
  })");
  TempDir dir;
  auto custodel = StartCustodel(dir, installation.Environment());
  ASSERT_EQ(std::optional<int>(1), custodel->WaitForExit(30s)) << custodel->Output();
  const std::string report = ReadFile(dir.File("stderr"));
  ExpectFatalReport(report);
  EXPECT_NE(std::string::npos, report.find("ZQ_TTree")) << report;
  EXPECT_TRUE(custodel->WaitForLine(
      Traced("Add monitor for server \"Sample\", order = 50, delay after start = 0"), 10s))
      << custodel->Output();
  EXPECT_FALSE(custodel->WaitForLine("Starting monitor for server", 1s)) << custodel->Output();
  EXPECT_EQ(0u, installation.Servers("Sample").Count());
}

TEST(Service, AFailureFromAnotherServerIsReportedOnOneLine) {
  // The configuration server has no server list: its refusal of the
  // service's call comes back through the middleware.
  Installation installation(R"({"Other": 1})");
  TempDir dir;
  auto custodel = StartCustodel(dir, installation.Environment());
  ASSERT_EQ(std::optional<int>(1), custodel->WaitForExit(30s)) << custodel->Output();
  const std::string report = ReadFile(dir.File("stderr"));
  ExpectFatalReport(report);
  EXPECT_EQ(1, std::count(report.begin(), report.end(), '\n')) << report;
  EXPECT_NE(std::string::npos, report.find("; via call \"Expand\"")) << report;
  // Source files are named inside the source tree, not on the build machine.
  EXPECT_NE(std::string::npos, report.find(" at Almanac/Server/config_store.cc:")) << report;
}

// A FIFO as standard output, full before the service starts and read by
// nobody until the test reads it.
class StuckOutput {
 public:
  explicit StuckOutput(const TempDir& dir) : path_(dir.File("stdout")) {
    if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    readEnd_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (readEnd_ < 0 || filler < 0) throw std::runtime_error("cannot open the FIFO");
    const std::string line(99, 'f');
    while (write(filler, (line + '\n').data(), line.size() + 1) > 0) {
    }
    close(filler);
  }
  ~StuckOutput() { close(readEnd_); }
  const std::string& Path() const { return path_; }

  // Reads until what came after the filler holds `text`, or `deadline`.
  bool ReadUntil(const std::string& text, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (Written().find(text) == std::string::npos) {
      if (!ReadMore(end)) return false;
    }
    return true;
  }

  // Reads until the writers have closed the FIFO, or `deadline`; what came
  // after the filler.
  std::string Drain(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (ReadMore(end)) {
    }
    return Written();
  }

 private:
  // One read; false at the end of the output or the deadline.
  bool ReadMore(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{readEnd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(readEnd_, buffer, sizeof buffer);
    if (n > 0) read_.append(buffer, static_cast<std::size_t>(n));
    return n != 0;
  }

  std::string Written() const {
    const std::size_t filled = read_.find_first_not_of(std::string(99, 'f') + '\n');
    return filled == std::string::npos ? "" : read_.substr(filled);
  }

  std::string path_;
  int readEnd_ = -1;
  std::string read_;
};

TEST(Service, AStuckStandardOutputNeverStopsARestart) {
  // A long name makes long lines: more trace than may wait.
  const std::string name = "SampleWithALongNameForLongLines";
  Installation installation(R"({"Servers": {"ZQMD": {"Servers": {")" + name + R"(": {
      "Program": "@BIN@/sample_server", "AlwaysRunning": true, "NrOfInstances": 3
    }}}}})");
  TempDir dir;
  StuckOutput output(dir);
  auto environment = installation.Environment();
  environment["ZQM_TRACE_BUFFER_BYTES"] = "1024";
  ChildProcess custodel(
      {"/bin/sh", "-c", "exec \"$0\" >\"$1\"", zq_test::Program("custodel"), output.Path()},
      environment);
  for (unsigned instance : {1u, 2u, 3u})
    ASSERT_TRUE(installation.WaitForBound(name, instance, 0, 30s)) << custodel.Output();

  // Instances come up one at a time: 3 and 2 are watched once 1 is bound.
  // Each is killed, and the service starts it again.
  for (unsigned instance : {3u, 2u}) {
    const std::size_t before = installation.Daemon().LineCount();
    const std::optional<pid_t> pid = installation.PidOf(name, instance);
    ASSERT_TRUE(pid);
    ASSERT_EQ(0, kill(*pid, SIGKILL));
    ASSERT_TRUE(installation.WaitForBound(name, instance, before, 30s))
        << installation.Daemon().Output();
  }

  // Once the output flows, the next line the service traces (here: a
  // pass's) is preceded by the count of those lost; a pass traced before its
  // writer has caught up is lost too, so passes are asked for until it has.
  ASSERT_TRUE(output.ReadUntil("custodel[", 30s));
  bool counted = false;
  for (int pass = 0; pass < 10 && !counted; ++pass) {
    ASSERT_EQ(0, installation.Run("zqm", {"reconfigure"}).status);
    counted = output.ReadUntil(" trace lines were lost: standard output was not read\n", 2s);
  }
  ASSERT_TRUE(counted) << output.Drain(0s);
  custodel.Signal(SIGTERM);
  const std::string traced = output.Drain(30s);
  EXPECT_EQ(std::optional<int>(0), custodel.WaitForExit(20s));
  const std::regex lost("\\] [1-9][0-9]* trace lines were lost: standard output was not read\n");
  EXPECT_TRUE(std::regex_search(traced, lost)) << traced;
  // The last line is the service's last, or, when the lines of its
  // shut-down came faster than the small buffer could pass them on, the
  // count of those lost: nothing is dropped without a word.
  const std::regex end(
      "\\] (Stopped|[1-9][0-9]* trace lines? (was|were) lost: standard "
      "output was not read)\n$");
  EXPECT_TRUE(std::regex_search(traced, end)) << traced;
}

TEST(Service, SigtermStopsTheServiceAndLeavesItsServersRunning) {
  Installation installation(R"({
    "Servers": {"ZQMD": {"Servers": {
      "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "NrOfInstances": 2}
    }}}
  })");
  // Started with a service manager's soft limit of descriptors, which the
  // service raises to the hard limit: it holds five per monitor.
  auto custodel = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", "ulimit -Sn 64 && exec \"$0\"",
                               zq_test::Program("custodel")},
      installation.Environment());
  for (unsigned instance : {1u, 2u}) {
    ASSERT_TRUE(custodel->WaitForLine(
        Traced("Server \"Sample\" instance " + std::to_string(instance) + " is running"), 30s))
        << custodel->Output();
  }
  const std::optional<pid_t> first = installation.PidOf("Sample", 1);
  const std::optional<pid_t> second = installation.PidOf("Sample", 2);
  ASSERT_TRUE(first && second);
  rlimit ours{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &ours));
  const std::string proc = "/proc/" + std::to_string(custodel->Pid());
  const std::string limits = ReadFile(proc + "/limits");
  EXPECT_NE(std::string::npos,
            limits.find("Max open files            " + std::to_string(ours.rlim_max) + " "))
      << limits;
  // It runs without the C library's per-thread caches, under its own name.
  EXPECT_EQ("custodel\n", ReadFile(proc + "/comm"));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_NE(std::string::npos,
            ReadFile(proc + "/environ").find("GLIBC_TUNABLES=glibc.malloc.tcache_count=0"));
#endif

  custodel->Signal(SIGTERM);
  const auto shuttingDown = custodel->WaitForLine(Traced("Shutting down ..."), 20s);
  ASSERT_TRUE(shuttingDown) << custodel->Output();
  const auto removed = custodel->WaitForLine(
      Traced("Remove monitor for \"Sample\"; server instance: 1"), 20s, *shuttingDown);
  EXPECT_TRUE(removed) << custodel->Output();
  EXPECT_TRUE(custodel->WaitForLine(Traced("Stopped"), 20s, removed.value_or(*shuttingDown)))
      << custodel->Output();
  EXPECT_EQ(std::optional<int>(0), custodel->WaitForExit(20s)) << custodel->Output();

  EXPECT_EQ(0, kill(*first, 0));
  EXPECT_EQ(0, kill(*second, 0));
  EXPECT_EQ(first, installation.PidOf("Sample", 1));
  EXPECT_EQ(second, installation.PidOf("Sample", 2));
}

// A daemon that hangs (here: stopped by SIGSTOP) must not hold up the
// service's end: a watcher waiting for the daemon's answer is cut loose.
TEST(Service, SigtermEndsTheServiceWithinSecondsWhileTheDaemonIsFrozen) {
  Installation installation(R"({
    "Servers": {"ZQMD": {"Servers": {
      "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true}
    }}}
  })");
  auto custodel = installation.StartCustodel();
  const auto running =
      custodel->WaitForLine(Traced("Server \"Sample\" instance 1 is running"), 30s);
  ASSERT_TRUE(running) << custodel->Output();
  const std::optional<pid_t> sample = installation.PidOf("Sample", 1);
  ASSERT_TRUE(sample);

  installation.Daemon().Signal(SIGSTOP);
  struct Thaw {
    Installation& installation;
    ~Thaw() { installation.Daemon().Signal(SIGCONT); }
  } thaw{installation};
  ASSERT_EQ(0, kill(*sample, SIGKILL));
  // The watcher sees the end and asks the frozen daemon to start it again.
  const auto died = custodel->WaitForLine(Traced("Server \"Sample\" instance 1 has died"), 20s);
  ASSERT_TRUE(died) << custodel->Output();
  const auto attempt =
      custodel->WaitForLine(Traced("Starting server \"Sample\" instance 1"), 20s, *died);
  ASSERT_TRUE(attempt) << custodel->Output();
  std::smatch thread;
  const std::string line = custodel->Lines()[*attempt];
  ASSERT_TRUE(std::regex_search(line, thread, std::regex("custodel\\[[0-9]+/([0-9]+)\\]"))) << line;
  const std::vector<long> polls = {
#ifdef SYS_poll
      SYS_poll,
#endif
      SYS_ppoll};
  ASSERT_TRUE(zq_test::WaitUntilBlockedIn(custodel->Pid(), polls, 10s, std::stoi(thread[1])))
      << "the watcher does not wait for the daemon";

  const auto asked = std::chrono::steady_clock::now();
  custodel->Signal(SIGTERM);
  EXPECT_EQ(std::optional<int>(0), custodel->WaitForExit(20s)) << custodel->Output();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s) << custodel->Output();
  EXPECT_TRUE(
      custodel->WaitForLine(Traced("Stopped monitoring server \"Sample\" instance 1"), 0s, *died))
      << custodel->Output();
}

}  // namespace
