// The monitor registry on its own: the sorted, doubly linked list that
// AddMonitor builds and RemoveMonitor takes apart, the trace lines of both,
// and how removal treats watcher threads in each of their states.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "custodel/custodel_test_support.h"

namespace {

using namespace custodel_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Registry : public InProcessService {};

// The registry's trace texts, each checked to be written at level 1.
std::vector<std::string> RegistryLines() {
  std::vector<std::string> lines;
  for (const TraceLine& line : TraceLines()) {
    if (line.text.rfind("Add monitor", 0) == 0 || line.text.rfind("Remove monitor", 0) == 0) {
      EXPECT_EQ(1, line.level) << line.text;
      lines.push_back(line.text);
    }
  }
  return lines;
}

TEST_F(Registry, NewestOfEqualOrdersStandsFirstAndOrdersSortAscending) {
  AddMonitor("Alpha", 5, 1500, 3);
  EXPECT_THAT(MonitorList(), ElementsAre("Alpha 3", "Alpha 2", "Alpha 1"));
  AddMonitor("Beta", 5, 0, 1);
  EXPECT_THAT(MonitorList(), ElementsAre("Beta 1", "Alpha 3", "Alpha 2", "Alpha 1"));
  AddMonitor("Head", 1, 0, 1);
  AddMonitor("Tail", 9, 0, 1);
  EXPECT_THAT(MonitorList(),
              ElementsAre("Head 1", "Beta 1", "Alpha 3", "Alpha 2", "Alpha 1", "Tail 1"));
  EXPECT_THAT(RegistryLines(),
              ElementsAre(text::AddMonitor("Alpha", 5, 1500), text::AddMonitor("Beta", 5, 0),
                          text::AddMonitor("Head", 1, 0), text::AddMonitor("Tail", 9, 0)));
}

TEST_F(Registry, OrdersCompareAsUnsigned) {
  AddMonitor("Max", 4294967295u, 0, 1);
  AddMonitor("Upper", 2147483648u, 0, 1);
  AddMonitor("Zero", 0, 0, 1);
  AddMonitor("Low", 7, 0, 1);
  EXPECT_THAT(MonitorList(), ElementsAre("Zero 1", "Low 1", "Upper 1", "Max 1"));
  EXPECT_EQ(text::AddMonitor("Max", 4294967295u, 0), RegistryLines().at(0));
}

TEST_F(Registry, EachNewMonitorHasThreeFreshManualResetEventsAndNoThread) {
  AddMonitor("Alpha", 3, 250, 2);
  AddMonitor("Beta", 3, 0, 1);
  std::set<HANDLE> events;
  for (unsigned instance : {1u, 2u}) {
    SCOPED_TRACE("Alpha " + std::to_string(instance));
    ServerMonitor* monitor = FindMonitor("Alpha", instance);
    ASSERT_NE(nullptr, monitor);
    EXPECT_EQ(ZQ_TString("Alpha"), monitor->serverName);
    EXPECT_EQ(3u, monitor->startupOrder);
    EXPECT_EQ(250u, monitor->delayAfterStartup);
    EXPECT_EQ(nullptr, monitor->processHandle);
    EXPECT_EQ(0u, monitor->threadHandle);
    EXPECT_EQ(0u, monitor->threadId);
    for (HANDLE event : {monitor->stopEvent, monitor->startedEvent, monitor->runningEvent}) {
      ASSERT_NE(nullptr, event);
      EXPECT_FALSE(IsSet(event));
      // Manual reset: a wait does not consume the signal.
      ASSERT_TRUE(SetEvent(event));
      EXPECT_TRUE(IsSet(event));
      EXPECT_TRUE(IsSet(event));
      ResetEvent(event);
      events.insert(event);
    }
  }
  const ServerMonitor* beta = FindMonitor("Beta", 1);
  ASSERT_NE(nullptr, beta);
  events.insert({beta->stopEvent, beta->startedEvent, beta->runningEvent});
  EXPECT_EQ(9u, events.size()) << "events shared between monitors";
}

TEST_F(Registry, KnownNameOrNoInstancesAddsNothingButIsTraced) {
  AddMonitor("Alpha", 5, 0, 2);
  const ServerMonitor* const head = gMonitorList;
  AddMonitor("Alpha", 1, 700, 4);
  EXPECT_THAT(MonitorList(), ElementsAre("Alpha 2", "Alpha 1"));
  EXPECT_EQ(head, gMonitorList);
  EXPECT_EQ(5u, gMonitorList->startupOrder);
  EXPECT_EQ(0u, gMonitorList->delayAfterStartup);

  AddMonitor("Idle", 3, 0, 0);
  EXPECT_THAT(MonitorList(), ElementsAre("Alpha 2", "Alpha 1"));
  // Nothing was registered under the name, so a later pass may add it.
  AddMonitor("Idle", 3, 0, 1);
  EXPECT_THAT(MonitorList(), ElementsAre("Idle 1", "Alpha 2", "Alpha 1"));

  EXPECT_THAT(RegistryLines(),
              ElementsAre(text::AddMonitor("Alpha", 5, 0), text::AddMonitor("Alpha", 1, 700),
                          text::AddMonitor("Idle", 3, 0), text::AddMonitor("Idle", 3, 0)));
}

TEST_F(Registry, RemovingAnUnknownNameChangesNothingSilently) {
  AddMonitor("Alpha", 5, 0, 1);
  RemoveMonitor("Beta");
  RemoveMonitor("alpha");  // names are case-sensitive
  EXPECT_THAT(MonitorList(), ElementsAre("Alpha 1"));
  EXPECT_THAT(RegistryLines(), ElementsAre(text::AddMonitor("Alpha", 5, 0)));
}

TEST_F(Registry, RemovesEveryInstanceOfTheNameInListOrderAndClosesTheirEvents) {
  AddMonitor("Front", 1, 0, 1);
  AddMonitor("Alpha", 5, 0, 3);
  AddMonitor("Back", 9, 0, 1);
  std::vector<HANDLE> events;
  for (ServerMonitor* m = gMonitorList; m != nullptr; m = m->next) {
    if (m->serverName == "Alpha")
      events.insert(events.end(), {m->stopEvent, m->startedEvent, m->runningEvent});
  }
  StartTraceCapture();

  RemoveMonitor("Alpha");

  EXPECT_THAT(MonitorList(), ElementsAre("Front 1", "Back 1"));
  EXPECT_THAT(RegistryLines(),
              ElementsAre(text::RemoveMonitor("Alpha", 3), text::RemoveMonitor("Alpha", 2),
                          text::RemoveMonitor("Alpha", 1)));
  for (HANDLE event : events)
    EXPECT_TRUE(IsClosed(event));
  // The neighbours were relinked, not just the head moved.
  RemoveMonitor("Back");
  EXPECT_THAT(MonitorList(), ElementsAre("Front 1"));
}

TEST_F(Registry, RemovingByTheHeadsOwnNameFieldRemovesThatNameOnly) {
  AddMonitor("Alpha", 5, 0, 2);
  AddMonitor("Beta", 5, 0, 2);
  AddMonitor("Betamax", 6, 0, 1);
  AddMonitor("Bet", 7, 0, 1);
  ASSERT_THAT(MonitorList(),
              ElementsAre("Beta 2", "Beta 1", "Alpha 2", "Alpha 1", "Betamax 1", "Bet 1"));
  // The record that holds the name is the first to be freed.
  RemoveMonitor(gMonitorList->serverName);
  EXPECT_THAT(MonitorList(), ElementsAre("Alpha 2", "Alpha 1", "Betamax 1", "Bet 1"));
}

// Stands in for a watcher: announces itself, then waits (bounded) to be
// told to stop.
std::atomic<bool> gStandInStopped{false};
unsigned StandInWatcher(void* argument) {
  auto& monitor = *static_cast<ServerMonitor*>(argument);
  SetEvent(monitor.startedEvent);
  gStandInStopped = WaitForSingleObject(monitor.stopEvent, 30000) == WAIT_OBJECT_0;
  return 0;
}

unsigned ReturnAtOnce(void*) {
  return 0;
}

TEST_F(Registry, RemovalStopsARunningWatcherAndWaitsForItsEnd) {
  AddMonitor("Alpha", 5, 0, 1);
  ServerMonitor& monitor = *gMonitorList;
  monitor.threadHandle =
      _beginthreadex(nullptr, 0, &StandInWatcher, &monitor, 0, &monitor.threadId);
  ASSERT_NE(0u, monitor.threadHandle);
  const HANDLE thread = reinterpret_cast<HANDLE>(monitor.threadHandle);
  const HANDLE stop = monitor.stopEvent;

  EXPECT_TRUE(FinishesWithin(
      20s, [] { RemoveMonitor("Alpha"); }, [stop] { SetEvent(stop); }))
      << "the watcher was not told to stop";
  EXPECT_TRUE(gStandInStopped) << "RemoveMonitor returned before the watcher had ended";
  EXPECT_TRUE(IsClosed(thread));
  EXPECT_THAT(MonitorList(), IsEmpty());
}

TEST_F(Registry, RemovalDoesNotWaitForThreadsThatNeverRanOrHaveEnded) {
  AddMonitor("Alpha", 5, 0, 2);
  ServerMonitor& ended = *FindMonitor("Alpha", 1);  // its thread returned without announcing itself
  ended.threadHandle = _beginthreadex(nullptr, 0, &ReturnAtOnce, nullptr, 0, &ended.threadId);
  ASSERT_NE(0u, ended.threadHandle);
  const HANDLE thread = reinterpret_cast<HANDLE>(ended.threadHandle);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  const HANDLE started[] = {FindMonitor("Alpha", 2)->startedEvent, ended.startedEvent};

  EXPECT_TRUE(FinishesWithin(
      5s, [] { RemoveMonitor("Alpha"); },
      [started] {
        for (HANDLE event : started)
          SetEvent(event);
      }))
      << "RemoveMonitor waited for a watcher that never announced itself";
  EXPECT_TRUE(IsClosed(thread));
  EXPECT_THAT(MonitorList(), IsEmpty());
}

TEST_F(Registry, UnreadableThreadStateThrowsLeavesThatMonitorAndReleasesTheLock) {
  AddMonitor("Other", 1, 0, 1);
  AddMonitor("Gamma", 5, 0, 3);
  ServerMonitor& broken = *FindMonitor("Gamma", 2);
  const HANDLE notAThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  broken.threadHandle = reinterpret_cast<std::uintptr_t>(notAThread);
  StartTraceCapture();

  try {
    RemoveMonitor("Gamma");
    ADD_FAILURE() << "no exception";
  } catch (const ZQ_EException& failure) {
    EXPECT_STREQ("ZQ_EException", failure.ClassName());
    EXPECT_EQ(ZQ_TString(""), failure.ZQ_Message());
    EXPECT_EQ(ZQ_TString("Gamma"), failure.ZQ_Data().DynamicCast<ZQ_TString>(__FILE__, __LINE__));
    EXPECT_EQ(ZQ_TString("Custodel/Private/Source/custodel"), failure.ZQ_ExceptionFile());
    EXPECT_EQ(415u, failure.ZQ_ExceptionLine());
  }

  EXPECT_THAT(MonitorList(), ElementsAre("Other 1", "Gamma 2", "Gamma 1"));
  EXPECT_THAT(RegistryLines(),
              ElementsAre(text::RemoveMonitor("Gamma", 3), text::RemoveMonitor("Gamma", 2)));
  EXPECT_EQ(&broken, FindMonitor("Gamma", 2));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(notAThread), broken.threadHandle);
  for (HANDLE event : {broken.stopEvent, broken.startedEvent, broken.runningEvent}) {
    EXPECT_FALSE(IsClosed(event));
    EXPECT_FALSE(IsSet(event));
  }
  bool taken = false;
  std::thread([&] {
    taken = gRegistryLock.TryLock();
    if (taken) gRegistryLock.Unlock();
  }).join();
  EXPECT_TRUE(taken) << "the registry lock is still held after the failure";

  CloseHandle(notAThread);
  broken.threadHandle = 0;
}

TEST_F(Registry, TheLockHolderMayRemove) {
  AddMonitor("Alpha", 5, 0, 2);
  AddMonitor("Beta", 6, 0, 1);
  // Shut-down holds the lock across its removal loop.
  FinishesWithin(20s, [] {
    ZQ_TLockGuard hold(gRegistryLock);
    while (gMonitorList != nullptr)
      RemoveMonitor(gMonitorList->serverName);
  });
  EXPECT_THAT(MonitorList(), IsEmpty());
}

}  // namespace
