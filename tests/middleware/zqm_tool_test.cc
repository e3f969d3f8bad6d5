// The zqm command-line tool against a real installation: what it prints and
// the exit status scripts depend on (0 success, 1 failure, 2 usage).
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "middleware/middleware_helpers.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::ChildProcess;
using zq_test::Contains;
using zq_test::Installation;
using zq_test::InstallationOptions;

const char* const kConfiguration = R"({
  "Servers": {"ZQMD": {"Servers": {"Sample": {"Program": "@BIN@/sample_server"}}}}
})";

using ToolRun = zq_test::ProgramRun;

// Runs zqm to its end.
ToolRun Zqm(std::vector<std::string> args) {
  args.insert(args.begin(), zq_test::Program("zqm"));
  return zq_test::RunToEnd(args);
}

class ZqmToolTest : public ::testing::Test {
 protected:
  Installation installation_{kConfiguration};
};

TEST_F(ZqmToolTest, CallPrintsTheReply) {
  ToolRun added = Zqm({"call", "Sample", "1", "Add", "2", "u32:3"});
  EXPECT_EQ(0, added.status) << added.output;
  EXPECT_EQ("5\n", added.output);

  ToolRun echoed = Zqm({"call", "Sample", "1", "Echo", "str:hello"});
  EXPECT_EQ(0, echoed.status) << echoed.output;
  EXPECT_EQ("hello\n", echoed.output);
}

TEST_F(ZqmToolTest, RemoteFailurePrintsClassAndMessage) {
  ToolRun failed = Zqm({"call", "Sample", "1", "Fail", "str:out of paper"});
  EXPECT_EQ(1, failed.status);
  EXPECT_TRUE(Contains(failed.output, "ZQM_EException: out of paper")) << failed.output;

  ToolRun unknown = Zqm({"call", "Sample", "1", "Frobnicate"});
  EXPECT_EQ(1, unknown.status);
  EXPECT_TRUE(Contains(unknown.output, "ZQM_ENoSuchServerMethod: Frobnicate")) << unknown.output;
}

TEST_F(ZqmToolTest, ServersListsNameInstancePidPortAndState) {
  ZQM_TClient client;
  client.Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  const ZQ_TDict entry =
      installation_.Servers("Sample")[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);

  ToolRun listed = Zqm({"servers", "Sample"});
  EXPECT_EQ(0, listed.status) << listed.output;
  const std::string row = "Sample +1 +" + std::to_string(zq_test::Field<ZQ_TUInt32>(entry, "PID")) +
                          " +" + std::to_string(zq_test::Field<ZQ_TUInt32>(entry, "Port")) +
                          " +running";
  EXPECT_TRUE(std::regex_search(listed.output, std::regex(row))) << listed.output;

  ToolRun others = Zqm({"servers", "Nobody"});
  EXPECT_EQ(0, others.status) << others.output;
  EXPECT_FALSE(Contains(others.output, "Sample")) << others.output;
}

TEST(ZqmToolLongNameTest, ColumnsStayApartAndScriptsReadJsonOrThePid) {
  const std::string name = "SampleServerWithLongName1";
  ASSERT_EQ(25u, name.size());
  Installation installation(R"({"Servers": {"ZQMD": {"Servers": {")" + name +
                            R"(": {"Program": "@BIN@/sample_server"}}}}})");
  ZQM_TClient client;
  client.Connect("", name, 2, ZQM_TClient::kLocateOrStart);
  const ZQ_TDict entry = installation.Servers(name)[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  const std::string pid = std::to_string(zq_test::Field<ZQ_TUInt32>(entry, "PID"));

  ToolRun listed = Zqm({"servers", name});
  EXPECT_EQ(0, listed.status) << listed.output;
  const std::string row = name + "  +2  +" + pid + "  +" +
                          std::to_string(zq_test::Field<ZQ_TUInt32>(entry, "Port")) +
                          "  +running  ";
  EXPECT_TRUE(std::regex_search(listed.output, std::regex(row))) << listed.output;

  ToolRun json = Zqm({"servers", "--json", name});
  EXPECT_EQ(0, json.status) << json.output;
  const auto servers = nlohmann::json::parse(json.output);
  ASSERT_EQ(1u, servers.size()) << json.output;
  EXPECT_EQ(name, servers[0]["Name"]);
  EXPECT_EQ(2, servers[0]["Instance"]);
  EXPECT_EQ(pid, std::to_string(servers[0]["PID"].get<unsigned>()));

  ToolRun status = Zqm({"status", "--json"});
  EXPECT_EQ(0, status.status) << status.output;
  const auto report = nlohmann::json::parse(status.output);
  ASSERT_EQ(1u, report["Servers"].size()) << status.output;
  const auto& server = report["Servers"][0];
  EXPECT_EQ(name, server["Name"]);
  EXPECT_EQ(false, server["RunsHere"]);  // not AlwaysRunning, yet listed as running
  ASSERT_EQ(1u, server["Instances"].size()) << status.output;
  EXPECT_EQ(2, server["Instances"][0]["Instance"]);
  EXPECT_EQ(pid, std::to_string(server["Instances"][0]["PID"].get<unsigned>()));

  ToolRun found = Zqm({"pid", name, "2"});
  EXPECT_EQ(0, found.status) << found.output;
  EXPECT_EQ(pid + "\n", found.output);
  ToolRun missing = Zqm({"pid", name, "1"});
  EXPECT_EQ(1, missing.status) << missing.output;
  EXPECT_TRUE(Contains(missing.output, name + " instance 1 is not running")) << missing.output;
}

TEST(ZqmToolConfigurationTest, CallByPortReachesTheDaemon) {
  InstallationOptions options;
  options.serverConfiguration = "Lab-7";
  Installation installation(kConfiguration, options);
  ToolRun answered = Zqm({"call", "--port", "8088", "GetServerConfiguration"});
  EXPECT_EQ(0, answered.status) << answered.output;
  EXPECT_EQ("Lab-7\n", answered.output);
}

TEST_F(ZqmToolTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> wrong = {
      {},                                       // no command
      {"frobnicate"},                           // unknown command
      {"call"},                                 // nothing to call
      {"call", "Sample", "1"},                  // no method
      {"call", "Sample", "first", "Ping"},      // instance not a number
      {"call", "Sample", "1", "Add", "u32:x"},  // argument not of its type
      {"call", "--port", "99999", "Ping"},      // port out of range
      {"servers", "Sample", "Extra"},           // one name at most
  };
  for (const auto& args : wrong) {
    ToolRun run = Zqm(args);
    std::string line;
    for (const auto& arg : args)
      line += " " + arg;
    EXPECT_EQ(2, run.status) << "zqm" << line << "\n" << run.output;
  }
  // None of them may have reached a server.
  EXPECT_EQ(0u, installation_.Servers("Sample").Count());
}

TEST_F(ZqmToolTest, StatusWithoutTheConfigurationServerShowsWhatIsKnown) {
  ZQM_TClient client;
  client.Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  const std::string pid = std::to_string(installation_.PidOf("Sample", 1).value_or(0));
  installation_.Almanac().Signal(SIGKILL);
  ASSERT_TRUE(installation_.Almanac().WaitForExit(10s));

  ToolRun table = Zqm({"status"});
  EXPECT_EQ(1, table.status) << table.output;
  EXPECT_TRUE(Contains(table.output,
                       "Configuration server: unreachable (the configuration "
                       "server cannot be asked: "))
      << table.output;
  EXPECT_TRUE(std::regex_search(table.output, std::regex("\nSample +no +50 .* " + pid + " ")))
      << table.output;
  ToolRun json = Zqm({"status", "--json"});
  EXPECT_EQ(1, json.status) << json.output;
  const auto report = nlohmann::json::parse(json.output);
  EXPECT_TRUE(report.contains("ConfigurationProblem")) << json.output;
  // Sample runs; Almanac, which the daemon saw end, is down.
  ASSERT_EQ(2u, report["Servers"].size()) << json.output;
  EXPECT_EQ("Sample", report["Servers"][0]["Name"]);
  EXPECT_EQ(pid, std::to_string(report["Servers"][0]["Instances"][0]["PID"].get<unsigned>()));
  EXPECT_EQ("Almanac", report["Servers"][1]["Name"]);
  EXPECT_EQ("down", report["Servers"][1]["Instances"][0]["Status"]);
}

TEST(ZqmToolWithoutDaemonTest, SaysTheDaemonCannotBeReachedAndFails) {
  ToolRun listed = Zqm({"servers"});
  EXPECT_EQ(1, listed.status) << listed.output;
  EXPECT_TRUE(Contains(listed.output, "/run/zqmd/zqmd.sock")) << listed.output;
  EXPECT_TRUE(Contains(listed.output, "is zqmd running")) << listed.output;

  ToolRun called = Zqm({"call", "Sample", "1", "Ping"});
  EXPECT_EQ(1, called.status) << called.output;
  EXPECT_TRUE(Contains(called.output, "middleware daemon")) << called.output;
}

// One server steered through the service: restarted, taken down, brought up,
// with the status telling each step.
TEST(ZqmToolSteeringTest, RestartDownAndUpShowInTheStatus) {
  Installation installation(R"({"Servers": {"ZQMD": {"Servers": {
    "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "NrOfInstances": 2,
               "StartupOrder": 20},
    "Web": {"Program": "sleep", "Arguments": ["1000"], "Plain": true, "AlwaysRunning": true,
            "StartupOrder": 10}
  }}}})");
  auto custodel = installation.StartCustodel();
  const auto running = [&](unsigned instance, std::size_t after) {
    return custodel->WaitForLine(
        "Server \"Sample\" instance " + std::to_string(instance) + " is running", 20s, after);
  };
  ASSERT_TRUE(running(1, 0) && running(2, 0)) << custodel->Output();
  const auto status = [] {
    ToolRun run = Zqm({"status", "--json"});
    EXPECT_EQ(0, run.status) << run.output;
    return nlohmann::json::parse(run.output)["Servers"];
  };

  const pid_t old = installation.PidOf("Sample", 2).value_or(0);
  const std::size_t before = custodel->LineCount();
  ToolRun restarted = Zqm({"restart", "Sample:2"});
  EXPECT_EQ(0, restarted.status) << restarted.output;
  EXPECT_TRUE(Contains(restarted.output, "Sample instance 2 (pid " + std::to_string(old) +
                                             ") ended: exit status 0\n"))
      << restarted.output;
  std::smatch again;
  ASSERT_TRUE(std::regex_search(restarted.output, again,
                                std::regex("Sample instance 2 runs again as pid ([0-9]+)\n")))
      << restarted.output;
  const auto rerun = running(2, before);
  ASSERT_TRUE(rerun) << custodel->Output();
  auto servers = status();
  ASSERT_EQ(2u, servers.size());
  EXPECT_EQ("Web", servers[0]["Name"]);  // start-up order
  auto sample = servers[1]["Instances"][1];
  EXPECT_EQ(std::stoul(again[1]), sample["PID"]);
  EXPECT_EQ("running", sample["Status"]);
  EXPECT_EQ(true, sample["Watched"]);
  EXPECT_EQ(1, sample["Restarts"]);
  EXPECT_EQ(2, sample["Starts"]);
  EXPECT_EQ("exit 0", sample["LastExit"]);
  EXPECT_EQ(0, servers[1]["Instances"][0]["Restarts"]);

  const pid_t first = installation.PidOf("Sample", 1).value_or(0);
  ToolRun down = Zqm({"down", "Sample"});
  EXPECT_EQ(0, down.status) << down.output;
  EXPECT_TRUE(Contains(down.output, "Sample is not watched any more\n")) << down.output;
  EXPECT_TRUE(Contains(
      down.output, "Sample instance 1 (pid " + std::to_string(first) + ") ended: exit status 0\n"))
      << down.output;
  EXPECT_TRUE(zq_test::WaitUntilGone(first, 0ms));
  // The watchers had stopped before the processes ended: none saw them die.
  for (unsigned instance : {1, 2}) {
    EXPECT_TRUE(custodel->WaitForLine(
        "Stopped monitoring server \"Sample\" instance " + std::to_string(instance), 5s, *rerun));
  }
  EXPECT_FALSE(custodel->WaitForLine("Server \"Sample\" instance [12] has died", 0s, *rerun));
  EXPECT_EQ(0u, installation.Servers("Sample").Count());
  servers = status();
  EXPECT_EQ(false, servers[1]["Watched"]);
  EXPECT_EQ(true, servers[1]["RunsHere"]);
  for (const auto& instance : servers[1]["Instances"]) {
    EXPECT_EQ(false, instance["Watched"]);
    EXPECT_EQ("down", instance["Status"]);
  }
  ToolRun table = Zqm({"status"});
  EXPECT_TRUE(std::regex_search(
      table.output,
      std::regex("\nSample +yes +20 +0ms +1 +no +- +- +- +exit 0 +down by operator since [-0-9]+ "
                 "[:0-9]+\n")))
      << table.output;

  ToolRun up = Zqm({"up", "Sample"});
  EXPECT_EQ(0, up.status) << up.output;
  EXPECT_TRUE(installation.PidOf("Sample", 1) && installation.PidOf("Sample", 2));
  servers = status();
  EXPECT_EQ("running", servers[1]["Instances"][0]["Status"]);
  EXPECT_EQ(true, servers[1]["Instances"][1]["Watched"]);

  EXPECT_EQ(1, Zqm({"restart", "Nobody:1"}).status);
  EXPECT_EQ(2, Zqm({"down", "Sample:1"}).status);
  ToolRun unknown = Zqm({"up", "Nobody"});
  EXPECT_EQ(1, unknown.status);
  EXPECT_TRUE(Contains(unknown.output, "no server \"Nobody\" is configured")) << unknown.output;
}

// "down" lasts until "up": through reconfigurations, reloads and restarts of
// the service and of the daemon, which keeps it and refuses to start the
// server meanwhile, whoever asks.
TEST(ZqmToolSteeringTest, DownLastsUntilUp) {
  Installation installation(R"({"Servers": {"ZQMD": {"Servers": {
    "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "StartupOrder": 20},
    "Web": {"Program": "sleep", "Arguments": ["1000"], "Plain": true, "AlwaysRunning": true,
            "StartupOrder": 30}
  }}}})");
  auto custodel = installation.StartCustodel();
  const auto webRunning = [&](std::size_t after) {
    return custodel->WaitForLine("Server \"Web\" instance 1 is running", 20s, after);
  };
  ASSERT_TRUE(webRunning(0)) << custodel->Output();
  ASSERT_TRUE(installation.PidOf("Sample", 1));

  ToolRun down = Zqm({"down", "Sample"});
  ASSERT_EQ(0, down.status) << down.output;
  EXPECT_TRUE(std::regex_search(
      down.output, std::regex("Sample is down by operator since [-0-9]+ [:0-9]+; it stays down "
                              "until zqm up Sample\n")))
      << down.output;
  const auto since = [] {
    ToolRun run = Zqm({"status", "--json"});
    EXPECT_EQ(0, run.status) << run.output;
    const auto servers = nlohmann::json::parse(run.output)["Servers"];
    EXPECT_EQ("Sample", servers[0]["Name"]);
    return servers[0].value("DownByOperatorSince", 0ll);
  };
  const long long marked = since();
  EXPECT_GT(marked, 0);
  ToolRun table = Zqm({"status"});
  EXPECT_TRUE(std::regex_search(
      table.output, std::regex("\nSample +yes +20 +0ms +1 +no +- +- +- +exit 0 +down by operator "
                               "since [-0-9]+ [:0-9]+\n")))
      << table.output;
  const auto staysDown = [&](const char* after) {
    EXPECT_FALSE(installation.PidOf("Sample", 1)) << "started again after " << after;
    EXPECT_EQ(marked, since()) << after;
  };

  std::size_t before = custodel->LineCount();
  ASSERT_EQ(0, Zqm({"reconfigure"}).status);
  EXPECT_TRUE(custodel->WaitForLine("Server \"Sample\" is down by operator since", 10s, before));
  staysDown("reconfigure");
  before = custodel->LineCount();
  ASSERT_EQ(0, Zqm({"reload"}).status);
  EXPECT_TRUE(custodel->WaitForLine("Server \"Sample\" is down by operator since", 10s, before));
  staysDown("reload");

  installation.RestartDaemon();
  EXPECT_TRUE(installation.Daemon().WaitForLine("Server Sample is down by operator since", 10s))
      << installation.Daemon().Output();
  before = custodel->LineCount();
  ASSERT_EQ(0, Zqm({"reconfigure"}).status);
  EXPECT_TRUE(custodel->WaitForLine("Server \"Sample\" is down by operator since", 10s, before));
  staysDown("a restart of the daemon");
  ToolRun called = Zqm({"call", "Sample", "1", "Echo", "str:hello"});
  EXPECT_EQ(1, called.status);
  EXPECT_TRUE(Contains(called.output, "Sample is down by operator since")) << called.output;

  custodel->Signal(SIGTERM);
  ASSERT_EQ(std::optional<int>(0), custodel->WaitForExit(20s)) << custodel->Output();
  custodel = installation.StartCustodel();
  ASSERT_TRUE(webRunning(0)) << custodel->Output();  // the first pass is done
  EXPECT_TRUE(custodel->WaitForLine("Server \"Sample\" is down by operator since", 10s));
  staysDown("a restart of the service");

  ToolRun watch = Zqm({"call", "Custodel", "1", "WatchServer", "str:Sample"});
  EXPECT_EQ(1, watch.status);
  EXPECT_TRUE(Contains(watch.output, "is down by operator")) << watch.output;

  ToolRun up = Zqm({"up", "Sample"});
  EXPECT_EQ(0, up.status) << up.output;
  EXPECT_TRUE(installation.PidOf("Sample", 1));
  EXPECT_EQ(0, since());
  EXPECT_TRUE(
      installation.Daemon().WaitForLine("Server Sample is no longer down by operator", 10s));
}

// A reload names the instances that run an older launch configuration and,
// asked to, restarts exactly those, in start-up order; a change of a key
// only the service reads restarts nothing.
TEST(ZqmToolSteeringTest, ReloadRestartsTheInstancesWhoseLaunchChanged) {
  const std::string configuration = R"({"Servers": {"ZQMD": {"Servers": {
    "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "NrOfInstances": 2,
               "StartupOrder": 20, "Environment": {"COLOUR": "@COLOUR@"}},
    "Web": {"Program": "sleep", "Arguments": ["@SECONDS@"], "Plain": true, "AlwaysRunning": true,
            "StartupOrder": 10},
    "Idle": {"Program": "sleep", "Arguments": ["1000"], "Plain": true, "AlwaysRunning": true,
             "StartupOrder": @ORDER@}
  }}}})";
  const auto with = [&](const char* colour, const char* seconds, const char* order) {
    return std::regex_replace(
        std::regex_replace(std::regex_replace(configuration, std::regex("@COLOUR@"), colour),
                           std::regex("@SECONDS@"), seconds),
        std::regex("@ORDER@"), order);
  };
  Installation installation(with("red", "1000", "30"));
  auto custodel = installation.StartCustodel();
  ASSERT_TRUE(custodel->WaitForLine("Server \"Idle\" instance 1 is running", 20s))
      << custodel->Output();
  const auto pids = [&] {
    std::map<std::string, pid_t> running;
    for (const char* name : {"Web:1", "Sample:1", "Sample:2", "Idle:1"}) {
      const std::string word = name;
      const std::size_t colon = word.find(':');
      running[word] =
          installation.PidOf(word.substr(0, colon), std::stoul(word.substr(colon + 1))).value_or(0);
    }
    return running;
  };
  const auto before = pids();

  installation.WriteConfiguration(with("red", "1000", "40"));
  ToolRun unchanged = Zqm({"reload"});
  EXPECT_EQ(0, unchanged.status) << unchanged.output;
  EXPECT_TRUE(Contains(unchanged.output,
                       "No running instance was launched from an older launch configuration\n"))
      << unchanged.output;

  installation.WriteConfiguration(with("blue", "1001", "40"));
  ToolRun listed = Zqm({"reload"});
  EXPECT_EQ(0, listed.status) << listed.output;
  EXPECT_TRUE(Contains(listed.output,
                       "Launched from an older launch configuration:\n  Web:1\n  Sample:1\n  "
                       "Sample:2\nzqm reload --restart-changed restarts them"))
      << listed.output;
  EXPECT_EQ(before, pids());

  ToolRun restarted = Zqm({"reload", "--restart-changed"});
  EXPECT_EQ(0, restarted.status) << restarted.output;
  EXPECT_TRUE(std::regex_search(
      restarted.output,
      std::regex("Web instance 1 \\(pid [0-9]+\\) ended[^\n]*\nWeb instance 1 runs again as pid "
                 "[0-9]+\nSample instance 1 \\(pid [0-9]+\\) ended[^\n]*\nSample instance 1 runs "
                 "again as pid [0-9]+\nSample instance 2 \\(pid [0-9]+\\) ended[^\n]*\nSample "
                 "instance 2 runs again as pid [0-9]+\n$")))
      << restarted.output;
  const auto after = pids();
  for (const char* name : {"Web:1", "Sample:1", "Sample:2"}) {
    EXPECT_NE(0, after.at(name)) << name;
    EXPECT_NE(before.at(name), after.at(name)) << name;
  }
  EXPECT_EQ(before.at("Idle:1"), after.at("Idle:1"));
  std::ifstream commandLine("/proc/" + std::to_string(after.at("Web:1")) + "/cmdline");
  std::string words((std::istreambuf_iterator<char>(commandLine)), {});
  EXPECT_EQ(std::string("sleep\0"
                        "1001\0",
                        11),
            words);
  ToolRun again = Zqm({"reload"});
  EXPECT_TRUE(Contains(again.output,
                       "No running instance was launched from an older launch configuration\n"))
      << again.output;
}

}  // namespace
