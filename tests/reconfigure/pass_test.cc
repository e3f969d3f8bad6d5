// The reconfiguration pass and the dispatcher verification run inside the
// test process against scripted stand-ins for the daemon (port 8088) and the
// configuration server, so that the monitor list itself can be inspected and
// the stand-ins can answer what the real servers never would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Custodel/Private/Source/custodel.h"
#include "custodel/custodel_test_support.h"
#include "support/child_process.h"
#include "support/fake_server.h"

namespace {

using custodel_test::MonitorSettings;
using custodel_test::MonitorsWithWatcher;
using custodel_test::TakeTraceLines;
using custodel_test::TraceLine;
using zq_test::ChildProcess;
using zq_test::FakeServer;
using zq_test::MethodOf;

// A stand-in's failure reply of class E.
template <class E>
[[noreturn]] void Refuse(const std::string& message) {
  E failure{ZQ_TString(message)};
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

ZQ_TList Texts(std::initializer_list<const char*> texts) {
  ZQ_TList list;
  for (const char* text : texts)
    list.Append(ZQ_TAny(text));
  return list;
}

// The service's start-up state (libraries, shutdown event, the trace kept
// in memory at level 2, for the "Checking" lines), with the stand-ins.
class ReconfigurePass : public custodel_test::InProcessService {
 protected:
  ReconfigurePass()
      : sleeper_({"/bin/sleep", "600"}),
        almanac_(0, "Almanac", 0,
                 [this](const ZQ_TDict& request) {
                   std::lock_guard<std::mutex> hold(lock_);
                   return almanacHandler_(request);
                 }),
        daemon_(8088, "ZQMD", 0, [this](const ZQ_TDict& request) { return Daemon(request); }) {}

  // InProcessService's TearDown ends the watchers before the stand-ins and
  // the process they watch go.
  void SetUp() override {
    InProcessService::SetUp();
    SetServers(ZQ_TTree());
  }

  // The stand-in daemon: locates the configuration server (when reachable),
  // reports every instance of any server as the sleeping child, and answers
  // the configuration question only when told what to say.
  ZQ_TAny Daemon(const ZQ_TDict& request) {
    const std::string method = MethodOf(request);
    if (method == "Locate") {
      const bool almanac = request["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__) == "Almanac";
      if (!almanac || !almanacReachable_) Refuse<ZQM_ENoSuchServer>("not running");
      ZQ_TDict place;
      place.Set("Port", ZQ_TAny(ZQ_TUInt32(almanac_.Port())));
      place.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(getpid()))));
      return ZQ_TAny(place);
    }
    if (method == "GetServerConfiguration") {
      std::lock_guard<std::mutex> hold(lock_);
      if (!configuration_) Refuse<ZQM_EException>("no configuration here");
      return *configuration_;
    }
    if (method == "Servers") {
      ZQ_TList instances;
      for (unsigned instance = 1; instance <= 4; ++instance) {
        ZQ_TDict entry;
        entry.Set("Name", request["P1"]);
        entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(static_cast<std::uint16_t>(instance))));
        entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(sleeper_.Pid()))));
        instances.Append(ZQ_TAny(entry));
      }
      return ZQ_TAny(instances);
    }
    Refuse<ZQM_ENoSuchServerMethod>(method);
  }

  // The configuration server answers "Expand" of the server list with
  // `servers`.
  void SetServers(const ZQ_TTree& servers) {
    std::lock_guard<std::mutex> hold(lock_);
    almanacHandler_ = [servers](const ZQ_TDict& request) -> ZQ_TAny {
      if (MethodOf(request) == "Expand") return ZQ_TAny(servers);
      Refuse<ZQM_ENoSuchServerMethod>(MethodOf(request));
    };
  }

  void SetAlmanacHandler(FakeServer::Handler handler) {
    std::lock_guard<std::mutex> hold(lock_);
    almanacHandler_ = std::move(handler);
  }

  // What the daemon answers to "GetServerConfiguration"; nothing makes it
  // fail.
  void SetConfiguration(std::optional<ZQ_TAny> reply) {
    std::lock_guard<std::mutex> hold(lock_);
    configuration_ = std::move(reply);
  }

  // The traced texts, without the watchers' lines.
  static std::vector<std::string> PassTexts(const std::vector<TraceLine>& traced) {
    std::vector<std::string> texts;
    for (const TraceLine& line : traced) {
      const bool watcher =
          line.text.rfind("Starting monitor", 0) == 0 ||
          line.text.rfind("Starting server", 0) == 0 || line.text.rfind("Server ", 0) == 0 ||
          line.text.rfind("No connection", 0) == 0 || line.text.rfind("Stopped monitoring", 0) == 0;
      if (!watcher) texts.push_back(line.text);
    }
    return texts;
  }

  std::vector<std::string> DaemonMethods() const {
    std::vector<std::string> methods;
    for (const ZQ_TDict& request : daemon_.Requests())
      methods.push_back(MethodOf(request));
    return methods;
  }

  ChildProcess sleeper_;
  std::mutex lock_;
  FakeServer::Handler almanacHandler_;
  std::optional<ZQ_TAny> configuration_;
  std::atomic<bool> almanacReachable_{true};
  FakeServer almanac_;
  FakeServer daemon_;
};

TEST_F(ReconfigurePass, UnreachableConfigurationServerEndsThePassBeforeAnythingHappens) {
  almanacReachable_ = false;
  SetConfiguration(ZQ_TAny("Demo"));
  AddMonitor("Existing", 10, 0, 2);
  TakeTraceLines();
  for (const bool start : {true, false}) {
    SCOPED_TRACE(start ? "start" : "stop");
    EXPECT_THROW(Reconfigure(start), ZQM_ENoSuchServer);
    EXPECT_TRUE(TakeTraceLines().empty());
    EXPECT_EQ((std::vector<std::string>{"Existing#2 10/0", "Existing#1 10/0"}), MonitorSettings());
    EXPECT_EQ(0u, MonitorsWithWatcher());
  }
  // Only the location of the configuration server was asked for.
  EXPECT_EQ((std::vector<std::string>{"Locate", "Locate"}), DaemonMethods());
}

TEST_F(ReconfigurePass, DaemonWithoutAUsableAnswerLetsEveryAlwaysRunningServerRun) {
  // A reply that is not a text counts as no name.
  SetConfiguration(ZQ_TAny(5u));
  Reconfigure(true);
  EXPECT_EQ((std::vector<std::string>{"Reconfigure for ServerConfiguration \"\""}),
            PassTexts(TakeTraceLines()));

  SetConfiguration(std::nullopt);
  ZQ_TTree servers;
  servers.Set("WithList/AlwaysRunning", ZQ_TAny(true));
  servers.Set("WithList/Configurations", ZQ_TAny(Texts({"Demo"})));
  servers.Set("WithList/StartupOrder", ZQ_TAny(30u));
  servers.Set("WithoutList/AlwaysRunning", ZQ_TAny(true));
  servers.Set("Switched/AlwaysRunning", ZQ_TAny(false));
  servers.Set("Switched/Configurations", ZQ_TAny(Texts({"Demo"})));
  servers.Set("Pair/AlwaysRunning", ZQ_TAny(true));
  servers.Set("Pair/NrOfInstances", ZQ_TAny(2u));
  servers.Set("Pair/StartupOrder", ZQ_TAny(70u));
  servers.Set("Pair/DelayAfterStartup", ZQ_TAny(0u));
  // Numbers of another class than ZQ_TUInt32 count as absent.
  servers.Set("Narrow/AlwaysRunning", ZQ_TAny(true));
  servers.Set("Narrow/NrOfInstances", ZQ_TAny(ZQ_TUInt16(3)));
  servers.Set("Narrow/StartupOrder", ZQ_TAny(ZQ_TUInt16(5)));
  SetServers(servers);

  Reconfigure(true);

  EXPECT_EQ((std::vector<std::string>{"WithList#1 30/0", "Narrow#1 50/0", "WithoutList#1 50/0",
                                      "Pair#2 70/0", "Pair#1 70/0"}),
            MonitorSettings());
  EXPECT_EQ(5u, MonitorsWithWatcher());
  const std::vector<TraceLine> traced = TakeTraceLines();
  EXPECT_EQ((std::vector<std::string>{
                "Reconfigure for ServerConfiguration \"\"",
                "Checking \"WithList\"",
                "Add monitor for server \"WithList\", order = 30, delay after start = 0",
                "Checking \"WithoutList\"",
                "Add monitor for server \"WithoutList\", order = 50, delay after start = 0",
                "Checking \"Switched\"",
                "Checking \"Pair\"",
                "Add monitor for server \"Pair\", order = 70, delay after start = 0",
                "Checking \"Narrow\"",
                "Add monitor for server \"Narrow\", order = 50, delay after start = 0",
            }),
            PassTexts(traced));
  for (const TraceLine& line : traced) {
    int level = 0;
    if (line.text.rfind("Checking", 0) == 0) level = 2;
    if (line.text.rfind("Add monitor", 0) == 0) level = 1;
    EXPECT_EQ(level, line.level) << line.text;
  }

  // Removing everything takes every listed server and does not ask the
  // daemon.
  Reconfigure(false);
  EXPECT_EQ((std::vector<std::string>{}), MonitorSettings());
  EXPECT_EQ((std::vector<std::string>{
                "Remove all server watcher threads",
                "Checking \"WithList\"",
                "Remove monitor for \"WithList\"; server instance: 1",
                "Checking \"WithoutList\"",
                "Remove monitor for \"WithoutList\"; server instance: 1",
                "Checking \"Switched\"",
                "Checking \"Pair\"",
                "Remove monitor for \"Pair\"; server instance: 2",
                "Remove monitor for \"Pair\"; server instance: 1",
                "Checking \"Narrow\"",
                "Remove monitor for \"Narrow\"; server instance: 1",
            }),
            PassTexts(TakeTraceLines()));
  const std::vector<std::string> methods = DaemonMethods();
  EXPECT_EQ(2, std::count(methods.begin(), methods.end(), "GetServerConfiguration"));
  for (const ZQ_TDict& request : almanac_.Requests()) {
    EXPECT_EQ("Expand", MethodOf(request));
    EXPECT_EQ(ZQ_TString("Servers/ZQMD/Servers/"),
              request["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  }
}

TEST_F(ReconfigurePass, TooManyInstancesAreRefusedForThePassAndNamesAreTracedEscaped) {
  SetConfiguration(ZQ_TAny(""));
  const char* const name = "Huge\nServer";
  ZQ_TTree servers;
  servers.Set(ZQ_TString(name) + "/AlwaysRunning", ZQ_TAny(true));
  SetServers(servers);
  Reconfigure(true);
  ASSERT_EQ((std::vector<std::string>{"Huge\nServer#1 50/0"}), MonitorSettings());
  TakeTraceLines();

  // A typo: the monitor it has stays, no other is added.
  servers.Set(ZQ_TString(name) + "/NrOfInstances", ZQ_TAny(4000000000u));
  SetServers(servers);
  Reconfigure(true);
  EXPECT_EQ((std::vector<std::string>{"Huge\nServer#1 50/0"}), MonitorSettings());
  bool refused = false;
  for (const TraceLine& line : TakeTraceLines()) {
    EXPECT_EQ(std::string::npos, line.text.find(name)) << line.text;
    EXPECT_EQ(std::string::npos, line.text.find("Add monitor")) << line.text;
    if (line.text ==
        "Server \"Huge\\nServer\": NrOfInstances 4000000000 exceeds the limit of "
        "1024; not started") {
      refused = line.level == 0;
    }
  }
  EXPECT_TRUE(refused);
}

TEST_F(ReconfigurePass, ServerEntryThatIsNotATreeEndsThePassThere) {
  SetConfiguration(ZQ_TAny(""));
  ZQ_TTree servers;
  servers.Set("Before/AlwaysRunning", ZQ_TAny(true));
  servers.Set("Broken", ZQ_TAny("not a subtree"));
  servers.Set("After/AlwaysRunning", ZQ_TAny(true));
  SetServers(servers);

  try {
    Reconfigure(true);
    FAIL() << "the pass went past the broken entry";
  } catch (const ZQ_EBadCast& failure) {
    EXPECT_EQ(ZQ_TString(kCustodelSource), failure.ZQ_ExceptionFile());
  }
  // The entry before it was handled; no watcher was started.
  EXPECT_EQ((std::vector<std::string>{"Before#1 50/0"}), MonitorSettings());
  EXPECT_EQ(0u, MonitorsWithWatcher());
  EXPECT_EQ((std::vector<std::string>{
                "Reconfigure for ServerConfiguration \"\"", "Checking \"Before\"",
                "Add monitor for server \"Before\", order = 50, delay after start = 0",
                "Checking \"Broken\""}),
            PassTexts(TakeTraceLines()));

  // Removing everything stops at the same entry.
  AddMonitor("After", 50, 0, 1);
  EXPECT_THROW(Reconfigure(false), ZQ_EBadCast);
  EXPECT_EQ((std::vector<std::string>{"After#1 50/0"}), MonitorSettings());
}

// The configuration server cannot be made to list a device's configuration
// while it reports the device's dispatcher as running; the stand-in can.
TEST_F(ReconfigurePass, VerificationReportsARunningDeviceWhoseConfigurationCannotBeListed) {
  SetAlmanacHandler([](const ZQ_TDict& request) -> ZQ_TAny {
    const std::string method = MethodOf(request);
    const std::string path = request["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text();
    if (method == "KeysAt" && path == "Devices/Instances") {
      return ZQ_TAny(Texts({"Leaf", "NotAList", "Fine"}));
    }
    if (method == "[]") return ZQ_TAny(true);  // checked and running, all of them
    if (method == "KeysAt" && path == "Devices/Instances/Leaf/Rip/Config") {
      Refuse<ZQM_EException>("a value, not a subtree with keys");
    }
    if (method == "KeysAt" && path == "Devices/Instances/NotAList/Rip/Config") {
      return ZQ_TAny("TavrixControl");
    }
    if (method == "KeysAt" && path == "Devices/Instances/Fine/Rip/Config") {
      return ZQ_TAny(Texts({"TavrixControl"}));
    }
    Refuse<ZQM_EException>("unexpected " + method + " " + path);
  });
  Almanac_TProxy almanac(ZQ_TSocket::HostName(false).c_str());
  TakeTraceLines();

  VerifyDispatchers(almanac);

  const std::vector<TraceLine> traced = TakeTraceLines();
  EXPECT_EQ((std::vector<std::string>{
                "Calculate the number of devices...",
                "Total number of devices: 3",
                "Total number of devices to be checked: 3",
                "Verify the Dispatchers...",
                "Start checking Dispatchers (1)",
                "All Dispatchers were checked",
                "Get Tavrix information from Dispatchers...",
                "Device \"Leaf\": Dispatcher is running",
                "Device \"Leaf\": Cannot access configuration",
                "Device \"NotAList\": Dispatcher is running",
                "Device \"NotAList\": Cannot access configuration",
                "Device \"Fine\": Dispatcher is running",
            }),
            PassTexts(traced));
  for (const TraceLine& line : traced)
    EXPECT_EQ(0, line.level) << line.text;
}

TEST_F(ReconfigurePass, VerificationEndsQuietlyAtADeviceNameThatIsNotAText) {
  SetAlmanacHandler([](const ZQ_TDict& request) -> ZQ_TAny {
    if (MethodOf(request) == "KeysAt") {
      ZQ_TList devices = Texts({"D1"});
      devices.Append(ZQ_TAny(7u));
      return ZQ_TAny(devices);
    }
    return ZQ_TAny(true);
  });
  Almanac_TProxy almanac(ZQ_TSocket::HostName(false).c_str());
  TakeTraceLines();

  EXPECT_NO_THROW(VerifyDispatchers(almanac));

  EXPECT_EQ((std::vector<std::string>{"Calculate the number of devices...",
                                      "Total number of devices: 2"}),
            PassTexts(TakeTraceLines()));
}

}  // namespace
