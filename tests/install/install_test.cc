// The installation as an administrator gets it from `cmake --install`: the
// programs run from the prefix alone, report readiness to a service manager
// and bring up the example configuration; the systemd units pass
// systemd-analyze. Further checks of the installed programs belong in the
// one scenario below, through InstalledPrefix.
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "install/installed_prefix.h"
#include "zq_version.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;
using zq_test::InstalledPrefix;
using zq_test::NotifySocket;

const std::vector<std::string> kPrograms = {"zqmd", "almanac", "custodel", "zqm"};

void ExpectNothingFromTheBuildTree(const InstalledPrefix& prefix) {
  for (const char* file :
       {"bin/zqmd", "bin/almanac", "bin/custodel", "bin/zqm", "libexec/custodel/sample_server",
        "lib/custodel/libDEVUror.so", "lib/custodel/libdodived.so"}) {
    for (const std::string& library : zq_test::ResolvedLibraries(prefix.Path(file))) {
      EXPECT_FALSE(Contains(library, "not found")) << file << ": " << library;
      EXPECT_FALSE(Contains(library, ZQ_BUILD_DIR)) << file << ": " << library;
      if (library.starts_with("libDEVUror.so ")) {
        const auto path = std::filesystem::canonical(library.substr(library.find("=> ") + 3));
        EXPECT_EQ(std::filesystem::canonical(prefix.Path("lib/custodel/libDEVUror.so")), path);
      }
    }
  }
}

void ExpectVersionsAndUsage(const InstalledPrefix& prefix) {
  for (const std::string& program : kPrograms) {
    const zq_test::ProgramRun version = prefix.Run(program, {"--version"});
    EXPECT_EQ(0, version.status) << program << ": " << version.output;
    EXPECT_EQ(program + " " ZQ_PROJECT_VERSION "\n", version.output);
  }
  const zq_test::ProgramRun help = prefix.Run("custodel", {"--help"});
  EXPECT_EQ(0, help.status) << help.output;
  EXPECT_TRUE(Contains(help.output, "Usage: custodel")) << help.output;
  const zq_test::ProgramRun wrong = prefix.Run("custodel", {"--frobnicate"});
  EXPECT_EQ(2, wrong.status) << wrong.output;
  EXPECT_TRUE(Contains(wrong.output, "--frobnicate")) << wrong.output;
}

TEST(InstalledPrefixTest, RunsTheExampleInstallationFromThePrefixAlone) {
  InstalledPrefix prefix;
  ExpectNothingFromTheBuildTree(prefix);
  ExpectVersionsAndUsage(prefix);

  // Each program is started once the one before it is ready, as systemd
  // orders the units; one manager socket by path, one by abstract name.
  NotifySocket manager(prefix.Dir().File("notify"));
  const std::map<std::string, std::string> notify = {{"NOTIFY_SOCKET", manager.Address()}};
  auto daemon = prefix.Start(
      "zqmd", {"--log-dir", prefix.Dir().File("logs"), "--server-configuration", "Demo"}, notify);
  ASSERT_EQ("READY=1", manager.Receive(10s).value_or("(nothing)")) << daemon->Output();
  auto almanac = prefix.Start("almanac", {prefix.Path("etc/custodel/installation.json")}, notify);
  ASSERT_EQ("READY=1", manager.Receive(10s).value_or("(nothing)")) << almanac->Output();
  NotifySocket abstractManager("@custodel-install-test-" + std::to_string(getpid()));
  auto service = prefix.Start("custodel", {}, {{"NOTIFY_SOCKET", abstractManager.Address()}});
  // Ready after the first pass: the example's servers run by then.
  ASSERT_EQ("READY=1", abstractManager.Receive(30s).value_or("(nothing)")) << service->Output();
  EXPECT_FALSE(manager.Receive(0ms)) << "a second readiness message";

  const zq_test::ProgramRun status = prefix.Run("zqm", {"status", "--json"});
  ASSERT_EQ(0, status.status) << status.output;
  const auto report = nlohmann::json::parse(status.output);
  EXPECT_TRUE(report["Service"]["Running"].get<bool>()) << status.output;
  ASSERT_EQ(1u, report["Servers"].size()) << status.output;
  const auto& sample = report["Servers"][0];
  EXPECT_EQ("Sample", sample["Name"]);
  ASSERT_EQ(2u, sample["Instances"].size()) << status.output;
  for (const auto& instance : sample["Instances"]) {
    ASSERT_TRUE(instance["Running"].get<bool>()) << status.output;
    const std::string pid = std::to_string(instance["PID"].get<int>());
    EXPECT_EQ(prefix.Path("libexec/custodel/sample_server"),
              std::filesystem::read_symlink("/proc/" + pid + "/exe").string());
    // The daemon's servers do not report to the daemon's service manager.
    EXPECT_FALSE(Contains(zq_test::EnvironmentOf(std::stoi(pid)), "\nNOTIFY_SOCKET="));
  }
}

TEST(InstalledPrefixTest, SystemdUnitsPassVerification) {
  if (std::string(ZQ_SYSTEMD_ANALYZE).empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  InstalledPrefix prefix;
  auto verify = [&](const std::vector<std::string>& units) {
    std::vector<std::string> args = {ZQ_SYSTEMD_ANALYZE, "verify", "--man=no"};
    args.insert(args.end(), units.begin(), units.end());
    return zq_test::RunToEnd(args, {{"SYSTEMD_UNIT_PATH", prefix.Path("lib/systemd/system") + ":"}},
                             60s);
  };
  prefix.Dir().Write("probe.service", "[Service]\nExecStart=/bin/true\n");
  const zq_test::ProgramRun probe = verify({prefix.Dir().File("probe.service")});
  if (probe.status != 0 || !probe.output.empty())
    GTEST_SKIP() << "systemd-analyze verify cannot run here: " << probe.output;

  std::vector<std::string> units;
  for (const char* unit : {"zqmd", "almanac", "custodel"})
    units.push_back(prefix.Path("lib/systemd/system/") + unit + ".service");
  // Warnings (an unknown key, a bad value) leave the status 0: no output at all.
  const zq_test::ProgramRun verified = verify(units);
  EXPECT_EQ(0, verified.status) << verified.output;
  EXPECT_EQ("", verified.output);
  const std::string daemonUnit = zq_test::ReadFile(units[0]);
  EXPECT_TRUE(Contains(daemonUnit, "\nExecStart=" + prefix.Path("bin/zqmd") + " "));
  // Stopping or restarting the daemon must leave its servers running.
  EXPECT_TRUE(Contains(daemonUnit, "\nKillMode=process\n"));
}

}  // namespace
