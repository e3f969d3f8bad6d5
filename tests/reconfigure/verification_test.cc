// The device and dispatcher verification that a "RunAsMaster" host's
// reconfiguration pass begins with, end to end: the flags live in the
// configuration server, the test changes them while the service waits, and
// the pass goes on to start the servers of that configuration.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DEVUror/devuror.h"
#include "reconfigure/custodel_harness.h"

namespace {

using namespace custodel_test;

using Texts = std::vector<std::string>;

const std::string kFirstServer = "Checking \"Master\"";
const std::string kMasterRunning = "Server \"Master\" instance 1 is running";

// One device under "Devices/Instances"; `control` holds the members of its
// "Rip/Config/TavrixControl" subtree (no subtree when empty).
std::string Device(const std::string& name, const std::string& control) {
  if (control.empty()) return "\"" + name + "\": {}";
  return "\"" + name + "\": {\"Rip\": {\"Config\": {\"TavrixControl\": {" + control + "}}}}";
}

std::string Devices(const std::vector<std::string>& devices) {
  std::string text = "\"Devices\": {\"Instances\": {";
  for (std::size_t i = 0; i < devices.size(); ++i)
    text += (i > 0 ? ", " : "") + devices[i];
  return text + "}}";
}

// Servers for each kind of host: only "Master" belongs to "RunAsMaster".
std::string HostConfiguration(const std::string& devices) {
  return Configuration(
      {
          ServerEntry("Master", R"("AlwaysRunning": true, "Configurations": ["RunAsMaster"])"),
          ServerEntry("Elsewhere", R"("AlwaysRunning": true, "Configurations": ["Other"])"),
          ServerEntry("NoList", R"("AlwaysRunning": true)"),
          ServerEntry("Lower", R"("AlwaysRunning": true, "Configurations": ["runasmaster"])"),
      },
      devices);
}

class DispatcherVerification : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitialiseLibraries(); }

  void Start(const std::string& devices, const std::string& serverConfiguration = "RunAsMaster") {
    InstallationOptions options;
    options.serverConfiguration = serverConfiguration;
    installation_ = std::make_unique<Installation>(HostConfiguration(devices), options);
    service_ = std::make_unique<Service>(*installation_);
  }

  // The verification's lines: those after the pass's first line and before
  // its first server.
  Texts Verification(std::chrono::milliseconds timeout = 20s) {
    const std::size_t begin =
        service_->Await("Reconfigure for ServerConfiguration \"RunAsMaster\"");
    const std::size_t end = service_->Await(kFirstServer, begin, timeout);
    return service_->Texts(begin + 1, end);
  }

  double SecondsAt(std::size_t line) const {
    return ParseTraceLine(service_->Process().Lines().at(line))->seconds;
  }

  // The pass went on to start the master's servers, and only those.
  void ExpectMasterServersStarted() {
    service_->Await(kMasterRunning);
    EXPECT_EQ((Texts{"Almanac#0", "Custodel#1", "Master#1"}), RunningInstances(*installation_));
  }

  void SetFlag(const std::string& device, const std::string& flag, bool value) {
    ZQM_TClient almanac;
    almanac.Connect("", "Almanac", 0, ZQM_TClient::kLocateOnly);
    almanac.RPC(
        "Set",
        ZQ_TAny(ZQ_TString("Devices/Instances/" + device + "/Rip/Config/TavrixControl/" + flag)),
        ZQ_TAny(value));
  }

  std::unique_ptr<Installation> installation_;
  std::unique_ptr<Service> service_;
};

TEST_F(DispatcherVerification, NoDevicesMeansNothingToWaitFor) {
  Start(Devices({}));
  EXPECT_EQ((Texts{
                "Calculate the number of devices...",
                "Total number of devices: 0",
                "Total number of devices to be checked: 0",
                "Verify the Dispatchers...",
                "Start checking Dispatchers (1)",
                "All Dispatchers were checked",
                "Get Tavrix information from Dispatchers...",
            }),
            Verification());
  const std::size_t first = service_->Await("Calculate the number of devices...");
  EXPECT_LT(SecondsAt(service_->Await(kFirstServer)) - SecondsAt(first), 2.0);
  ExpectMasterServersStarted();
}

TEST_F(DispatcherVerification, AllCheckedAtTheFirstAttemptThenTheRunningOnesAreAsked) {
  Start(Devices({
      Device("D1", R"("IsDispatcherChecked": true, "IsDispatcherRunning": true)"),
      Device("D2", R"("IsDispatcherChecked": true, "IsDispatcherRunning": false)"),
  }));
  EXPECT_EQ((Texts{
                "Calculate the number of devices...",
                "Total number of devices: 2",
                "Total number of devices to be checked: 2",
                "Verify the Dispatchers...",
                "Start checking Dispatchers (1)",
                "All Dispatchers were checked",
                "Get Tavrix information from Dispatchers...",
                "Device \"D1\": Dispatcher is running",
                "Device \"D2\": Dispatcher is not running",
            }),
            Verification());
  const std::size_t first = service_->Await("Calculate the number of devices...");
  EXPECT_LT(SecondsAt(service_->Await(kFirstServer)) - SecondsAt(first), 2.0);
  ExpectMasterServersStarted();
}

// Only a device whose flag reads as a ZQ_TBool is waited for; the others
// still count as devices, and a running one is still asked.
TEST_F(DispatcherVerification, DevicesWithoutAReadableCheckedFlagAreNotWaitedFor) {
  Start(Devices({
      Device("Flagged", R"("IsDispatcherChecked": true, "IsDispatcherRunning": true)"),
      Device("NoFlag", R"("IsDispatcherRunning": true)"),
      Device("TextFlag", R"("IsDispatcherChecked": "false", "IsDispatcherRunning": false)"),
      Device("NumberFlag", R"("IsDispatcherChecked": 0)"),
      Device("Bare", ""),
  }));
  EXPECT_EQ((Texts{
                "Calculate the number of devices...",
                "Total number of devices: 5",
                "Total number of devices to be checked: 1",
                "Verify the Dispatchers...",
                "Start checking Dispatchers (1)",
                "All Dispatchers were checked",
                "Get Tavrix information from Dispatchers...",
                "Device \"Flagged\": Dispatcher is running",
                "Device \"NoFlag\": Dispatcher is running",
                "Device \"TextFlag\": Dispatcher is not running",
            }),
            Verification());
  ExpectMasterServersStarted();
}

TEST_F(DispatcherVerification, MissingDeviceListEndsTheVerificationAtOnce) {
  Start("");
  EXPECT_EQ((Texts{"Calculate the number of devices..."}), Verification());
  ExpectMasterServersStarted();
}

TEST_F(DispatcherVerification, OnlyExactlyRunAsMasterIsVerified) {
  // An unchecked device would hold a verification up for most of a minute.
  Start(Devices({Device("D1", R"("IsDispatcherChecked": false)")}), "runasmaster");
  const std::size_t running = service_->Await("Server \"Lower\" instance 1 is running");
  const Texts texts = service_->Texts(0, running + 1);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ((Texts{"Starting", "Reconfigure for ServerConfiguration \"runasmaster\"",
                   "Checking \"Master\""}),
            Texts(texts.begin(), texts.begin() + 3));
  EXPECT_EQ(0u, service_->Count("Calculate the number of devices..."));
  EXPECT_EQ((Texts{"Almanac#0", "Custodel#1", "Lower#1"}), RunningInstances(*installation_));
}

TEST_F(DispatcherVerification, DeviceCheckedWhileWaitingEndsTheWait) {
  Start(Devices({
      Device("D1", R"("IsDispatcherChecked": true, "IsDispatcherRunning": false)"),
      Device("D2", R"("IsDispatcherChecked": false, "IsDispatcherRunning": true)"),
  }));
  const std::size_t second = service_->Await("Start checking Dispatchers (2)");
  service_->Await("1 of 2 Dispatchers checked", second);
  SetFlag("D2", "IsDispatcherChecked", true);

  EXPECT_EQ((Texts{
                "Calculate the number of devices...",
                "Total number of devices: 2",
                "Total number of devices to be checked: 2",
                "Verify the Dispatchers...",
                "Start checking Dispatchers (1)",
                "Device \"D2\": Dispatcher not yet checked",
                "1 of 2 Dispatchers checked",
                "Start checking Dispatchers (2)",
                "Device \"D2\": Dispatcher not yet checked",
                "1 of 2 Dispatchers checked",
                "Start checking Dispatchers (3)",
                "All Dispatchers were checked",
                "Get Tavrix information from Dispatchers...",
                "Device \"D1\": Dispatcher is not running",
                "Device \"D2\": Dispatcher is running",
            }),
            Verification(30s));
  ExpectMasterServersStarted();
}

// Waits out every attempt: about 50 seconds.
TEST_F(DispatcherVerification, DeviceNeverCheckedIsGivenElevenAttemptsFiveSecondsApart) {
  Start(Devices({
      Device("D1", R"("IsDispatcherChecked": true, "IsDispatcherRunning": true)"),
      Device("D2", R"("IsDispatcherChecked": true, "IsDispatcherRunning": false)"),
      Device("D3", R"("IsDispatcherChecked": false, "IsDispatcherRunning": true)"),
  }));
  Texts expected = {
      "Calculate the number of devices...",
      "Total number of devices: 3",
      "Total number of devices to be checked: 3",
      "Verify the Dispatchers...",
  };
  for (int attempt = 1; attempt <= 11; ++attempt) {
    expected.push_back("Start checking Dispatchers (" + std::to_string(attempt) + ")");
    expected.push_back("Device \"D3\": Dispatcher not yet checked");
    expected.push_back("2 of 3 Dispatchers checked");
  }
  expected.insert(expected.end(), {
                                      "Get Tavrix information from Dispatchers...",
                                      "Device \"D1\": Dispatcher is running",
                                      "Device \"D2\": Dispatcher is not running",
                                      "Device \"D3\": Dispatcher is running",
                                  });
  EXPECT_EQ(expected, Verification(120s));

  // A pause between two attempts, none after the last.
  std::size_t previous = service_->Await("Start checking Dispatchers (1)");
  for (int attempt = 2; attempt <= 11; ++attempt) {
    const std::size_t at =
        service_->Await("Start checking Dispatchers (" + std::to_string(attempt) + ")", previous);
    const double pause = SecondsAt(at) - SecondsAt(previous);
    EXPECT_GE(pause, 4.95) << "before attempt " << attempt;
    EXPECT_LT(pause, 10.0) << "before attempt " << attempt;
    previous = at;
  }
  EXPECT_LT(SecondsAt(service_->Await("Get Tavrix information from Dispatchers...")) -
                SecondsAt(previous),
            2.0);
  ExpectMasterServersStarted();
}

}  // namespace
