// The daemon when things around it go wrong: the configuration server ends
// or is away, the state file is lost or stale, a registration claims an
// instance that is not its own. Real processes, each test in namespaces of
// its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "middleware/middleware_helpers.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CatchFrom;
using zq_test::Contains;
using zq_test::Field;
using zq_test::Installation;

const char* const kConfiguration = R"({
  "Servers": {"ZQMD": {"Servers": {"Sample": {"Program": "@BIN@/sample_server"}}}}
})";

pid_t StartedPid(Installation& installation, unsigned instance) {
  ZQM_TClient client;
  client.Connect("", "Sample", instance, ZQM_TClient::kLocateOrStart);
  return installation.PidOf("Sample", instance).value_or(0);
}

ZQ_TDict LocateRequest(const char* name, unsigned instance) {
  ZQ_TDict request;
  request.Set("M", ZQ_TAny("Locate"));
  request.Set("P1", ZQ_TAny(name));
  request.Set("P2", ZQ_TAny(ZQ_TUInt16(static_cast<unsigned short>(instance))));
  return request;
}

ZQ_TAny Register(const std::string& name, unsigned instance, pid_t pid, unsigned short port) {
  ZQ_TDict registration;
  registration.Set("Name", ZQ_TAny(ZQ_TString(name)));
  registration.Set("Instance", ZQ_TAny(ZQ_TUInt16(static_cast<unsigned short>(instance))));
  registration.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(pid))));
  registration.Set("Port", ZQ_TAny(ZQ_TUInt32(port)));
  ZQM_TClient daemon("", ZQM_TClient::kDaemonPort);
  return daemon.RPC("Register", ZQ_TAny(registration));
}

// A start asked for in the very batch of the daemon's event loop that also
// carries the configuration server's end: the start looks for the
// configuration server, finds it ended and drops it from the registry
// before the end's own report is handled. The daemon is stopped while the
// last part of the request and the end arrive, so that both are in one
// batch, the request first.
TEST(DaemonRecovery, StartRacingTheConfigurationServersEndIsRefusedAndTraced) {
  Installation installation(kConfiguration);
  zq_test::ChildProcess& daemon = installation.Daemon();
  zq_test::RawConnection raw(ZQM_TClient::kDaemonPort);
  const std::string frame = raw.Seal(zqm_wire::RequestFrame(LocateRequest("Sample", 1)));
  raw.Send(frame.substr(0, zqm_wire::kHeaderBytes));
  ASSERT_TRUE(zq_test::WaitUntilIdle(daemon.Pid(), 5s));
  daemon.Signal(SIGSTOP);
  raw.Send(frame.substr(zqm_wire::kHeaderBytes));
  const pid_t almanac = installation.Almanac().Pid();
  installation.Almanac().Signal(SIGKILL);
  ASSERT_TRUE(zq_test::WaitUntilGone(almanac, 5s));
  daemon.Signal(SIGCONT);

  const std::string reply = raw.Receive();
  ASSERT_EQ(zqm_wire::Kind::kFailure, zqm_wire::PayloadKind(reply));
  std::unique_ptr<ZQ_EException> failure(
      zqm_wire::DecodeFailure(std::string_view(reply).substr(1)));
  EXPECT_EQ("ZQM_ENoSuchServer", std::string(failure->ClassName()));
  EXPECT_TRUE(Contains(failure->ZQ_Message().Text(), "configuration server"))
      << failure->ZQ_Message().Text();
  EXPECT_TRUE(daemon.WaitForLine(
      "Cannot start Sample instance 1: .*not running, and no launch configuration of Sample "
      "is kept"))
      << daemon.Output();
  EXPECT_TRUE(daemon.WaitForLine("Almanac instance 0 \\(pid [0-9]+\\) ended")) << daemon.Output();
  EXPECT_EQ(0u, installation.Servers("*").Count()) << "the daemon lost track";
}

TEST(DaemonRecovery, InstancesRestartFromTheKeptConfigurationWhileTheServerIsAway) {
  Installation installation(kConfiguration);
  zq_test::ChildProcess& daemon = installation.Daemon();
  const pid_t first = StartedPid(installation, 1);
  ASSERT_NE(0, first);
  installation.Almanac().Signal(SIGKILL);
  ASSERT_TRUE(daemon.WaitForLine("Almanac instance 0 \\(pid [0-9]+\\) ended")) << daemon.Output();
  kill(first, SIGKILL);
  ASSERT_TRUE(zq_test::WaitUntilGone(first, 5s));

  const std::size_t mark = daemon.LineCount();
  const pid_t again = StartedPid(installation, 1);
  EXPECT_NE(0, again);
  EXPECT_NE(first, again);
  EXPECT_NE(0, StartedPid(installation, 2)) << "a first start of another instance";
  const std::string fallback =
      "The configuration server \"Almanac\" instance 0 is not running; starting Sample instance "
      "[12] from the launch configuration read at [0-9-]+ [0-9:]+";
  const auto traced = daemon.WaitForLine(fallback, 5s, mark);
  ASSERT_TRUE(traced) << daemon.Output();
  EXPECT_FALSE(daemon.WaitForLine(fallback, 0ms, *traced + 1)) << "traced more than once";
}

// The state file is stale (kept from when one instance ran) and then lost
// altogether: the daemon finds its instances among the running processes
// and starts no second copy.
TEST(DaemonRecovery, RestartedDaemonWithAStaleOrLostStateFileAdoptsWithoutDuplicates) {
  Installation installation(kConfiguration);
  const std::string state = installation.LogDir() + "/zqmd.state";
  const std::string stale = installation.Dir().File("stale.state");
  const pid_t one = StartedPid(installation, 1);
  ASSERT_TRUE(zq_test::WaitForFileMatches(state, "Sample", 1, 5s));
  std::filesystem::copy_file(state, stale);
  const pid_t two = StartedPid(installation, 2);
  const pid_t three = StartedPid(installation, 3);
  ASSERT_NE(0, one * two * three);
  EXPECT_TRUE(Contains(zq_test::ReadFile("/proc/" + std::to_string(two) + "/environ"),
                       std::string("ZQM_DAEMON=127.0.0.1:8088") + '\0'));

  for (const bool lost : {false, true}) {
    installation.RestartDaemon([&] {
      std::filesystem::remove(state);
      if (!lost) std::filesystem::copy_file(stale, state);
    });
    const auto adopted = installation.Daemon().WaitForLine(
        "Adopted Sample instance 3 \\(pid " + std::to_string(three) + "\\), found running");
    EXPECT_TRUE(adopted) << installation.Daemon().Output();
    EXPECT_EQ(
        lost ? 0u : 1u,
        static_cast<std::size_t>(
            installation.Daemon().WaitForLine("left running by an earlier daemon", 0ms) ? 1 : 0));
    const pid_t pids[] = {one, two, three};
    for (unsigned instance = 1; instance <= 3; ++instance) {
      EXPECT_EQ(pids[instance - 1], StartedPid(installation, instance))
          << "instance " << instance << (lost ? " after a lost" : " after a stale") << " file";
    }
    EXPECT_EQ(3u, installation.Servers("Sample").Count());
    EXPECT_FALSE(installation.Daemon().WaitForLine("Starting Sample", 0ms))
        << installation.Daemon().Output();
  }
}

// Writes of the state file are held back while changes keep coming; an
// orderly stop writes what was held back, so that the next daemon knows
// every instance from the file, not just by its marks.
TEST(DaemonRecovery, AnOrderlyStopWritesTheChangesHeldBack) {
  Installation installation(kConfiguration);
  const pid_t pids[] = {StartedPid(installation, 1), StartedPid(installation, 2)};
  installation.RestartDaemon();
  for (unsigned instance = 1; instance <= 2; ++instance) {
    EXPECT_TRUE(installation.Daemon().WaitForLine(
        "Adopted Sample instance " + std::to_string(instance) + " \\(pid " +
        std::to_string(pids[instance - 1]) + "\\), left running by an earlier daemon"))
        << installation.Daemon().Output();
  }
}

// "Forker" starts a helper in a session of its own, which inherits every
// mark of the instance, and names itself with a ')' and a line break.
const char* const kForkerConfiguration = R"({"Servers": {"ZQMD": {"Servers": {
  "Forker": {"Program": "sh", "Plain": true,
             "Arguments": ["-c", "printf 'x) y\\nz' > /proc/self/comm; setsid sleep 1000 & wait"]}
}}}})";

// The marked processes of Forker instance 1 (the instance and its helpers).
std::vector<zqmd::MarkedProcess> ForkerProcesses() {
  std::vector<zqmd::MarkedProcess> found;
  for (const zqmd::MarkedProcess& process : zqmd::FindMarkedProcesses("127.0.0.1:8088")) {
    if (process.name == "Forker") found.push_back(process);
  }
  return found;
}

// Starts Forker instance 1 and waits until its helper runs and it has
// renamed itself; its pid and the helper's.
std::pair<pid_t, pid_t> StartForker(Installation& installation) {
  const std::size_t before = ForkerProcesses().size();
  EXPECT_THROW(ZQM_TClient().Connect("", "Forker", 1, ZQM_TClient::kLocateOrStart),
               ZQM_ENotAnRpcServer);
  const pid_t forker = installation.PidOf("Forker", 1).value_or(0);
  EXPECT_TRUE(zq_test::Eventually([&] { return ForkerProcesses().size() == before + 2; }, 5s));
  EXPECT_TRUE(
      zq_test::WaitForFileMatches("/proc/" + std::to_string(forker) + "/comm", "x\\) y", 1, 5s));
  // Looked for until seen: while the helper execs, its environment, and
  // so its mark, cannot be read for a moment.
  pid_t helper = 0;
  EXPECT_TRUE(zq_test::Eventually(
      [&] {
        for (const zqmd::MarkedProcess& process : ForkerProcesses()) {
          const std::vector<std::string> stat = zq_test::StatFields(process.pid);
          if (process.pid != forker && stat.size() > 1 && stat[1] == std::to_string(forker))
            helper = process.pid;
        }
        return helper != 0;
      },
      5s));
  return {forker, helper};
}

// Restarts the daemon (`meanwhile` in between) and waits until every line
// of its adoptions has been traced: a start refused after them is traced
// after them.
void RestartAndSettle(Installation& installation, const std::function<void()>& meanwhile) {
  installation.RestartDaemon(meanwhile);
  CatchFrom([] { ZQM_TClient().Connect("", "Unconfigured", 1, ZQM_TClient::kLocateOrStart); });
  ASSERT_TRUE(installation.Daemon().WaitForLine("Cannot start Unconfigured instance 1", 5s))
      << installation.Daemon().Output();
}

TEST(DaemonRecovery, AdoptsTheRecordedProcessOrOneRunningItsProgramButNeverAHelper) {
  Installation installation(kForkerConfiguration);
  const std::string state = installation.LogDir() + "/zqmd.state";
  const auto [forker, helper] = StartForker(installation);
  ASSERT_TRUE(zq_test::WaitForFileMatches(state, "Forker", 1, 5s));

  // With the state file: exactly the process it names, found by its start
  // time whatever its name holds.
  RestartAndSettle(installation, [] {});
  EXPECT_TRUE(installation.Daemon().WaitForLine("Adopted Forker instance 1 \\(pid " +
                                                    std::to_string(forker) +
                                                    "\\), left running by an earlier daemon",
                                                0ms))
      << installation.Daemon().Output();
  EXPECT_EQ(forker, installation.PidOf("Forker", 1).value_or(0));
  // Its process gone, the helper of its launch is no stand-in.
  RestartAndSettle(installation, [&] {
    kill(forker, SIGKILL);
    ASSERT_TRUE(zq_test::WaitUntilGone(forker, 5s));
  });
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Forker instance 1 \\(pid " + std::to_string(forker) + "\\) has ended since", 0ms))
      << installation.Daemon().Output();
  EXPECT_FALSE(installation.Daemon().WaitForLine("Adopted Forker", 0ms))
      << installation.Daemon().Output();
  EXPECT_EQ(0u, installation.Servers("Forker").Count());
  EXPECT_TRUE(zq_test::IsRunning(helper));
  const auto [again, secondHelper] = StartForker(installation);
  EXPECT_NE(helper, again);

  // Without it: the process that runs its launch's program, not a helper.
  RestartAndSettle(installation, [&] { std::filesystem::remove(state); });
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Adopted Forker instance 1 \\(pid " + std::to_string(again) + "\\), found running", 0ms))
      << installation.Daemon().Output();
  EXPECT_TRUE(installation.Daemon().WaitForLine("Not adopting pid " + std::to_string(secondHelper) +
                                                    ", marked as Forker instance 1: it runs ",
                                                0ms))
      << installation.Daemon().Output();
  EXPECT_EQ(again, installation.PidOf("Forker", 1).value_or(0));
  // Known as the plain program it is: a start is answered at once, not
  // held until its start time-out for a port it never opens.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_THROW(ZQM_TClient().Connect("", "Forker", 1, ZQM_TClient::kLocateOrStart),
               ZQM_ENotAnRpcServer);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_EQ(again, installation.PidOf("Forker", 1).value_or(0));
  RestartAndSettle(installation, [&] {
    std::filesystem::remove(state);
    kill(again, SIGKILL);
    ASSERT_TRUE(zq_test::WaitUntilGone(again, 5s));
  });
  EXPECT_FALSE(installation.Daemon().WaitForLine("Adopted Forker", 0ms))
      << installation.Daemon().Output();
  EXPECT_EQ(0u, installation.Servers("Forker").Count());
}

TEST(DaemonRecovery, RegistrationCannotDisplaceAnInstanceOrNameAStranger) {
  Installation installation(kConfiguration);
  const pid_t sample = StartedPid(installation, 1);
  ASSERT_NE(0, sample);
  const auto samplePort = static_cast<unsigned short>(Field<ZQ_TUInt32>(
      installation.Servers("Sample")[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__), "Port"));
  // A port this test process really listens on.
  const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(listening, 1));
  ASSERT_EQ(0, getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length));
  const unsigned short mine = ntohs(address.sin_port);

  const auto displace = CatchFrom([&] { Register("Sample", 1, getpid(), mine); });
  EXPECT_TRUE(Contains(displace.message, "already running")) << displace.message;
  // A process registers itself only: not init, not sshd, not a fellow server.
  const auto init = CatchFrom([&] { Register("Free", 1, 1, mine); });
  EXPECT_EQ("ZQM_EAccessDenied", init.type) << init.message;
  EXPECT_TRUE(Contains(init.message, "may register itself only, not process 1")) << init.message;
  const auto sampleItself = CatchFrom([&] { Register("Free", 1, sample, samplePort); });
  EXPECT_EQ("ZQM_EAccessDenied", sampleItself.type) << sampleItself.message;
  const auto notHeld = CatchFrom([&] { Register("Free", 1, getpid(), samplePort); });
  EXPECT_TRUE(Contains(notHeld.message, "does not listen on port " + std::to_string(samplePort)))
      << notHeld.message;
  EXPECT_TRUE(installation.Daemon().WaitForLine("Refused to register Sample instance 1 \\(pid " +
                                                std::to_string(getpid()) +
                                                "\\): .*already running"))
      << installation.Daemon().Output();
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "Refused: administrator \\(uid 0, pid [0-9]+\\) may not call \"Register\" of the "
      "middleware daemon: registering Free instance 1: process [0-9]+ may register itself only"))
      << installation.Daemon().Output();

  EXPECT_EQ(sample, installation.PidOf("Sample", 1).value_or(0));
  EXPECT_EQ(0u, installation.Servers("Free").Count());
  EXPECT_TRUE(Register("Free", 1, getpid(), mine).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  EXPECT_EQ(getpid(), installation.PidOf("Free", 1).value_or(0));
  close(listening);
}

}  // namespace
