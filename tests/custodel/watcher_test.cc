// The watcher thread inside the test process: against a stand-in daemon
// whose "Servers" answers are crafted, and against a real installation whose
// daemon starts sample_server instances.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "DEVUror/zqm_shutdown.h"
#include "custodel/custodel_test_support.h"
#include "custodel/stand_in_daemon.h"
#include "support/child_process.h"
#include "support/installation.h"

namespace {

using namespace custodel_test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using zq_test::ChildProcess;

// Processes the crafted answers name: one that runs for the test's length and
// one that has ended.
struct Pids {
  std::uint32_t live;
  std::uint32_t ended;
};

struct ListingCase {
  const char* name;
  std::function<ZQ_TAny(const Pids&)> answer;
  bool running;
  // The failed lookup as PrintOn writes its exception; empty when the lookup
  // does not fail.
  std::function<std::string(const Pids&)> printedFailure;
};

const ListingCase kListingCases[] = {
    {"FirstMatchingElementDecides",
     [](const Pids& p) {
       return ListOf({ListedInstance(Instance16(2), p.ended), ListedInstance(Instance16(1), p.live),
                      ListedInstance(Instance16(1), p.ended)});
     },
     true, nullptr},
    {"FirstMatchingElementDecidesEvenWhenALaterOneWouldRun",
     [](const Pids& p) {
       return ListOf(
           {ListedInstance(Instance16(1), p.ended), ListedInstance(Instance16(1), p.live)});
     },
     false,
     [](const Pids& p) {
       return "ZQ_EException at Custodel/Private/Source/custodel:151 (data: " +
              std::to_string(p.ended) + ")";
     }},
    {"ElementWithoutInstanceIsSkipped",
     [](const Pids& p) {
       return ListOf(
           {ListedInstance(std::nullopt, p.ended), ListedInstance(Instance16(1), p.live)});
     },
     true, nullptr},
    {"MatchingElementWithoutPidMeansNotRunning",
     [](const Pids& p) {
       return ListOf(
           {ListedInstance(Instance16(1), std::nullopt), ListedInstance(Instance16(1), p.live)});
     },
     false, nullptr},
    {"InstanceOfAnotherClassFailsTheCast",
     [](const Pids& p) { return ListOf({ListedInstance(ZQ_TAny(ZQ_TUInt32(1)), p.live)}); }, false,
     [](const Pids&) -> std::string {
       return "ZQ_EBadCast at Custodel/Private/Source/custodel:139: bad cast: expected ZQ_TUInt16, "
              "found ZQ_TUInt32 at Custodel/Private/Source/custodel:139";
     }},
    {"AnswerThatIsNotAList", [](const Pids&) { return ZQ_TAny("Sample"); }, false,
     [](const Pids&) -> std::string {
       return "ZQ_EBadCast at Custodel/Private/Source/custodel:135: bad cast: expected ZQ_TList, "
              "found ZQ_TString at Custodel/Private/Source/custodel:135";
     }},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ListingCase& scenario, std::ostream* out) {
  *out << scenario.name;
}

class CraftedListing : public InProcessService, public ::testing::WithParamInterface<ListingCase> {
 protected:
  void SetUp() override {
    InProcessService::SetUp();
    ASSERT_TRUE(ended_.WaitForExit(10s).has_value());
    pids_ = {static_cast<std::uint32_t>(live_.Pid()), static_cast<std::uint32_t>(ended_.Pid())};
  }

  ChildProcess live_{{"/bin/sleep", "60"}};
  ChildProcess ended_{{"/bin/true"}};
  Pids pids_{};
  StandInDaemon daemon_{[this](const std::string&) { return GetParam().answer(pids_); }};
};

TEST_P(CraftedListing, DecidesWhetherTheInstanceRuns) {
  const ListingCase& scenario = GetParam();
  AddMonitor("Sample", 4, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  StartWatcher(monitor);

  const std::string outcome =
      scenario.running ? text::IsRunning("Sample", 1) : text::NotRunning("Sample", 1);
  ASSERT_TRUE(WaitForTrace(outcome, 20s)) << ::testing::PrintToString(ServiceTraceTexts());
  std::vector<std::string> expected = {
      text::AddMonitor("Sample", 4, 0), text::StartingMonitor("Sample"),
      text::StartingServer("Sample", 1), text::NoConnection("Sample", 1)};
  if (scenario.printedFailure) {
    expected.push_back(text::LookupFailed("Sample", scenario.printedFailure(pids_)));
  }
  expected.push_back(outcome);
  // The watcher goes on after the outcome (a pause, or a wait on the
  // process): only what led to it counts.
  std::vector<std::string> traced = ServiceTraceTexts();
  traced.resize(std::min(traced.size(), expected.size()));
  EXPECT_THAT(traced, ElementsAreArray(expected));
  for (const TraceLine& line : TraceLines()) {
    if (line.text.rfind("Add monitor", 0) != 0) {
      EXPECT_EQ(0, line.level) << line.text;
    }
  }
  EXPECT_EQ(scenario.running, IsSet(monitor.runningEvent));
  EXPECT_EQ(scenario.running, monitor.processHandle != nullptr);

  // The start attempt asks the daemon to start the instance if need be.
  const std::vector<ZQ_TDict> locates = daemon_.Requests("Locate");
  ASSERT_FALSE(locates.empty());
  EXPECT_EQ(ZQ_TString("Sample"), locates[0]["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  EXPECT_EQ(1, locates[0]["P2"].DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__));
  EXPECT_EQ(0u, locates[0]["P3"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
  EXPECT_EQ(ZQ_TString("Sample"),
            daemon_.Requests("Servers").at(0)["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

INSTANTIATE_TEST_SUITE_P(Watcher, CraftedListing, ::testing::ValuesIn(kListingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The daemon lists the instance (as a live process) only once `listed_` is
// set.
class WatcherStops : public InProcessService {
 protected:
  void TearDown() override {
    daemon_.ReleaseLocate();
    InProcessService::TearDown();
  }

  std::atomic<bool> listed_{false};
  ChildProcess live_{{"/bin/sleep", "60"}};
  StandInDaemon daemon_{[this](const std::string&) {
    const auto pid = static_cast<std::uint32_t>(live_.Pid());
    return listed_ ? ListOf({ListedInstance(Instance16(1), pid)}) : ListOf({});
  }};
};

TEST_F(WatcherStops, StopEventEndsTheNotRunningPauseAtOnce) {
  AddMonitor("Sample", 4, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  StartWatcher(monitor);
  ASSERT_TRUE(WaitForTrace(text::NotRunning("Sample", 1), 20s));

  const auto before = Clock::now();
  RemoveMonitor("Sample");
  EXPECT_LT(Clock::now() - before, 3s) << "the watcher sat out its pause";
  EXPECT_EQ(1u, daemon_.Requests("Servers").size());
  EXPECT_TRUE(WaitForTrace(text::StoppedMonitoring("Sample", 1), 0s));
}

TEST_F(WatcherStops, StopEventEndsACallTheDaemonHoldsAtOnce) {
  daemon_.HoldLocate();
  AddMonitor("Sample", 4, 0, 1);
  StartWatcher(*gMonitorList);
  ASSERT_TRUE(daemon_.WaitForHeldLocate(20s));

  const auto before = Clock::now();
  RemoveMonitor("Sample");
  EXPECT_LT(Clock::now() - before, 3s) << "the watcher waited for the daemon's answer";
  EXPECT_TRUE(WaitForTrace(text::StoppedMonitoring("Sample", 1), 0s));
}

TEST_F(WatcherStops, ShutdownEventEndsTheWaitOnARunningInstance) {
  listed_ = true;
  AddMonitor("Sample", 4, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  StartWatcher(monitor);
  ASSERT_TRUE(WaitForTrace(text::IsRunning("Sample", 1), 20s));
  const HANDLE process = monitor.processHandle;

  SetEvent(gShutdownEvent);
  ASSERT_EQ(WAIT_OBJECT_0,
            WaitForSingleObject(reinterpret_cast<HANDLE>(monitor.threadHandle), 10000));
  EXPECT_TRUE(WaitForTrace(text::StoppedMonitoring("Sample", 1), 0s));
  EXPECT_EQ(1u, daemon_.Requests("Locate").size())
      << "the watcher tried to start the instance again";
  // The handle stays with the monitor until it is removed.
  EXPECT_EQ(process, monitor.processHandle);
  EXPECT_FALSE(IsClosed(process));
}

TEST_F(WatcherStops, ShutdownDuringAStartAttemptEndsTheThreadAfterItsLookup) {
  daemon_.HoldLocate();
  AddMonitor("Sample", 4, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  StartWatcher(monitor);
  ASSERT_TRUE(daemon_.WaitForHeldLocate(20s));

  SetEvent(gShutdownEvent);
  daemon_.ReleaseLocate();
  const auto released = Clock::now();
  const HANDLE thread = reinterpret_cast<HANDLE>(monitor.threadHandle);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 20000));
  EXPECT_LT(Clock::now() - released, 3s);
  EXPECT_EQ(1u, daemon_.Requests("Servers").size()) << "the lookup after the attempt was skipped";
  EXPECT_THAT(ServiceTraceTexts(),
              ElementsAre(text::AddMonitor("Sample", 4, 0), text::StartingMonitor("Sample"),
                          text::StartingServer("Sample", 1), text::NoConnection("Sample", 1),
                          text::NotRunning("Sample", 1), text::StoppedMonitoring("Sample", 1)));
}

TEST_F(WatcherStops, ShutdownOfTheProcessSetsTheShutdownEventAndSkipsTheLookup) {
  AddMonitor("Sample", 4, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  zqm_shutdown::Begin();  // as SIGTERM does once the service's server is bound
  StartWatcher(monitor);

  const HANDLE thread = reinterpret_cast<HANDLE>(monitor.threadHandle);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 20000));
  EXPECT_TRUE(IsSet(gShutdownEvent));
  EXPECT_EQ(0u, daemon_.RequestCount());
  EXPECT_THAT(ServiceTraceTexts(),
              ElementsAre(text::AddMonitor("Sample", 4, 0), text::StartingMonitor("Sample"),
                          text::StartingServer("Sample", 1), text::StoppedMonitoring("Sample", 1)));
}

// A daemon whose first "Locate" answer is ZQM_EShutdownInProgress, a class
// that only this process's runtime may raise: from a peer it is an ordinary
// failure, and the watcher goes on supervising.
TEST_F(InProcessService, APeersShutdownInProgressIsAnOrdinaryFailure) {
  ChildProcess live({"/bin/sleep", "60"});
  std::atomic<bool> listed{true};
  std::atomic<int> locates{0};
  zq_test::FakeServer daemon(8088, "ZQMD", 0, [&](const ZQ_TDict& request) -> ZQ_TAny {
    if (zq_test::MethodOf(request) == "Servers") {
      const auto pid = static_cast<std::uint32_t>(live.Pid());
      return listed ? ListOf({ListedInstance(Instance16(1), pid)}) : ListOf({});
    }
    if (locates++ == 0) {
      ZQM_EShutdownInProgress going(ZQ_TString("the daemon is going down"));
      going.ZQ_Data() = ZQ_TAny(7u);
      ZQ_THROW_AT(going, __FILE__, __LINE__);
    }
    ZQM_ENoSuchServer none(ZQ_TString("starts nothing"));
    ZQ_THROW_AT(none, __FILE__, __LINE__);
  });
  AddMonitor("Sample", 4, 0, 1);
  StartWatcher(*gMonitorList);
  const auto running = WaitForTrace(text::IsRunning("Sample", 1), 20s);
  ASSERT_TRUE(running) << ::testing::PrintToString(ServiceTraceTexts());
  EXPECT_TRUE(WaitForTrace(text::NoConnection("Sample", 1), 0s));
  EXPECT_FALSE(IsSet(gShutdownEvent));
  EXPECT_FALSE(zqm_shutdown::InProgress());

  // Still supervised: the end of its process is seen and a start attempted.
  listed = false;
  live.Signal(SIGKILL);
  EXPECT_TRUE(WaitForTrace(text::HasDied("Sample", 1), 10s, *running));
  EXPECT_TRUE(WaitForTrace(text::NotRunning("Sample", 1), 10s, *running));
  EXPECT_FALSE(WaitForTrace(text::StoppedMonitoring("Sample", 1), 0s));
  EXPECT_EQ(2, locates.load());

  // What the caller sees: the peer's message and data, not its class.
  locates = 0;
  ZQM_TClient client;
  try {
    client.Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
    ADD_FAILURE() << "Connect succeeded";
  } catch (const ZQM_EShutdownInProgress&) {
    ADD_FAILURE() << "a peer's ZQM_EShutdownInProgress arrived as such";
  } catch (const ZQM_EException& failure) {
    EXPECT_STREQ("ZQM_EException", failure.ClassName());
    EXPECT_THAT(failure.ZQ_Message().Text(),
                ::testing::HasSubstr(
                    "ZQMD#0 at localhost:8088 answered ZQM_EShutdownInProgress: the daemon is "
                    "going down"));
    ASSERT_NE(nullptr, failure.ZQ_Data().As<ZQ_TUInt32>());
    EXPECT_EQ(7u, failure.ZQ_Data().As<ZQ_TUInt32>()->Value());
  }
}

// A real daemon and configuration server; the daemon starts sample_server
// when the watcher asks for the instance.
constexpr const char* kSampleConfiguration = R"({
  "Servers": {"ZQMD": {"Servers": {
    "Sample": {"Program": "@BIN@/sample_server"}
  }}}
})";

class WatcherWithDaemon : public InProcessService {
 protected:
  zq_test::Installation installation_{kSampleConfiguration};
};

TEST_F(WatcherWithDaemon, StartsTheInstanceRestartsItWhenKilledAndLeavesItRunningWhenStopped) {
  AddMonitor("Sample", 4, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  StartWatcher(monitor);
  const auto first = WaitForTrace(text::IsRunning("Sample", 1), 20s);
  ASSERT_TRUE(first) << ::testing::PrintToString(ServiceTraceTexts());
  // The running event stands for the open handle: the handle itself is the
  // watcher's while it runs.
  EXPECT_TRUE(IsSet(monitor.runningEvent));
  const std::optional<pid_t> killed = installation_.PidOf("Sample", 1);
  ASSERT_TRUE(killed);

  const auto killedAt = Clock::now();
  ASSERT_EQ(0, kill(*killed, SIGKILL));
  const auto died = WaitForTrace(text::HasDied("Sample", 1), 10s, *first + 1);
  ASSERT_TRUE(died);
  const auto again = WaitForTrace(text::IsRunning("Sample", 1), 20s, *died + 1);
  ASSERT_TRUE(again);
  EXPECT_LT(TraceLines().at(*again).at - killedAt, 5s) << "a dead instance must be started at once";
  const std::optional<pid_t> restarted = installation_.PidOf("Sample", 1);
  ASSERT_TRUE(restarted);
  EXPECT_NE(*killed, *restarted);

  // Stopping the watcher leaves the instance running and its handle open.
  const HANDLE process = monitor.processHandle;
  SetEvent(monitor.stopEvent);
  ASSERT_EQ(WAIT_OBJECT_0,
            WaitForSingleObject(reinterpret_cast<HANDLE>(monitor.threadHandle), 10000));
  EXPECT_TRUE(WaitForTrace(text::StoppedMonitoring("Sample", 1), 0s, *again));
  EXPECT_EQ(process, monitor.processHandle);
  EXPECT_FALSE(IsClosed(process));
  RemoveMonitor("Sample");
  EXPECT_TRUE(IsClosed(process));
  EXPECT_EQ(0, kill(*restarted, 0));
  EXPECT_EQ(restarted, installation_.PidOf("Sample", 1));
}

}  // namespace
