// The custodel program itself: its fatal error report and exit status, and
// its shut-down on SIGTERM, which leaves the servers it started running.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <sstream>

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

TEST(Service, SigtermStopsTheServiceAndLeavesItsServersRunning) {
  Installation installation(R"({
    "Servers": {"ZQMD": {"Servers": {
      "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "NrOfInstances": 2}
    }}}
  })");
  auto custodel = installation.StartCustodel();
  for (unsigned instance : {1u, 2u}) {
    ASSERT_TRUE(custodel->WaitForLine(
        Traced("Server \"Sample\" instance " + std::to_string(instance) + " is running"), 30s))
        << custodel->Output();
  }
  const std::optional<pid_t> first = installation.PidOf("Sample", 1);
  const std::optional<pid_t> second = installation.PidOf("Sample", 2);
  ASSERT_TRUE(first && second);

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

}  // namespace
