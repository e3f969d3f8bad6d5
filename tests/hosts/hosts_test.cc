// Two hosts on a private network: a client on one calls a server on the
// other, located through that host's daemon, and only with the key.
#include <gtest/gtest.h>

#include "DEVUror/zqm_auth.h"
#include "support/hosts.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::ChildProcess;
using zq_test::Program;

const char* const kConfiguration = R"({ "Servers": { "ZQMD": { "Servers": {
  "Sample": { "Program": "@BIN@/sample_server" }
} } } })";

TEST(Hosts, AClientOnOneHostCallsAServerOnAnotherOnlyWithTheKey) {
  zq_test::Network network;
  zq_test::Host& a = network.AddHost();
  zq_test::Host& b = network.AddHost();
  zq_test::InstallationOptions onB;
  onB.host = &b;
  zq_test::Installation installation(kConfiguration, onB);
  EXPECT_TRUE(installation.Daemon().WaitForLine("Listening on " + b.Address() + ":8088 as well"));

  // On host A: B's daemon starts the server on B, which listens on B's
  // address as well, where the call reaches it.
  const std::vector<std::string> whoami =
      a.Command({Program("zqm"), "--host", b.Address(), "call", "Sample", "1", "Whoami"});
  ChildProcess call(whoami, {{"ZQM_KEY_FILE", installation.KeyFile()}});
  ASSERT_EQ(0, call.WaitForExit(20s)) << call.Output();
  const std::optional<pid_t> pid = installation.PidOf("Sample", 1);
  ASSERT_TRUE(pid.has_value());
  EXPECT_NE(std::string::npos, call.Output().find("\"PID\": " + std::to_string(*pid)))
      << call.Output();

  // A host without the installation's key cannot call in.
  zq_test::TempDir elsewhere;
  zqm_auth::CreateKeyFile(elsewhere.File("other.key"));
  ChildProcess refused(whoami, {{"ZQM_KEY_FILE", elsewhere.File("other.key")}});
  EXPECT_EQ(1, refused.WaitForExit(20s)) << refused.Output();
  EXPECT_NE(std::string::npos, refused.Output().find("ZQM_EAuthenticationFailed"))
      << refused.Output();
  EXPECT_TRUE(installation.Daemon().WaitForLine("Closing connection from " + a.Address() + ":"))
      << installation.Daemon().Output();
}

}  // namespace
