// The daemon with real processes around it: the configuration server holds
// the launch configuration, clients connect by name and instance, and the
// daemon starts, lists and forgets instances. Every test runs in namespaces
// of its own, so port 8088 and the process table are the test's alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "DEVUror/zqm_tproxy.h"

#include "middleware/middleware_helpers.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CatchFrom;
using zq_test::Contains;
using zq_test::Field;
using zq_test::Installation;
using zq_test::InstallationOptions;

const char* const kConfiguration = R"({
  "Servers": {
    "ZQMD": {
      "Servers": {
        "Sample": {"Program": "@BIN@/sample_server"},
        "Idle": {"Program": "sleep", "Arguments": ["1000"], "Plain": true},
        "Echoer": {
          "Program": "sh",
          "Arguments": ["-c", "echo \"started as $0 with $ECHOER_TAG in $(pwd -P)\"; exec sleep 1000",
                        "{name}/{instance}"],
          "Environment": {"ECHOER_TAG": "{instance}-{name}"},
          "WorkingDirectory": "@BIN@",
          "Plain": true
        },
        "Missing": {"Program": "@BIN@/no-such-program"},
        "Hang": {"Program": "@BIN@/sample_server", "Arguments": ["--never-bind"],
                 "StartTimeout": 500},
        "Quitter": {"Program": "false"},
        "Stranger": {"Program": "sleep", "Arguments": ["1000"], "User": "no-such-user-here"},
        "..": {"Program": "sleep", "Arguments": ["1000"], "Plain": true},
        "Bell\u0007": {"Program": "sleep", "Arguments": ["1000"], "Plain": true}
      }
    }
  }
})";

class DaemonTest : public ::testing::Test {
 protected:
  Installation& Install(InstallationOptions options = {}) {
    installation_ = std::make_unique<Installation>(kConfiguration, std::move(options));
    return *installation_;
  }

  static std::unique_ptr<ZQM_TClient> Connect(
      const char* name, unsigned short instance,
      ZQM_TClient::TLocationMode mode = ZQM_TClient::kLocateOrStart) {
    auto client = std::make_unique<ZQM_TClient>();
    client->Connect("", name, instance, mode);
    return client;
  }

  // The daemon's one entry for the instance; fails the test when there is
  // not exactly one.
  ZQ_TDict EntryOf(const std::string& name) {
    const ZQ_TList list = installation_->Servers(name);
    EXPECT_EQ(1u, list.Count()) << "instances of " << name;
    return list.Count() == 0 ? ZQ_TDict() : list[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  }

  std::unique_ptr<Installation> installation_;
};

TEST_F(DaemonTest, FirstConnectStartsTheInstanceWhichKnowsWhoItIs) {
  Installation& installation = Install();
  auto client = Connect("Sample", 1);
  EXPECT_EQ(ZQ_TString("pong"), client->RPC("Ping").DynamicCast<ZQ_TString>(__FILE__, __LINE__));

  const ZQ_TAny who = client->RPC("Whoami");
  const ZQ_TDict& whoami = who.DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  EXPECT_EQ(ZQ_TString("Sample"), Field<ZQ_TString>(whoami, "Name"));
  EXPECT_EQ(1, Field<ZQ_TUInt16>(whoami, "Instance"));

  const ZQ_TDict entry = EntryOf("Sample");
  const pid_t pid = static_cast<pid_t>(Field<ZQ_TUInt32>(entry, "PID"));
  EXPECT_EQ(static_cast<std::uint32_t>(pid), Field<ZQ_TUInt32>(whoami, "PID"));
  EXPECT_EQ(ZQ_TString("running"), Field<ZQ_TString>(entry, "State"));
  EXPECT_NE(0u, Field<ZQ_TUInt32>(entry, "Port"));
  EXPECT_EQ(ZQ_TString(installation.LogDir() + "/Sample-1.log"), Field<ZQ_TString>(entry, "Log"));
  // A session of its own: the daemon's terminal and process group signals
  // do not reach it.
  EXPECT_EQ(pid, zq_test::SessionOf(pid));
}

TEST_F(DaemonTest, KilledInstanceLeavesTheListAtOnceAndRestartAppendsToItsLog) {
  Installation& installation = Install();
  Connect("Sample", 2);
  const pid_t first = installation.PidOf("Sample", 2).value_or(0);
  ASSERT_NE(0, first);
  const std::string log = installation.LogDir() + "/Sample-2.log";
  const std::string serving = "Sample instance 2 serving on port";
  // The server writes this line after it has registered, so it may still
  // be on its way when Connect returns.
  ASSERT_TRUE(zq_test::WaitForFileMatches(log, serving, 1, 5s)) << zq_test::ReadFile(log);

  kill(first, SIGKILL);
  ASSERT_TRUE(zq_test::WaitUntilGone(first, 5s));
  EXPECT_EQ(0u, installation.Servers("Sample").Count())
      << "the very next answer after the process ended still lists it";

  auto client = Connect("Sample", 2);
  const pid_t second = installation.PidOf("Sample", 2).value_or(0);
  EXPECT_NE(first, second);
  EXPECT_EQ(ZQ_TString("pong"), client->RPC("Ping").DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  EXPECT_TRUE(zq_test::WaitForFileMatches(log, serving, 2, 5s)) << zq_test::ReadFile(log);
  // The end's marker is written after the restart was asked for, yet lands
  // between the two starts.
  const std::string started = "==== [-0-9]+ [:.0-9]+ started Sample instance 2 \\(pid ";
  EXPECT_TRUE(zq_test::WaitForFileMatches(
      log,
      started + std::to_string(first) + "\\)[\\s\\S]*\\(pid " + std::to_string(first) +
          "\\) killed by signal 9 \\(Killed\\) after [\\s\\S]*" + started + std::to_string(second),
      1, 5s))
      << zq_test::ReadFile(log);
}

TEST_F(DaemonTest, InstanceOutlivesTheClientThatStartedItAndTheDaemon) {
  Installation& installation = Install();
  auto tool = installation.Start("zqm", {"call", "Sample", "3", "Ping"});
  ASSERT_EQ(0, tool->WaitForExit(10s)) << tool->Output();
  const ZQ_TDict entry = EntryOf("Sample");
  const pid_t pid = static_cast<pid_t>(Field<ZQ_TUInt32>(entry, "PID"));
  const auto port = static_cast<unsigned short>(Field<ZQ_TUInt32>(entry, "Port"));

  installation.Daemon().Signal(SIGTERM);
  ASSERT_EQ(0, installation.Daemon().WaitForExit(5s)) << installation.Daemon().Output();

  EXPECT_TRUE(zq_test::IsRunning(pid));
  ZQM_TClient direct("", port);
  EXPECT_EQ(ZQ_TString("pong"), direct.RPC("Ping").DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

TEST_F(DaemonTest, ProcessorFailuresArriveAsTheirOwnClassAndKeepTheConnection) {
  Install();
  auto client = Connect("Sample", 1);

  const auto failed = CatchFrom([&] { client->RPC("Fail", ZQ_TAny("disk on fire")); });
  EXPECT_EQ("ZQM_EException", failed.type);
  EXPECT_EQ("disk on fire", failed.message);

  const auto unknown = CatchFrom([&] { client->RPC("Frobnicate"); });
  EXPECT_EQ("ZQM_ENoSuchServerMethod", unknown.type);
  EXPECT_EQ("Frobnicate", unknown.message);

  EXPECT_EQ(ZQ_TString("pong"), client->RPC("Ping").DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

TEST_F(DaemonTest, PlainProgramIsStartedOnceAndRefusedAsAnRpcServer) {
  Installation& installation = Install();
  const auto refused = CatchFrom([] { Connect("Idle", 7); });
  EXPECT_EQ("ZQM_ENotAnRpcServer", refused.type) << refused.message;
  // At once, not after the default start time-out of ten seconds.
  EXPECT_LT(refused.took, 3s);

  const ZQ_TDict entry = EntryOf("Idle");
  EXPECT_EQ(ZQ_TString("plain"), Field<ZQ_TString>(entry, "State"));
  const pid_t pid = static_cast<pid_t>(Field<ZQ_TUInt32>(entry, "PID"));
  EXPECT_TRUE(zq_test::IsRunning(pid));

  EXPECT_EQ("ZQM_ENotAnRpcServer", CatchFrom([] { Connect("Idle", 7); }).type);
  EXPECT_EQ(pid, installation.PidOf("Idle", 7).value_or(0)) << "a second copy was started";
}

TEST_F(DaemonTest, StartedProgramGetsOnlyStandardDescriptorsInASessionOfItsOwn) {
  // A descriptor without close-on-exec in the daemon, as a library might
  // leave one: the instance must not inherit it.
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GT(leaked, 2);
  Installation& installation = Install();
  close(leaked);
  ASSERT_EQ(1u, zq_test::OpenDescriptors(installation.Daemon().Pid()).count(leaked))
      << "the daemon did not inherit the descriptor; this test would prove nothing";

  CatchFrom([] { Connect("Idle", 7); });
  const pid_t pid = installation.PidOf("Idle", 7).value_or(0);
  ASSERT_NE(0, pid);
  ASSERT_TRUE(zq_test::WaitUntilAsleep(pid, 5s));
  EXPECT_EQ((std::set<int>{0, 1, 2}), zq_test::OpenDescriptors(pid));
  EXPECT_EQ("/dev/null", zq_test::DescriptorTarget(pid, 0));
  const std::string log = installation.LogDir() + "/Idle-7.log";
  EXPECT_EQ(log, zq_test::DescriptorTarget(pid, 1));
  EXPECT_EQ(log, zq_test::DescriptorTarget(pid, 2));
  EXPECT_EQ(pid, zq_test::SessionOf(pid));
}

TEST_F(DaemonTest, PlaceholdersEnvironmentAndFolderApplyAndOutputGoesToTheLog) {
  Installation& installation = Install();
  CatchFrom([] { Connect("Echoer", 4); });
  const std::string log = installation.LogDir() + "/Echoer-4.log";
  const std::string bin = zq_test::Program("");
  const std::string line =
      "started as Echoer/4 with 4-Echoer in " + bin.substr(0, bin.size() - 1) + "\n";
  EXPECT_TRUE(zq_test::WaitForFileMatches(log, "(^|\\n)" + line, 1, 5s)) << zq_test::ReadFile(log);
}

TEST_F(DaemonTest, StartFailuresNameTheirCause) {
  Installation& installation = Install();

  const auto unknown = CatchFrom([] { Connect("Nobody", 0); });
  EXPECT_EQ("ZQM_ENoSuchServer", unknown.type);
  EXPECT_TRUE(Contains(unknown.message, "Nobody")) << unknown.message;

  const auto missing = CatchFrom([] { Connect("Missing", 0); });
  EXPECT_TRUE(Contains(missing.type, "ZQM_E")) << missing.type;
  EXPECT_TRUE(Contains(missing.message, "no-such-program")) << missing.message;
  EXPECT_TRUE(Contains(missing.message, "No such file or directory")) << missing.message;
  EXPECT_LT(missing.took, 3s);
  EXPECT_EQ(0u, installation.Servers("Missing").Count());

  const auto quitter = CatchFrom([] { Connect("Quitter", 0); });
  EXPECT_EQ("ZQM_EConnectionFailed", quitter.type);
  EXPECT_TRUE(Contains(quitter.message, "exit status 1 before it bound")) << quitter.message;
  EXPECT_LT(quitter.took, 3s);
  EXPECT_EQ(0u, installation.Servers("Quitter").Count());

  const auto stranger = CatchFrom([] { Connect("Stranger", 0); });
  EXPECT_TRUE(Contains(stranger.message, "unknown user \"no-such-user-here\"")) << stranger.message;
  EXPECT_TRUE(
      installation.Daemon().WaitForLine("Cannot start Stranger instance 0: .*unknown user", 5s))
      << installation.Daemon().Output();
  EXPECT_EQ(0u, installation.Servers("Stranger").Count());
}

TEST_F(DaemonTest, NoLogIsWrittenThroughALinkOrOutsideItsFolderAndTheStateFileIsPrivate) {
  Installation& installation = Install();
  const std::string target = installation.Dir().File("precious");
  installation.Dir().Write("precious", "keep me\n");
  const std::string planted = installation.LogDir() + "/Idle-7.log";
  ASSERT_EQ(0, symlink(target.c_str(), planted.c_str()));
  const auto linked = CatchFrom([] { Connect("Idle", 7); });
  EXPECT_TRUE(Contains(linked.message, planted + " is a symbolic link")) << linked.message;
  EXPECT_TRUE(
      installation.Daemon().WaitForLine("Cannot start Idle instance 7: .*symbolic link", 5s))
      << installation.Daemon().Output();
  EXPECT_EQ("keep me\n", zq_test::ReadFile(target));
  EXPECT_EQ(0u, installation.Servers("Idle").Count());

  // Names that would leave the folder, or hide in it, with the trace line
  // that names them.
  const std::pair<const char*, const char*> escaping[] = {{"..", "\\.\\."},
                                                          {"Bell\a", "Bell\\\\x07"}};
  for (const auto& [name, traced] : escaping) {
    const auto refused = CatchFrom([name = name] { Connect(name, 1); });
    EXPECT_TRUE(Contains(refused.message, "cannot name a log file")) << name << refused.message;
    EXPECT_TRUE(installation.Daemon().WaitForLine(
        std::string("Cannot start ") + traced + " instance 1: .*cannot name a log file", 5s))
        << installation.Daemon().Output();
  }
  EXPECT_EQ("ZQM_ENoSuchServer", CatchFrom([] { Connect("../Idle", 1); }).type);
  EXPECT_EQ(1u, installation.Servers("*").Count()) << "only the configuration server runs";

  // A start that works is kept in the state file, replaced whole: beside it
  // lies at most its spare (the previous content, once written twice), and
  // only the daemon's user may read either.
  CatchFrom([] { Connect("Idle", 8); });
  const std::string state = installation.LogDir() + "/zqmd.state";
  ASSERT_TRUE(zq_test::WaitForFileMatches(state, "Idle", 1, 5s));
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(installation.LogDir()))
    files.insert(entry.path().filename().string());
  files.erase("zqmd.state.new");
  EXPECT_EQ((std::set<std::string>{"Idle-7.log", "Idle-8.log", "zqmd.state"}), files);
  for (const std::string& path : {state, state + ".new"}) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 && path != state) continue;
    EXPECT_EQ(0600u, status.st_mode & 07777) << path;
  }
}

// Starts the daemon with `args` and returns its output once it has exited
// with status 1; fails the test when it exits otherwise.
std::string RefusedDaemonOutput(const std::vector<std::string>& args) {
  std::vector<std::string> argv = args;
  argv.insert(argv.begin(), zq_test::Program("zqmd"));
  zq_test::ChildProcess daemon(argv);
  EXPECT_EQ(1, daemon.WaitForExit(10s)) << daemon.Output();
  zq_test::WaitForOutputEnd(daemon);
  return daemon.Output();
}

TEST(DaemonStartUpTest, RefusesFoldersAndStateFilesThatOthersCouldRedirect) {
  zq_test::TempDir dir;
  std::filesystem::create_directory(dir.File("open"));
  chmod(dir.File("open").c_str(), 0777);
  std::filesystem::create_directory(dir.File("sticky"));
  chmod(dir.File("sticky").c_str(), 01777);
  EXPECT_TRUE(Contains(RefusedDaemonOutput({"--log-dir", dir.File("open")}),
                       "log folder " + dir.File("open") + " is writable by group or others"));
  EXPECT_TRUE(Contains(RefusedDaemonOutput({"--log-dir", dir.File("sticky")}),
                       "is writable by group or others (mode 1777)"));
  // A folder of the daemon's own below another user's writable folder.
  if (geteuid() == 0 && chown(dir.File("sticky").c_str(), 65534, 65534) == 0) {
    EXPECT_TRUE(Contains(RefusedDaemonOutput({"--log-dir", dir.File("sticky/logs")}),
                         "lies in " + dir.File("sticky") + ", which uid 65534 owns"));
  }

  dir.Write("elsewhere", "");
  ASSERT_EQ(0, symlink(dir.File("elsewhere").c_str(), dir.File("zqmd.state").c_str()));
  const std::string linked =
      RefusedDaemonOutput({"--log-dir", dir.File("logs"), "--state-file", dir.File("zqmd.state")});
  EXPECT_TRUE(
      Contains(linked, "zqmd: the state file " + dir.File("zqmd.state") + " is a symbolic link"))
      << linked;
  struct stat status {};
  ASSERT_EQ(0, stat(dir.File("logs").c_str(), &status));
  EXPECT_EQ(0u, status.st_mode & 027) << "the log folder made for the daemon is its own";
}

TEST_F(DaemonTest, InstanceThatNeverBindsTimesOutNamingItsLog) {
  Installation& installation = Install();
  const auto late = CatchFrom([] { Connect("Hang", 0); });
  EXPECT_EQ("ZQM_ETimeout", late.type);
  EXPECT_TRUE(Contains(late.message, installation.LogDir() + "/Hang-0.log")) << late.message;
  EXPECT_GE(late.took, 450ms);
  EXPECT_LT(late.took, 3s);
  // It still runs: the daemon does not kill what may only be slow.
  EXPECT_EQ(ZQ_TString("unbound"), Field<ZQ_TString>(EntryOf("Hang"), "State"));
}

TEST_F(DaemonTest, WithoutTheConfigurationServerNothingIsStarted) {
  InstallationOptions options;
  options.startAlmanac = false;
  Installation& installation = Install(options);
  const auto refused = CatchFrom([] { Connect("Sample", 1); });
  EXPECT_EQ("ZQM_ENoSuchServer", refused.type);
  EXPECT_TRUE(Contains(refused.message, "configuration server")) << refused.message;
  EXPECT_EQ(0u, installation.Servers("*").Count());
}

TEST_F(DaemonTest, LocateOnlyLeavesAStoppedInstanceStopped) {
  Installation& installation = Install();
  const auto refused = CatchFrom([] { Connect("Sample", 5, ZQM_TClient::kLocateOnly); });
  EXPECT_EQ("ZQM_ENoSuchServer", refused.type);
  EXPECT_TRUE(Contains(refused.message, "Sample")) << refused.message;
  EXPECT_EQ(0u, installation.Servers("Sample").Count());
  EXPECT_FALSE(std::filesystem::exists(installation.LogDir() + "/Sample-5.log"));
}

TEST_F(DaemonTest, SecondLiveProcessForAnInstanceIsRefused) {
  Installation& installation = Install();
  auto first = installation.Start("sample_server", {"--name", "Twin", "--instance", "1"});
  ASSERT_TRUE(first->WaitForLine("Twin instance 1 serving on port")) << first->Output();

  auto second = installation.Start("sample_server", {"--name", "Twin", "--instance", "1"});
  EXPECT_EQ(1, second->WaitForExit(10s));
  zq_test::WaitForOutputEnd(*second);
  EXPECT_TRUE(Contains(second->Output(), "already running")) << second->Output();
  EXPECT_EQ(first->Pid(), installation.PidOf("Twin", 1).value_or(0));
}

TEST_F(DaemonTest, ReportsAnEmptyServerConfigurationByDefault) {
  Install();
  ZQM_TClient daemon("", ZQM_TClient::kDaemonPort);
  EXPECT_EQ(ZQ_TString(""),
            daemon.RPC("GetServerConfiguration").DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

// Sends three kinds of broken frames to `port`: each connection is closed
// with a trace line in `traced`'s output naming it, while `call` (another
// connection) is still served, also while a half-sent frame is pending.
void CheckBrokenFramesCloseOnlyTheirConnection(unsigned short port, zq_test::ChildProcess& traced,
                                               const std::function<void()>& call) {
  // `mark` is taken before the bytes go out: the trace line may be written
  // before Send returns.
  const auto closedWithTrace = [&](zq_test::RawConnection& raw, std::size_t mark,
                                   const std::string& what) {
    EXPECT_TRUE(raw.WaitClosed(5s)) << what << ": the connection stays open";
    EXPECT_TRUE(
        traced.WaitForLine("Closing connection from " + raw.LocalAddress() + ": ", 5s, mark))
        << what << "\n"
        << traced.Output();
    EXPECT_NO_THROW(call()) << what;
  };
  {
    zq_test::RawConnection oversized(port);
    const std::size_t mark = traced.LineCount();
    oversized.Send(zq_test::Header(0xFFFFFFF0u) + "Q");
    closedWithTrace(oversized, mark, "oversized length");
  }
  {
    zq_test::RawConnection garbage(port);
    const std::size_t mark = traced.LineCount();
    const std::string body = std::string("Q\xff\x13") + "not a packed dictionary";
    garbage.Send(zq_test::Header(static_cast<std::uint32_t>(body.size())) + body);
    closedWithTrace(garbage, mark, "garbage body");
  }
  {
    zq_test::RawConnection truncated(port);
    const std::size_t mark = traced.LineCount();
    truncated.Send(zq_test::Header(100) + "Q\x01\x02");
    EXPECT_NO_THROW(call()) << "a half-sent frame blocks other connections";
    truncated.EndWriting();
    closedWithTrace(truncated, mark, "truncated frame");
  }
}

TEST_F(DaemonTest, BrokenFramesToTheDaemonCloseOnlyThatConnection) {
  Installation& installation = Install();
  CheckBrokenFramesCloseOnlyTheirConnection(ZQM_TClient::kDaemonPort, installation.Daemon(),
                                            [&] { installation.Servers("*"); });
}

TEST_F(DaemonTest, BrokenFramesToAServerCloseOnlyThatConnection) {
  Installation& installation = Install();
  auto server = installation.Start("sample_server", {"--name", "Raw", "--instance", "0"});
  ASSERT_TRUE(server->WaitForLine("Raw instance 0 serving on port")) << server->Output();
  const auto port = static_cast<unsigned short>(Field<ZQ_TUInt32>(EntryOf("Raw"), "Port"));
  ZQM_TClient client("", port);
  CheckBrokenFramesCloseOnlyTheirConnection(port, *server, [&] { client.RPC("Ping"); });
}

// A crash loop is held back: "Crasher" exits at once, well within its
// minimum uptime.
const char* const kControlConfiguration = R"({"Servers": {"ZQMD": {"Servers": {
  "Sample": {"Program": "@BIN@/sample_server"},
  "Stubborn": {"Program": "sh", "Arguments": ["-c", "trap '' TERM; exec sleep 1000"],
               "Plain": true},
  "Crasher": {"Program": "sh", "Arguments": ["-c", "exit 3"], "Plain": true,
              "BackoffMinimumUptime": 5000, "BackoffInitialDelay": 1000,
              "BackoffMaximumDelay": 1500}
}}}})";

// A start request for a plain program: the class of its refusal and the
// message ("" once the program was started).
zq_test::Caught StartPlain(const char* name) {
  zq_test::Caught caught =
      CatchFrom([&] { ZQM_TClient().Connect("", name, 1, ZQM_TClient::kLocateOrStart); });
  if (caught.type == "ZQM_ENotAnRpcServer") caught.message.clear();
  return caught;
}

TEST(DaemonControlTest, EndsInstancesOnRequestAndHoldsBackACrashingOne) {
  Installation installation(kControlConfiguration);
  ZQM_TProxy daemon("");

  // SIGTERM honoured: the answer comes once the process has ended.
  ZQM_TClient().Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  const pid_t sample = installation.PidOf("Sample", 1).value_or(0);
  ASSERT_NE(0, sample);
  ZQ_TDict ended = daemon.EndInstance("Sample", 1);
  EXPECT_EQ(static_cast<std::uint32_t>(sample), Field<ZQ_TUInt32>(ended, "PID"));
  EXPECT_EQ(ZQ_TString("exit status 0"), Field<ZQ_TString>(ended, "End"));
  EXPECT_FALSE(Field<ZQ_TBool>(ended, "Forced"));
  EXPECT_TRUE(zq_test::WaitUntilGone(sample, 0ms));
  EXPECT_EQ(0u, installation.Servers("Sample").Count());

  // SIGTERM ignored: SIGKILL once the grace has passed, not before.
  EXPECT_EQ("", StartPlain("Stubborn").message);
  const pid_t stubborn = installation.PidOf("Stubborn", 1).value_or(0);
  ASSERT_TRUE(zq_test::WaitUntilAsleep(stubborn, 5s));
  const auto asked = zq_test::Clock::now();
  ended = daemon.EndInstance("Stubborn", 1, ZQ_TAny(ZQ_TUInt32(300)));
  EXPECT_GE(zq_test::Clock::now() - asked, 300ms);
  EXPECT_EQ(ZQ_TString("killed by signal 9 (Killed)"), Field<ZQ_TString>(ended, "End"));
  EXPECT_TRUE(Field<ZQ_TBool>(ended, "Forced"));
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Stubborn instance 1 \\(pid [0-9]+\\) did not end within 300 ms of SIGTERM: SIGKILL", 5s));

  const zq_test::Caught unknown = CatchFrom([&] { daemon.EndInstance("Sample", 1); });
  EXPECT_EQ("ZQM_ENoSuchServer", unknown.type);
  EXPECT_EQ("no instance Sample:1 is known to this daemon", unknown.message);

  // A crash holds the instance back, traced once however often it is asked
  // for; the next crash doubles the pause, up to its maximum.
  EXPECT_EQ("", StartPlain("Crasher").message);
  const std::string held =
      "Crasher instance 1 \\(pid [0-9]+\\) ended [0-9]+ ms after its start, "
      "within its minimum uptime of 5000 ms: back-off, not started for ";
  const auto first = installation.Daemon().WaitForLine(held + "1000 ms", 5s);
  ASSERT_TRUE(first) << installation.Daemon().Output();
  for (int i = 0; i < 2; ++i) {
    const zq_test::Caught refused = StartPlain("Crasher");
    EXPECT_EQ("ZQM_ENoSuchServer", refused.type);
    EXPECT_TRUE(Contains(refused.message, "Crasher instance 1 is held back (back-off)") &&
                Contains(refused.message, "it can be started again in "))
        << refused.message;
  }
  const ZQ_TDict history = daemon.History("Crasher")[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  EXPECT_EQ(3u, Field<ZQ_TUInt32>(history, "ExitStatus"));
  EXPECT_EQ(1u, Field<ZQ_TUInt32>(history, "Starts"));
  EXPECT_LE(Field<ZQ_TUInt32>(history, "Backoff"), 1000u);
  // Its last starts and ends, for a timeline: one start, one crash.
  const ZQ_TList recent = Field<ZQ_TList>(history, "Recent");
  ASSERT_EQ(2u, recent.Count()) << recent;
  const ZQ_TDict started = recent[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  const ZQ_TDict crashed = recent[1].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  EXPECT_EQ(ZQ_TString("start"), Field<ZQ_TString>(started, "Kind"));
  EXPECT_EQ(ZQ_TString("end"), Field<ZQ_TString>(crashed, "Kind"));
  EXPECT_EQ(ZQ_TString("exit status 3"), Field<ZQ_TString>(crashed, "End"));
  EXPECT_EQ(3u, Field<ZQ_TUInt32>(crashed, "ExitStatus"));
  EXPECT_EQ(Field<ZQ_TUInt32>(started, "PID"), Field<ZQ_TUInt32>(crashed, "PID"));
  EXPECT_LE(Field<ZQ_TUInt32>(started, "At"), Field<ZQ_TUInt32>(crashed, "At"));
  const auto deadline = zq_test::Clock::now() + 5s;
  while (!StartPlain("Crasher").message.empty() && zq_test::Clock::now() < deadline) {
    pollfd none{};
    poll(&none, 0, 20);
  }
  EXPECT_TRUE(installation.Daemon().WaitForLine(held + "1500 ms", 5s, *first + 1))
      << installation.Daemon().Output();
  const auto lines = installation.Daemon().Lines(*first);
  EXPECT_EQ(2, std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
              return std::regex_search(line, std::regex(held));
            }));
}

}  // namespace
