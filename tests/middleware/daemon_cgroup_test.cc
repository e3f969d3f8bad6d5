// Whole process trees: an instance's processes that leave its process group
// end with it, through the cgroup the daemon gives each instance.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "middleware/middleware_helpers.h"
#include "support/installation.h"
#include "support/test_cgroup.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;
using zq_test::Installation;
using zq_test::InstallationOptions;

// "Tree" starts a worker that leaves its session (setsid), is orphaned (its
// parent shell exits at once: a double fork) and ignores SIGTERM, so that
// only the kill of the whole cgroup can end it; the worker reports its pid
// through a FIFO.
std::string TreeConfiguration(const std::string& fifo) {
  return R"({"Servers": {"ZQMD": {"Servers": {"Tree": {
    "Program": "sh", "Plain": true, "AlwaysRunning": true, "TasksMax": 64,
    "Arguments": ["-c",
      "setsid sh -c 'trap \"\" TERM; sleep 1000 & echo $! > )" +
         fifo + R"('; sleep 1000"]}}}}})";
}

TEST(DaemonCgroupTest, DownLeavesNothingOfASetsidDoubleForkedWorkerAlsoAfterAdoption) {
  const zq_test::TestCgroup cgroup;  // outlives the installation
  const zq_test::TempDir scratch;
  const std::string fifo = scratch.File("worker.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  InstallationOptions options;
  if (cgroup.Usable()) options.daemonArgs = {"--cgroup", cgroup.Path()};
  Installation installation(TreeConfiguration(fifo), options);
  if (!cgroup.Usable()) {
    // The fallback must say so, once, at start-up.
    EXPECT_TRUE(installation.Daemon().WaitForLine("No cgroup v2 folder for the instances", 5s));
    GTEST_SKIP() << "no writable cgroup v2 folder here (" << cgroup.Why()
                 << "): only the fallback's trace line was checked";
  }
  ASSERT_TRUE(installation.Daemon().WaitForLine(
      "Each instance runs in a cgroup of its own below " + cgroup.Path(), 0s))
      << installation.Daemon().Output();
  auto custodel = installation.StartCustodel();
  const std::optional<std::string> worker = zq_test::ReadLineFromFifo(fifo, 20s);
  ASSERT_TRUE(worker) << custodel->Output() << installation.Daemon().Output();
  const pid_t workerPid = std::stoi(*worker);
  ASSERT_TRUE(custodel->WaitForLine("Server \"Tree\" instance 1 is running", 20s))
      << custodel->Output();
  const pid_t main = installation.PidOf("Tree", 1).value_or(0);
  ASSERT_NE(0, main);
  const std::string instanceCgroup = cgroup.Path() + "/Tree@1";
  EXPECT_NE(zq_test::SessionOf(main), zq_test::SessionOf(workerPid));
  EXPECT_EQ(instanceCgroup, zq_test::CgroupFolderOf(workerPid));
  EXPECT_EQ(instanceCgroup, zq_test::CgroupFolderOf(main));
  const ZQ_TDict entry = installation.Servers("Tree")[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  const std::string cpu = zq_test::Field<ZQ_TString>(entry, "CPUSeconds").Text();
  EXPECT_TRUE(std::regex_match(cpu, std::regex("[0-9]+\\.[0-9]{3}"))) << cpu;

  // A restarted daemon finds the instance's cgroup again.
  installation.RestartDaemon();
  ASSERT_TRUE(installation.Daemon().WaitForLine("Adopted Tree instance 1", 5s))
      << installation.Daemon().Output();

  const zq_test::ProgramRun down =
      zq_test::RunToEnd({zq_test::Program("zqm"), "down", "Tree", "--grace", "2000"});
  EXPECT_EQ(0, down.status) << down.output;
  EXPECT_TRUE(zq_test::WaitUntilGone(workerPid, 10s));
  EXPECT_TRUE(zq_test::WaitForRemoval(instanceCgroup)) << installation.Daemon().Output();
}

}  // namespace
