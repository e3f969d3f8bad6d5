// The installation as an administrator gets it from `cmake --install`: the
// programs run from the prefix alone, report readiness to a service manager
// and bring up the example configuration, which the installed tool steers;
// the systemd units pass systemd-analyze. Further checks of the installed
// programs belong in the one scenario below, through InstalledPrefix.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

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
        "lib/custodel/libDEVUror.so", "lib/custodel/libdodived.so",
        "lib/custodel/libalmanac_etcd.so", "lib/custodel/libzqmd_command_line.so",
        "lib/custodel/libalmanac_command_line.so", "lib/custodel/libcustodel_command_line.so"}) {
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
  // Without its command-line module a program says which file it misses.
  const std::string module = prefix.Path("lib/custodel/libzqmd_command_line.so");
  std::filesystem::rename(module, module + ".away");
  const zq_test::ProgramRun unreadable = prefix.Run("zqmd", {"--version"});
  std::filesystem::rename(module + ".away", module);
  EXPECT_EQ(1, unreadable.status) << unreadable.output;
  EXPECT_TRUE(Contains(unreadable.output,
                       "zqmd: the module libzqmd_command_line.so (installed "
                       "with the program) cannot be loaded: "))
      << unreadable.output;
  // The configuration server finds its etcd module (and so tries the member).
  const zq_test::ProgramRun etcd =
      prefix.Run("almanac", {"--etcd", "http://127.0.0.1:9", "--export"});
  EXPECT_EQ(1, etcd.status) << etcd.output;
  EXPECT_TRUE(Contains(etcd.output, "127.0.0.1:9")) << etcd.output;
  EXPECT_FALSE(Contains(etcd.output, "etcd module")) << etcd.output;
  const zq_test::ProgramRun help = prefix.Run("custodel", {"--help"});
  EXPECT_EQ(0, help.status) << help.output;
  EXPECT_TRUE(Contains(help.output, "Usage: custodel")) << help.output;
  const zq_test::ProgramRun wrong = prefix.Run("custodel", {"--frobnicate"});
  EXPECT_EQ(2, wrong.status) << wrong.output;
  EXPECT_TRUE(Contains(wrong.output, "--frobnicate")) << wrong.output;
}

nlohmann::json Status(const InstalledPrefix& prefix) {
  const zq_test::ProgramRun status = prefix.Run("zqm", {"status", "--json"});
  EXPECT_EQ(0, status.status) << status.output;
  return nlohmann::json::parse(status.output, nullptr, /*allow_exceptions=*/false);
}

// Instance `instance` of `server` in `zqm status --json`, once `wanted`
// holds for it; the last one seen (or null) when it never does.
nlohmann::json WaitForInstance(const InstalledPrefix& prefix, const std::string& server,
                               int instance,
                               const std::function<bool(const nlohmann::json&)>& wanted,
                               std::chrono::seconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  nlohmann::json seen;
  do {
    for (const auto& entry : Status(prefix).value("Servers", nlohmann::json::array())) {
      if (entry["Name"] != server) continue;
      for (const auto& candidate : entry["Instances"])
        if (candidate["Instance"] == instance) seen = candidate;
    }
    if (!seen.is_null() && wanted(seen)) return seen;
  } while (std::chrono::steady_clock::now() < deadline);
  ADD_FAILURE() << server << " instance " << instance << " never as wanted; last seen " << seen;
  return seen;
}

bool RunningWatched(const nlohmann::json& instance) {
  return instance["Running"].get<bool>() && instance["Watched"].get<bool>();
}

// restart, down and up steer the example's server; its log shows every start
// and end.
void ExpectSteering(const InstalledPrefix& prefix) {
  const int before = WaitForInstance(prefix, "Sample", 1, RunningWatched)["PID"].get<int>();
  const zq_test::ProgramRun restart = prefix.Run("zqm", {"restart", "Sample:1"});
  ASSERT_EQ(0, restart.status) << restart.output;
  const nlohmann::json restarted = WaitForInstance(prefix, "Sample", 1, [&](const auto& instance) {
    return RunningWatched(instance) && instance["PID"].template get<int>() != before;
  });
  // The sample server ends on SIGTERM by itself, or is ended by the signal
  // when it comes before its handler is in place.
  EXPECT_TRUE(restarted.value("LastExit", "") == "exit 0" ||
              restarted.value("LastExit", "") == "signal 15 TERM")
      << restarted;

  const zq_test::ProgramRun log = prefix.Run("zqm", {"log", "Sample", "1"});
  EXPECT_EQ(0, log.status) << log.output;
  // A start marker and an end marker for the process that was restarted.
  const std::string process = "Sample instance 1 (pid " + std::to_string(before);
  std::istringstream lines(log.output);
  int markers = 0;
  for (std::string line; std::getline(lines, line);)
    markers += line.starts_with("==== ") && Contains(line, process);
  EXPECT_EQ(2, markers) << log.output;

  ASSERT_EQ(0, prefix.Run("zqm", {"down", "Sample"}).status);
  for (int instance : {1, 2}) {
    const nlohmann::json down = WaitForInstance(prefix, "Sample", instance, [](const auto& it) {
      return !it["Running"].template get<bool>();
    });
    EXPECT_EQ("down", down.value("Status", "")) << down;
  }
  ASSERT_EQ(0, prefix.Run("zqm", {"up", "Sample"}).status);
  for (int instance : {1, 2})
    WaitForInstance(prefix, "Sample", instance, RunningWatched);
}

// A reload takes the edited file at once; a server that crashes at start is
// held back by its back-off keys, then started again once its pause is over.
void ExpectReloadAndBackoff(const InstalledPrefix& prefix) {
  const std::string file = prefix.Path("etc/custodel/installation.json");
  nlohmann::json configuration = nlohmann::json::parse(zq_test::ReadFile(file));
  configuration["Servers"]["ZQMD"]["Servers"]["Crashy"] = {{"Program", "/bin/sh"},
                                                           {"Arguments", {"-c", "exit 3"}},
                                                           {"Plain", true},
                                                           {"AlwaysRunning", true},
                                                           {"StartupOrder", 20},
                                                           {"Configurations", {"Demo"}},
                                                           {"BackoffMinimumUptime", 60000},
                                                           {"BackoffInitialDelay", 8000},
                                                           {"BackoffMaximumDelay", 8000}};
  std::ofstream(file) << configuration.dump(2);
  // The pass waits up to 10 s for the new server, which never runs.
  const zq_test::ProgramRun reload = prefix.Run("zqm", {"reload"}, 30s);
  ASSERT_EQ(0, reload.status) << reload.output;
  const nlohmann::json held = WaitForInstance(prefix, "Crashy", 1, [](const auto& instance) {
    return instance.value("Status", "") == "backoff";
  });
  EXPECT_EQ("exit 3", held.value("LastExit", "")) << held;
  const int startsWhenHeld = held.value("Starts", 0);
  // The watcher tries again every 5 s; the pause is 8 s.
  WaitForInstance(
      prefix, "Crashy", 1,
      [&](const auto& instance) { return instance.value("Starts", 0) > startsWhenHeld; }, 30s);
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
  // Each read its command line through a module and let it go again.
  for (const auto* program : {daemon.get(), almanac.get(), service.get()}) {
    const std::string maps = zq_test::ReadFile("/proc/" + std::to_string(program->Pid()) + "/maps");
    EXPECT_TRUE(Contains(maps, "/lib/custodel/libDEVUror.so")) << maps;
    EXPECT_FALSE(Contains(maps, "_command_line.so")) << maps;
  }

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
  ExpectSteering(prefix);
  ExpectReloadAndBackoff(prefix);
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
  for (const char* unit : {"zqmd.service", "almanac.service", "custodel.service", "zqmd.socket"})
    units.push_back(prefix.Path("lib/systemd/system/") + unit);
  // Warnings (an unknown key, a bad value) leave the status 0: no output at all.
  const zq_test::ProgramRun verified = verify(units);
  EXPECT_EQ(0, verified.status) << verified.output;
  EXPECT_EQ("", verified.output);
  const std::string daemonUnit = zq_test::ReadFile(units[0]);
  EXPECT_TRUE(Contains(daemonUnit, "\nExecStart=" + prefix.Path("bin/zqmd") + " "));
  // Stopping or restarting the daemon must leave its servers running.
  EXPECT_TRUE(Contains(daemonUnit, "\nKillMode=process\n"));
  // Its sockets are the manager's, so that its port is never free.
  EXPECT_TRUE(Contains(daemonUnit, "\nRequires=zqmd.socket\n"));
  const std::string socketUnit = zq_test::ReadFile(units[3]);
  EXPECT_TRUE(Contains(socketUnit, "\nListenStream=/run/zqmd/zqmd.sock\n"));
  EXPECT_TRUE(Contains(socketUnit, "\nListenStream=127.0.0.1:8088\n"));
}

}  // namespace
