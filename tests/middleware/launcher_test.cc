// How the daemon's launcher starts an instance, without a daemon around it:
// the installation key as descriptor 3 and nothing else inherited, the
// credentials of "User" and "Group", and what a daemon that is not root
// refuses. Runs in namespaces of its own, which end every process left.
#include "zqmd/launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "DEVUror/zqm_exceptions.h"
#include "middleware/middleware_helpers.h"
#include "zqmd/credentials.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;

// An instance started by the test, killed and reaped however the test ends.
class Started {
 public:
  Started(const zqmd::LaunchConfig& launch, const std::string& log, int keyFd = -1)
      : launched_(zqmd::Launch(launch, "Probe", 1, log, keyFd)) {}
  ~Started() {
    kill(launched_.pid, SIGKILL);
    waitpid(launched_.pid, nullptr, 0);
    close(launched_.pidfd);
  }
  pid_t Pid() const { return launched_.pid; }

 private:
  zqmd::Launched launched_;
};

zqmd::LaunchConfig Shell(const std::string& script) {
  zqmd::LaunchConfig launch;
  launch.program = "sh";
  launch.arguments = {"-c", script + "; exec sleep 1000"};
  return launch;
}

TEST(LauncherTest, IdentityArrivesAsDescriptorThreeAndNothingElseIsInherited) {
  zq_test::TempDir dir;
  // Neither the identity's own number nor a descriptor left open without
  // close-on-exec may reach the instance, nor a key variable of the daemon.
  const int leaked = open("/dev/null", O_RDONLY);
  const int identity = memfd_create("zqm-identity", MFD_CLOEXEC);
  ASSERT_GT(leaked, 2);
  ASSERT_GT(identity, 3);
  setenv("ZQM_KEY_FILE", "/etc/zqm/installation.key", 1);
  setenv("ZQM_KEY_FD", "7", 1);
  const Started started(Shell("true"), dir.File("Probe-1.log"), identity);
  unsetenv("ZQM_KEY_FD");
  close(leaked);
  close(identity);
  ASSERT_TRUE(zq_test::WaitUntilAsleep(started.Pid(), 5s));
  EXPECT_EQ((std::set<int>{0, 1, 2, 3}), zq_test::OpenDescriptors(started.Pid()));
  EXPECT_TRUE(Contains(zq_test::DescriptorTarget(started.Pid(), 3), "zqm-identity"))
      << zq_test::DescriptorTarget(started.Pid(), 3);
  const std::string environment = zq_test::EnvironmentOf(started.Pid());
  EXPECT_TRUE(Contains(environment, "\nZQM_IDENTITY_FD=3\n")) << environment;
  EXPECT_TRUE(Contains(environment, "\nZQM_SERVER_NAME=Probe\n")) << environment;
  EXPECT_FALSE(Contains(environment, "ZQM_KEY_")) << environment;
  EXPECT_EQ(started.Pid(), zq_test::SessionOf(started.Pid()));
  // A plain program gets neither an identity nor the daemon's key variables.
  zqmd::LaunchConfig plain = Shell("true");
  plain.plain = true;
  const Started program(plain, dir.File("Plain-1.log"));
  ASSERT_TRUE(zq_test::WaitUntilAsleep(program.Pid(), 5s));
  EXPECT_FALSE(Contains(zq_test::EnvironmentOf(program.Pid()), "ZQM_KEY_FILE"));
  unsetenv("ZQM_KEY_FILE");
}

TEST(LauncherTest, UserAndGroupKeysGiveTheInstanceThoseCredentialsAndNoCapabilities) {
  // Root of a user namespace cannot take the ids of users outside it.
  if (!zq_test::IsRealRoot()) GTEST_SKIP() << "needs the real root";
  zq_test::TempDir dir;
  zqmd::LaunchConfig launch = Shell("id");
  launch.user = "nobody";
  launch.environment = {{"LOGNAME", "configured"}};
  const std::string log = dir.File("Probe-1.log");
  const Started asNobody(launch, log);
  ASSERT_TRUE(zq_test::WaitUntilAsleep(asNobody.Pid(), 5s));
  const std::string nobody = std::to_string(getpwnam("nobody")->pw_uid);
  const std::string primary = std::to_string(getpwnam("nobody")->pw_gid);
  EXPECT_EQ(nobody + "\t" + nobody + "\t" + nobody + "\t" + nobody,
            zq_test::ProcStatus(asNobody.Pid(), "Uid"));
  EXPECT_EQ(primary + "\t" + primary + "\t" + primary + "\t" + primary,
            zq_test::ProcStatus(asNobody.Pid(), "Gid"));
  EXPECT_EQ(primary, zq_test::ProcStatus(asNobody.Pid(), "Groups"));
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
    EXPECT_EQ("0000000000000000", zq_test::ProcStatus(asNobody.Pid(), set)) << set;
  // The log, opened by the daemon, takes the instance's output whatever its user.
  EXPECT_TRUE(
      zq_test::WaitForFileMatches(log, "^uid=" + nobody + "\\(nobody\\) gid=" + primary, 1, 5s))
      << zq_test::ReadFile(log);
  const std::string environment = zq_test::EnvironmentOf(asNobody.Pid());
  EXPECT_TRUE(Contains(environment, "\nUSER=nobody\n")) << environment;
  EXPECT_TRUE(Contains(environment, "\nHOME=" + std::string(getpwnam("nobody")->pw_dir) + "\n"))
      << environment;
  EXPECT_TRUE(Contains(environment, "\nLOGNAME=configured\n")) << environment;

  // A group alone leaves the user as it is.
  zqmd::LaunchConfig groupOnly = Shell("true");
  groupOnly.group = primary;
  const Started inGroup(groupOnly, log);
  ASSERT_TRUE(zq_test::WaitUntilAsleep(inGroup.Pid(), 5s));
  EXPECT_EQ("0\t0\t0\t0", zq_test::ProcStatus(inGroup.Pid(), "Uid"));
  EXPECT_EQ(primary + "\t" + primary + "\t" + primary + "\t" + primary,
            zq_test::ProcStatus(inGroup.Pid(), "Gid"));
}

std::string RefusalOf(const std::string& user, const std::string& group,
                      const zqmd::Identity& daemon) {
  try {
    zqmd::ResolveCredentials(user, group, daemon);
  } catch (const ZQM_EException& refused) {
    return refused.ZQ_Message().Text();
  }
  return "";
}

TEST(LauncherTest, DaemonThatIsNotRootStartsInstancesOnlyAsItself) {
  const passwd* root = getpwuid(0);
  ASSERT_NE(nullptr, root);
  const zqmd::Identity plain{4321, 4321};
  EXPECT_TRUE(Contains(RefusalOf(root->pw_name, "", plain), "cannot start a server as user"));
  EXPECT_TRUE(Contains(RefusalOf("0", "", plain), "uid 0"));
  EXPECT_TRUE(Contains(RefusalOf("", "0", plain), "cannot start a server with group 0"));
  EXPECT_TRUE(
      Contains(RefusalOf("no-such-user-here", "", plain), "unknown user \"no-such-user-here\""));
  EXPECT_TRUE(Contains(RefusalOf("", "no-such-group-here", plain), "unknown group"));
  EXPECT_TRUE(Contains(RefusalOf("4322", "", {0, 0}), "no passwd entry"));

  // Its own ids are no change at all.
  const zqmd::Credentials own = zqmd::ResolveCredentials("4321", "4321", plain);
  EXPECT_FALSE(own.changeUser);
  EXPECT_FALSE(own.changeGroup);

  // The refusal reaches the launcher's caller before anything starts.
  zqmd::LaunchConfig launch = Shell("true");
  launch.user = "no-such-user-here";
  zq_test::TempDir dir;
  const auto caught = zq_test::CatchFrom([&] { Started started(launch, dir.File("Probe-1.log")); });
  EXPECT_TRUE(Contains(caught.message, "unknown user")) << caught.message;
  EXPECT_FALSE(std::filesystem::exists(dir.File("Probe-1.log")));
}

}  // namespace
