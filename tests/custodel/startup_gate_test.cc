// The start-up gate inside the test process: watchers started one at a
// time in list order against a stand-in daemon, the time-out and the delay
// after start-up, the shutdown event, and a thread that cannot be created.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "custodel/custodel_test_support.h"
#include "custodel/stand_in_daemon.h"
#include "platform/kernel_faults.h"
#include "support/child_process.h"

namespace {

using namespace custodel_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Counts thread creations of the kernel layer and fails the chosen one.
std::atomic<int> gThreadCreations{0};
int gFailingCreation = 0;

int CountingPthreadCreate(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* arg) {
  if (++gThreadCreations == gFailingCreation) return EAGAIN;
  return zq_platform::kDefaultSystemCalls.pthread_create(thread, attr, start, arg);
}

class CountedThreadCreation {
 public:
  explicit CountedThreadCreation(int failing) {
    gThreadCreations = 0;
    gFailingCreation = failing;
    zq_platform::g_system_calls.pthread_create = &CountingPthreadCreate;
  }
  ~CountedThreadCreation() {
    zq_platform::g_system_calls.pthread_create = zq_platform::kDefaultSystemCalls.pthread_create;
  }
};

// The stand-in daemon lists every server but those in `unlisted` as
// instance 1 of a live process, so that their watchers find them running.
class StartupGate : public InProcessService {
 protected:
  ZQ_TAny Listing(const std::string& name) {
    if (unlisted_.count(name) != 0) return ZQ_TAny(ZQ_TList());
    ZQ_TList list;
    for (std::uint16_t instance : {1, 2}) {
      ZQ_TDict entry;
      entry.Set("Name", ZQ_TAny(ZQ_TString(name)));
      entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(instance)));
      entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(live_.Pid()))));
      list.Append(ZQ_TAny(entry));
    }
    return ZQ_TAny(list);
  }

  // Index of the service line `text`; fails the test when it is missing.
  std::size_t Index(const std::string& text) {
    const auto index = WaitForTrace(text, 0s);
    EXPECT_TRUE(index) << "no line \"" << text << "\" in "
                       << ::testing::PrintToString(ServiceTraceTexts());
    return index.value_or(0);
  }
  TraceLine Line(const std::string& text) { return TraceLines().at(Index(text)); }

  // "<method> <name>[ <instance>]" of each request the daemon received.
  std::vector<std::string> DaemonCalls() const {
    std::vector<std::string> calls;
    for (const ZQ_TDict& request : daemon_.Requests()) {
      std::string call = zq_test::MethodOf(request) + " " +
                         request["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text();
      if (request.Contains("P2")) {
        call += " " + std::to_string(request["P2"].DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__));
      }
      calls.push_back(call);
    }
    return calls;
  }

  std::set<std::string> unlisted_;
  zq_test::ChildProcess live_{{"/bin/sleep", "60"}};
  StandInDaemon daemon_{[this](const std::string& name) { return Listing(name); }};
};

TEST_F(StartupGate, NothingToStartTracesNothingAndStartsNoThread) {
  CountedThreadCreation counted(0);
  StartMonitors();
  AddMonitor("Busy", 1, 1000, 1);
  const HANDLE standInThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gMonitorList->threadHandle = reinterpret_cast<std::uintptr_t>(standInThread);
  StartTraceCapture();

  const auto before = Clock::now();
  StartMonitors();
  EXPECT_LT(Clock::now() - before, 1s);
  EXPECT_THAT(TraceLines(), IsEmpty());
  EXPECT_EQ(0, gThreadCreations);

  gMonitorList->threadHandle = 0;
  CloseHandle(standInThread);
}

TEST_F(StartupGate, StartsInListOrderAndPausesForEachDelay) {
  AddMonitor("Third", 3, 0, 2);
  AddMonitor("First", 1, 1500, 1);
  AddMonitor("Second", 2, 999, 1);
  StartMonitors();

  EXPECT_THAT(MonitorList(), ElementsAre("First 1", "Second 1", "Third 2", "Third 1"));
  for (ServerMonitor* monitor = gMonitorList; monitor != nullptr; monitor = monitor->next) {
    EXPECT_NE(0u, monitor->threadHandle);
    EXPECT_TRUE(IsSet(monitor->runningEvent)) << monitor->serverName.Text() << monitor->instance;
  }
  // A watcher is started only after the previous one's delay has passed.
  EXPECT_LT(Index(text::RequiresSeconds("First", 1)), Index(text::StartingMonitor("Second")));
  EXPECT_GE(Between(Line(text::RequiresSeconds("First", 1)), Line(text::StartingMonitor("Second"))),
            1500ms);
  EXPECT_LT(Index(text::RequiresSeconds("Second", 0)), Index(text::StartingServer("Third", 2)));
  EXPECT_GE(
      Between(Line(text::RequiresSeconds("Second", 0)), Line(text::StartingServer("Third", 2))),
      999ms);
  EXPECT_FALSE(WaitForTrace(text::RequiresSeconds("Third", 0), 0s));
  // One watcher at a time: each asks the daemon for its instance, and the
  // next starts only once that instance was found running.
  EXPECT_THAT(DaemonCalls(),
              ElementsAre("Locate First 1", "Servers First", "Locate Second 1", "Servers Second",
                          "Locate Third 2", "Servers Third", "Locate Third 1", "Servers Third"));
  for (const TraceLine& line : TraceLines()) {
    if (line.text.find("seconds to startup") != std::string::npos) {
      EXPECT_EQ(0, line.level);
    }
  }
}

TEST_F(StartupGate, AnInstanceThatDoesNotRunHoldsTheNextForTenSecondsThenItsDelay) {
  unlisted_ = {"Stuck"};
  AddMonitor("Stuck", 1, 1500, 1);
  AddMonitor("Next", 2, 0, 1);
  const auto before = Clock::now();
  StartMonitors();

  const TraceLine timedOut = Line(text::DidNotStart("Stuck"));
  EXPECT_EQ(0, timedOut.level);
  EXPECT_GE(timedOut.at - before, 10s);
  EXPECT_LT(Index(text::DidNotStart("Stuck")), Index(text::RequiresSeconds("Stuck", 1)));
  EXPECT_GE(Between(timedOut, Line(text::StartingMonitor("Next"))), 1500ms);
  EXPECT_TRUE(IsSet(FindMonitor("Next", 1)->runningEvent));
  EXPECT_FALSE(IsSet(FindMonitor("Stuck", 1)->runningEvent));
}

TEST_F(StartupGate, ShutdownEventEndsThePassAfterTheFirstStart) {
  unlisted_ = {"First", "Second"};
  AddMonitor("First", 1, 1500, 1);
  AddMonitor("Second", 2, 0, 1);
  SetEvent(gShutdownEvent);

  const auto before = Clock::now();
  StartMonitors();
  EXPECT_LT(Clock::now() - before, 5s);
  ServerMonitor& first = *FindMonitor("First", 1);
  EXPECT_NE(0u, first.threadHandle);
  EXPECT_EQ(0u, FindMonitor("Second", 1)->threadHandle);
  // The first watcher sees the shutdown event after its lookup.
  ASSERT_EQ(WAIT_OBJECT_0,
            WaitForSingleObject(reinterpret_cast<HANDLE>(first.threadHandle), 20000));
  EXPECT_THAT(ServiceTraceTexts(),
              ElementsAre(text::AddMonitor("First", 1, 1500), text::AddMonitor("Second", 2, 0),
                          text::StartingMonitor("First"), text::StartingServer("First", 1),
                          text::NoConnection("First", 1), text::NotRunning("First", 1),
                          text::StoppedMonitoring("First", 1)));
}

TEST_F(StartupGate, AMonitorWithoutAThreadIsDroppedAndTheNextStarted) {
  AddMonitor("A", 1, 0, 1);
  AddMonitor("B", 2, 0, 1);
  AddMonitor("C", 3, 0, 1);
  const ServerMonitor& dropped = *FindMonitor("B", 1);
  const std::vector<HANDLE> droppedEvents = {dropped.stopEvent, dropped.startedEvent,
                                             dropped.runningEvent};
  StartTraceCapture();
  {
    CountedThreadCreation secondFails(2);
    StartMonitors();
    EXPECT_EQ(3, gThreadCreations);
  }

  EXPECT_THAT(MonitorList(), ElementsAre("A 1", "C 1"));
  EXPECT_EQ(0u, LinesNaming("B"));
  for (HANDLE event : droppedEvents)
    EXPECT_TRUE(IsClosed(event));
  ServerMonitor& c = *FindMonitor("C", 1);
  EXPECT_NE(0u, c.threadHandle);
  EXPECT_TRUE(IsSet(c.runningEvent));
}

}  // namespace
