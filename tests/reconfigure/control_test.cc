// The service end to end: a daemon, a configuration server, `custodel` and
// the sample servers it keeps running, each test in namespaces of its own.
// Covers which servers the first pass starts and in which order, the methods
// "Reconfigure", "Stop" and "IgnoreServer", and what a broken server list
// does to the service.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Custodel/Private/Source/custodel.h"
#include "reconfigure/custodel_harness.h"

namespace {

using namespace custodel_test;

using Texts = std::vector<std::string>;

class CustodelControl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitialiseLibraries(); }

  void Start(const std::string& configuration, const std::string& serverConfiguration = "") {
    InstallationOptions options;
    options.serverConfiguration = serverConfiguration;
    installation_ = std::make_unique<Installation>(configuration, options);
    service_ = std::make_unique<Service>(*installation_);
  }

  // The daemon's instances apart from the configuration server and the
  // service itself.
  Texts Servers() const {
    Texts running = RunningInstances(*installation_);
    std::erase_if(running, [](const std::string& name) {
      return name == "Almanac#0" || name == "Custodel#1";
    });
    return running;
  }

  static std::string Running(const std::string& name, unsigned instance) {
    return "Server \"" + name + "\" instance " + std::to_string(instance) + " is running";
  }

  // A watcher says its instance is running after it has let the start-up
  // gate go on, so that line may come after the gate's next ones.
  static Texts WithoutRunningLines(Texts texts) {
    std::erase_if(texts, [](const std::string& text) { return text.ends_with(" is running"); });
    return texts;
  }

  // Declared in this order so that the service ends before the daemon.
  std::unique_ptr<Installation> installation_;
  std::unique_ptr<Service> service_;
};

// The command processor's answers: a ZQ_TUInt32 1 or 0.
const std::optional<std::uint32_t> kOne = 1;
const std::optional<std::uint32_t> kZero = 0;

ZQ_TList Arguments(ZQ_TAny first) {
  ZQ_TList arguments;
  arguments.Append(std::move(first));
  return arguments;
}

TEST_F(CustodelControl, FirstPassRunsOnlyAlwaysRunningServersOfThisConfiguration) {
  Start(Configuration({
            ServerEntry("Listed", R"("AlwaysRunning": true, "Configurations": ["Other", "Demo"])"),
            ServerEntry("OtherOnly", R"("AlwaysRunning": true, "Configurations": ["Other"])"),
            ServerEntry("CaseDiffers", R"("AlwaysRunning": true, "Configurations": ["demo"])"),
            ServerEntry("NoList", R"("AlwaysRunning": true)"),
            ServerEntry("ListAsText", R"("AlwaysRunning": true, "Configurations": "Demo")"),
            ServerEntry("NotFlagged", R"("Configurations": ["Demo"])"),
            ServerEntry("Off", R"("AlwaysRunning": false, "Configurations": ["Demo"])"),
            ServerEntry("FlagAsNumber", R"("AlwaysRunning": 1, "Configurations": ["Demo"])"),
            ServerEntry("FlagAsText", R"("AlwaysRunning": "true", "Configurations": ["Demo"])"),
        }),
        "Demo");
  const std::size_t running = service_->Await(Running("Listed", 1));

  EXPECT_EQ((Texts{
                "Starting",
                "Reconfigure for ServerConfiguration \"Demo\"",
                "Checking \"Listed\"",
                "Add monitor for server \"Listed\", order = 50, delay after start = 0",
                "Checking \"OtherOnly\"",
                "Checking \"CaseDiffers\"",
                "Checking \"NoList\"",
                "Checking \"ListAsText\"",
                "Server \"ListAsText\": \"Configurations\" is a ZQ_TString, not a list; it counts "
                "as absent",
                "Checking \"NotFlagged\"",
                "Checking \"Off\"",
                "Checking \"FlagAsNumber\"",
                "Server \"FlagAsNumber\": \"AlwaysRunning\" is a ZQ_TUInt32, not true or false; it "
                "counts as absent",
                "Checking \"FlagAsText\"",
                "Server \"FlagAsText\": \"AlwaysRunning\" is a ZQ_TString, not true or false; it "
                "counts as absent",
                "Starting monitor for server \"Listed\"",
                "Starting server \"Listed\" instance 1",
                "Server \"Listed\" instance 1 is running",
            }),
            service_->Texts(0, running + 1));
  EXPECT_EQ((Texts{"Listed#1"}), Servers());
}

TEST_F(CustodelControl, SettingsOfAnotherTypeFallBackToTheirDefaults) {
  // The daemon names no configuration: "Configurations" does not matter.
  Start(Configuration({
      ServerEntry("Defaults", R"("AlwaysRunning": true, "Configurations": ["Elsewhere"])"),
      ServerEntry("AsText", R"("AlwaysRunning": true, "StartupOrder": "7",
                              "NrOfInstances": "2", "DelayAfterStartup": "3000")"),
      ServerEntry("NoInstances", R"("AlwaysRunning": true, "StartupOrder": 1, "NrOfInstances": 0)"),
      ServerEntry("Delayed",
                  R"("AlwaysRunning": true, "StartupOrder": 2, "DelayAfterStartup": 1200)"),
  }));
  const std::size_t last = service_->Await(Running("Defaults", 1));

  EXPECT_EQ((Texts{
                "Add monitor for server \"Defaults\", order = 50, delay after start = 0",
                "Add monitor for server \"AsText\", order = 50, delay after start = 0",
                "Add monitor for server \"NoInstances\", order = 1, delay after start = 0",
                "Add monitor for server \"Delayed\", order = 2, delay after start = 1200",
            }),
            service_->TextsStartingWith("Add monitor", 0, last + 1));
  EXPECT_EQ(
      (Texts{"Starting server \"Delayed\" instance 1", "Starting server \"AsText\" instance 1",
             "Starting server \"Defaults\" instance 1"}),
      service_->TextsStartingWith("Starting server", 0, last + 1));
  EXPECT_EQ(0u, service_->Count("Starting monitor for server \"NoInstances\"", 0, last + 1));

  // The delay holds the next start back.
  const std::size_t pause = service_->Await("Server \"Delayed\" requires 1 seconds to startup");
  const std::size_t next = service_->Await("Starting monitor for server \"AsText\"");
  EXPECT_LT(service_->Await("Starting server \"Delayed\" instance 1"), pause);
  EXPECT_LT(pause, next);
  const auto lines = service_->Process().Lines();
  EXPECT_GE(ParseTraceLine(lines[next])->seconds - ParseTraceLine(lines[pause])->seconds, 1.15);
  EXPECT_EQ((Texts{"AsText#1", "Defaults#1", "Delayed#1"}), Servers());
}

TEST_F(CustodelControl, StartOrderIsByOrderThenLastConfiguredFirstThenHighestInstanceFirst) {
  Start(Configuration({
      ServerEntry("Late", R"("AlwaysRunning": true, "StartupOrder": 60, "NrOfInstances": 3)"),
      ServerEntry("EqualA", R"("AlwaysRunning": true, "StartupOrder": 20)"),
      ServerEntry("EqualB", R"("AlwaysRunning": true, "StartupOrder": 20)"),
      ServerEntry("Early", R"("AlwaysRunning": true, "StartupOrder": 10)"),
      ServerEntry("Default", R"("AlwaysRunning": true)"),
  }));
  const std::size_t last = service_->Await(Running("Late", 1));

  EXPECT_EQ((Texts{
                "Starting server \"Early\" instance 1",
                "Starting server \"EqualB\" instance 1",
                "Starting server \"EqualA\" instance 1",
                "Starting server \"Default\" instance 1",
                "Starting server \"Late\" instance 3",
                "Starting server \"Late\" instance 2",
                "Starting server \"Late\" instance 1",
            }),
            service_->TextsStartingWith("Starting server", 0, last + 1));
  EXPECT_EQ((Texts{"Default#1", "Early#1", "EqualA#1", "EqualB#1", "Late#1", "Late#2", "Late#3"}),
            Servers());
}

// "Stop" removes every listed server's monitors, also of a server no longer
// flagged to run, and leaves the processes alone; "Reconfigure" then brings
// back the monitors of the configuration and starts nothing new.
TEST_F(CustodelControl, StopThenReconfigureGivesBackTheConfiguredMonitors) {
  const std::string multi =
      ServerEntry("Multi", R"("AlwaysRunning": true, "StartupOrder": 10, "NrOfInstances": 2)");
  const std::string idle = ServerEntry("Idle", R"("AlwaysRunning": false)");
  Start(Configuration(
      {multi, ServerEntry("Single", R"("AlwaysRunning": true, "StartupOrder": 20)"), idle}));
  service_->Await(Running("Single", 1));
  const pid_t multi1 = RequirePid(*installation_, "Multi", 1);
  const pid_t multi2 = RequirePid(*installation_, "Multi", 2);
  const pid_t single = RequirePid(*installation_, "Single", 1);

  installation_->Reconfigure(
      Configuration({multi, ServerEntry("Single", R"("AlwaysRunning": false)"), idle}));
  const std::size_t beforeStop = service_->Process().LineCount();
  EXPECT_EQ(kOne, UInt32Of(service_->Call("Stop")));
  const std::size_t stopped = service_->Await("Checking \"Idle\"", beforeStop);
  EXPECT_EQ((Texts{
                "Remove all server watcher threads",
                "Checking \"Multi\"",
                "Remove monitor for \"Multi\"; server instance: 2",
                "Stopped monitoring server \"Multi\" instance 2",
                "Remove monitor for \"Multi\"; server instance: 1",
                "Stopped monitoring server \"Multi\" instance 1",
                "Checking \"Single\"",
                "Remove monitor for \"Single\"; server instance: 1",
                "Stopped monitoring server \"Single\" instance 1",
                "Checking \"Idle\"",
            }),
            service_->Texts(beforeStop, stopped + 1));
  EXPECT_EQ((Texts{"Multi#1", "Multi#2", "Single#1"}), Servers());

  const std::size_t beforeReconfigure = service_->Process().LineCount();
  EXPECT_EQ(kOne, UInt32Of(service_->Call("Reconfigure")));
  service_->Await(Running("Multi", 2), beforeReconfigure);
  const std::size_t back = service_->Await(Running("Multi", 1), beforeReconfigure);
  EXPECT_EQ((Texts{
                "Reconfigure for ServerConfiguration \"\"",
                "Checking \"Multi\"",
                "Add monitor for server \"Multi\", order = 10, delay after start = 0",
                "Checking \"Single\"",
                "Checking \"Idle\"",
                "Starting monitor for server \"Multi\"",
                "Starting server \"Multi\" instance 2",
                "Starting monitor for server \"Multi\"",
                "Starting server \"Multi\" instance 1",
            }),
            WithoutRunningLines(service_->Texts(beforeReconfigure, back + 1)));
  // The same processes, found again rather than started again.
  EXPECT_EQ(multi1, RequirePid(*installation_, "Multi", 1));
  EXPECT_EQ(multi2, RequirePid(*installation_, "Multi", 2));
  EXPECT_EQ(single, RequirePid(*installation_, "Single", 1));
}

TEST_F(CustodelControl, IgnoreServerDropsTheMonitorsOfThatServerOnly) {
  Start(Configuration({
      ServerEntry("Kept", R"("AlwaysRunning": true, "StartupOrder": 10)"),
      ServerEntry("Ignored", R"("AlwaysRunning": true, "StartupOrder": 20, "NrOfInstances": 2)"),
  }));
  service_->Await(Running("Ignored", 1));
  const pid_t kept = RequirePid(*installation_, "Kept", 1);
  const pid_t ignored1 = RequirePid(*installation_, "Ignored", 1);
  const pid_t ignored2 = RequirePid(*installation_, "Ignored", 2);

  const std::size_t before = service_->Process().LineCount();
  const ZQ_TAny result = service_->Call("IgnoreServer", Arguments(ZQ_TAny("Ignored")));
  EXPECT_EQ(kOne, UInt32Of(result));
  const std::size_t removed =
      service_->Await("Stopped monitoring server \"Ignored\" instance 1", before);
  EXPECT_EQ((Texts{
                "Remove monitor for \"Ignored\"; server instance: 2",
                "Stopped monitoring server \"Ignored\" instance 2",
                "Remove monitor for \"Ignored\"; server instance: 1",
                "Stopped monitoring server \"Ignored\" instance 1",
            }),
            service_->Texts(before, removed + 1));
  EXPECT_EQ(ignored1, RequirePid(*installation_, "Ignored", 1));
  EXPECT_EQ(ignored2, RequirePid(*installation_, "Ignored", 2));

  // The ignored server is not brought back; the other one still is. The
  // ignored one goes first, so that a watcher left behind would have
  // restarted it before the kept one is back.
  const std::size_t daemonLines = installation_->Daemon().LineCount();
  kill(ignored1, SIGKILL);
  ASSERT_TRUE(installation_->Daemon().WaitForLine(
      "Ignored instance 1 \\(pid " + std::to_string(ignored1) + "\\) ", 10s, daemonLines));
  kill(kept, SIGKILL);
  const std::size_t died = service_->Await("Server \"Kept\" instance 1 has died", before);
  service_->Await(Running("Kept", 1), died);
  EXPECT_NE(kept, RequirePid(*installation_, "Kept", 1));
  EXPECT_EQ((Texts{"Ignored#2", "Kept#1"}), Servers());
  EXPECT_EQ((Texts{}), service_->TextsStartingWith("Starting server \"Ignored\"", before));
}

TEST_F(CustodelControl, IgnoreServerForEveryServerActsLikeStop) {
  Start(Configuration({ServerEntry("One", R"("AlwaysRunning": true, "StartupOrder": 10)"),
                       ServerEntry("Two", R"("AlwaysRunning": true, "StartupOrder": 20)")}));
  service_->Await(Running("Two", 1));
  const pid_t one = RequirePid(*installation_, "One", 1);
  const pid_t two = RequirePid(*installation_, "Two", 1);

  const std::size_t before = service_->Process().LineCount();
  EXPECT_EQ(kOne, UInt32Of(service_->Call("IgnoreServer", Arguments(ZQ_TAny("*")))));
  const std::size_t end = service_->Await("Stopped monitoring server \"Two\" instance 1", before);
  EXPECT_EQ((Texts{
                "Remove all server watcher threads",
                "Checking \"One\"",
                "Remove monitor for \"One\"; server instance: 1",
                "Stopped monitoring server \"One\" instance 1",
                "Checking \"Two\"",
                "Remove monitor for \"Two\"; server instance: 1",
                "Stopped monitoring server \"Two\" instance 1",
            }),
            service_->Texts(before, end + 1));
  EXPECT_EQ(one, RequirePid(*installation_, "One", 1));
  EXPECT_EQ(two, RequirePid(*installation_, "Two", 1));
}

TEST_F(CustodelControl, CallsThatChangeNothing) {
  Start(Configuration({ServerEntry("Watched", R"("AlwaysRunning": true)")}));
  service_->Await(Running("Watched", 1));
  const std::size_t before = service_->Process().LineCount();

  EXPECT_EQ(kOne, UInt32Of(service_->Call("IgnoreServer", Arguments(ZQ_TAny("NoSuchServer")))));
  // A missing or non-text name is answered with 0, not with a failure.
  EXPECT_EQ(kZero, UInt32Of(service_->Call("IgnoreServer")));
  EXPECT_EQ(kZero, UInt32Of(service_->Call("IgnoreServer", Arguments(ZQ_TAny(5u)))));
  EXPECT_EQ(kZero, UInt32Of(service_->Call("IgnoreServer", Arguments(ZQ_TAny(ZQ_TList())))));
  for (const char* method : {"Restart", "reconfigure", "stop"}) {
    try {
      service_->Call(method);
      ADD_FAILURE() << method << " was served";
    } catch (const ZQM_ENoSuchServerMethod& failure) {
      EXPECT_EQ(ZQ_TString(method), failure.ZQ_Message());
    }
  }

  // Nothing was traced, and the watcher still runs: the reconfiguration
  // finds the monitor in place and starts no other.
  const std::size_t synced = service_->Sync();
  EXPECT_EQ((Texts{}), service_->Texts(before, synced));
  EXPECT_EQ(kOne, UInt32Of(service_->Call("IgnoreServer", Arguments(ZQ_TAny("NoSuchServer")))));
  EXPECT_EQ((Texts{}), service_->TextsStartingWith("Starting monitor", before));
  EXPECT_EQ((Texts{}), service_->TextsStartingWith("Remove monitor", before));
}

TEST_F(CustodelControl, ReconfigureFollowsTheEditedConfiguration) {
  const std::string demo = R"("Configurations": ["Demo"], )";
  Start(Configuration({
            ServerEntry("Stays", demo + R"("AlwaysRunning": true, "StartupOrder": 10)"),
            ServerEntry("Retired", demo + R"("AlwaysRunning": true, "StartupOrder": 20)"),
            ServerEntry("Moved", demo + R"("AlwaysRunning": true, "StartupOrder": 25)"),
            ServerEntry("Changed", demo + R"("AlwaysRunning": true, "StartupOrder": 30)"),
        }),
        "Demo");
  service_->Await(Running("Changed", 1));
  const pid_t stays = RequirePid(*installation_, "Stays", 1);
  const pid_t retired = RequirePid(*installation_, "Retired", 1);
  const pid_t moved = RequirePid(*installation_, "Moved", 1);
  const pid_t changed = RequirePid(*installation_, "Changed", 1);

  installation_->Reconfigure(Configuration({
      ServerEntry("Stays", demo + R"("AlwaysRunning": true, "StartupOrder": 10)"),
      ServerEntry("Retired", demo + R"("AlwaysRunning": false, "StartupOrder": 20)"),
      ServerEntry("Moved", R"("Configurations": ["Other"], "AlwaysRunning": true)"),
      ServerEntry("Changed", demo + R"("AlwaysRunning": true, "StartupOrder": 5,
                                      "NrOfInstances": 3, "DelayAfterStartup": 2000)"),
      ServerEntry("Added", demo + R"("AlwaysRunning": true, "StartupOrder": 40)"),
  }));
  const std::size_t before = service_->Process().LineCount();
  EXPECT_EQ(kOne, UInt32Of(service_->Call("Reconfigure")));
  const std::size_t end = service_->Await(Running("Added", 1), before);

  EXPECT_EQ((Texts{
                "Reconfigure for ServerConfiguration \"Demo\"",
                "Checking \"Stays\"",
                "Add monitor for server \"Stays\", order = 10, delay after start = 0",
                "Checking \"Retired\"",
                "Remove monitor for \"Retired\"; server instance: 1",
                "Stopped monitoring server \"Retired\" instance 1",
                "Checking \"Moved\"",
                "Remove monitor for \"Moved\"; server instance: 1",
                "Stopped monitoring server \"Moved\" instance 1",
                "Checking \"Changed\"",
                "Add monitor for server \"Changed\", order = 5, delay after start = 2000",
                "Checking \"Added\"",
                "Add monitor for server \"Added\", order = 40, delay after start = 0",
                "Starting monitor for server \"Added\"",
                "Starting server \"Added\" instance 1",
                "Server \"Added\" instance 1 is running",
            }),
            service_->Texts(before, end + 1));
  // Removed monitors leave their processes running; the changed server
  // keeps its one instance.
  EXPECT_EQ((Texts{"Added#1", "Changed#1", "Moved#1", "Retired#1", "Stays#1"}), Servers());
  EXPECT_EQ(stays, RequirePid(*installation_, "Stays", 1));
  EXPECT_EQ(retired, RequirePid(*installation_, "Retired", 1));
  EXPECT_EQ(moved, RequirePid(*installation_, "Moved", 1));
  EXPECT_EQ(changed, RequirePid(*installation_, "Changed", 1));
}

TEST_F(CustodelControl, ServerListWithANonTreeEntryIsFatalAtStartUp) {
  Start(Configuration({
      ServerEntry("Good", R"("AlwaysRunning": true)"),
      R"("Broken": "not a server")",
      ServerEntry("After", R"("AlwaysRunning": true)"),
  }));
  EXPECT_EQ(std::optional<int>(1), service_->WaitForEnd());

  EXPECT_EQ((Texts{
                "Starting",
                "Reconfigure for ServerConfiguration \"\"",
                "Checking \"Good\"",
                "Add monitor for server \"Good\", order = 50, delay after start = 0",
                "Checking \"Broken\"",
            }),
            service_->Texts());
  const Texts lines = service_->Process().Lines();
  EXPECT_EQ(
      1, std::count_if(
             lines.begin(), lines.end(),
             [](const std::string& line) {
               return line.rfind(
                          "Custodel:FATAL ERROR:ZQ_EBadCast at Custodel/Private/Source/custodel:",
                          0) == 0;
             }))
      << service_->Process().Output();
  EXPECT_EQ((Texts{}), Servers());
}

TEST_F(CustodelControl, UnreachableConfigurationServerIsFatalAtStartUp) {
  InstallationOptions options;
  options.startAlmanac = false;
  installation_ = std::make_unique<Installation>(Configuration({}), options);
  service_ = std::make_unique<Service>(*installation_);
  EXPECT_EQ(std::optional<int>(1), service_->WaitForEnd());

  EXPECT_EQ((Texts{"Starting"}), service_->Texts());
  const std::string output = service_->Process().Output();
  EXPECT_NE(std::string::npos, output.find("Custodel:FATAL ERROR:ZQM_ENoSuchServer")) << output;
}

TEST_F(CustodelControl, ReconfigureWithANonTreeEntryFailsAndTheServiceGoesOn) {
  const std::string good = ServerEntry("Good", R"("AlwaysRunning": true, "StartupOrder": 10)");
  const std::string early = ServerEntry("Early", R"("AlwaysRunning": true, "StartupOrder": 5)");
  Start(Configuration({good}));
  service_->Await(Running("Good", 1));
  const pid_t goodPid = RequirePid(*installation_, "Good", 1);

  installation_->Reconfigure(Configuration({early, R"("Broken": 7)", good}));
  const std::size_t before = service_->Process().LineCount();
  try {
    service_->Call("Reconfigure");
    FAIL() << "the broken entry was accepted";
  } catch (const ZQ_EBadCast& failure) {
    EXPECT_EQ(ZQ_TString(kCustodelSource), failure.ZQ_ExceptionFile());
  }

  // The failed pass's trace arrives on its own time: its last line first.
  const std::size_t failed = service_->Await("Checking \"Broken\"", before);

  // Still serving; the monitor added before the broken entry gets its
  // watcher with the next complete pass.
  installation_->Reconfigure(Configuration({early, good}));
  const std::size_t second = failed + 1;
  EXPECT_EQ(kOne, UInt32Of(service_->Call("Reconfigure")));
  const std::size_t again = service_->Await("Reconfigure for ServerConfiguration \"\"", second);
  EXPECT_EQ((Texts{
                "Reconfigure for ServerConfiguration \"\"",
                "Checking \"Early\"",
                "Add monitor for server \"Early\", order = 5, delay after start = 0",
                "Checking \"Broken\"",
            }),
            service_->Texts(before, again));
  const std::size_t end = service_->Await(Running("Early", 1), again);
  EXPECT_EQ((Texts{"Starting monitor for server \"Early\""}),
            service_->TextsStartingWith("Starting monitor", again, end));
  EXPECT_EQ(goodPid, RequirePid(*installation_, "Good", 1));
  EXPECT_EQ((Texts{"Early#1", "Good#1"}), Servers());
}

// `zqm reload` reads the edited file into the configuration server and has
// the service follow it; a second zqm meanwhile finds the service busy with
// that pass (longer than a greeting's usual wait) and waits for it.
TEST_F(CustodelControl, ZqmReloadFollowsTheEditedFileAndZqmWaitsForABusyService) {
  Start(Configuration({ServerEntry("First", R"("AlwaysRunning": true)")}));
  service_->Await(Running("First", 1));

  installation_->WriteConfiguration(R"({"Servers": {"ZQMD": {"Servers": {"First": {}},}})");
  const zq_test::ProgramRun refused = installation_->Run("zqm", {"reload"});
  EXPECT_EQ(1, refused.status);
  for (const std::string& part :
       {std::string("zqm: ZQM_EException: the configuration server did not reload: "),
        installation_->Dir().File("config.json") + ":1:48: syntax error"}) {
    EXPECT_NE(std::string::npos, refused.output.find(part)) << refused.output;
  }

  const std::size_t before = service_->Process().LineCount();
  installation_->WriteConfiguration(Configuration(
      {ServerEntry("First", R"("AlwaysRunning": true)"),
       ServerEntry("Second", R"("AlwaysRunning": true, "DelayAfterStartup": 6500)")}));
  auto reload = installation_->Start("zqm", {"reload"});
  service_->Await("Server \"Second\" requires 6 seconds to startup", before);
  const zq_test::ProgramRun waited = installation_->Run("zqm", {"ignore", "Nobody"}, 20s);
  EXPECT_EQ(0, waited.status) << waited.output;
  EXPECT_EQ(
      "zqm: the service is busy with a pass; waiting (at most 300 s, see --wait)\n"
      "IgnoreServer: done\n",
      waited.output);

  ASSERT_EQ(0, reload->WaitForExit(10s));
  EXPECT_EQ((std::vector<std::string>{
                "Reload: done", "Reconfigure: done",
                "No running instance was launched from an older launch configuration"}),
            reload->Lines());
  EXPECT_EQ((Texts{"First#1", "Second#1"}), Servers());
  EXPECT_EQ(1u, service_->Count("Reconfigure for ServerConfiguration \"\"", before));
}

}  // namespace
