// An instance's log end to end: the daemon's start and end markers, the
// rotation that keeps it within its limit, and `zqm log`, printed and
// followed across rotations.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "middleware/middleware_helpers.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;
using zq_test::Installation;

// A plain program that says who it is, writes 5000 bytes and then sleeps:
// every start puts its log over the limit of 3000 bytes once.
const char* const kConfiguration = R"({"Servers": {"ZQMD": {"Servers": {"Chatty": {
  "Program": "/bin/sh", "Plain": true, "LogMaxBytes": 3000, "LogFilesKept": 2,
  "Arguments": ["-c", "echo hello from $$; yes line | head -c 5000; exec sleep 1000"]}}}}})";

// Has the daemon start the plain program; its pid.
pid_t StartChatty(Installation& installation) {
  ZQM_TClient client;
  EXPECT_THROW(client.Connect("", "Chatty", 1, ZQM_TClient::kLocateOrStart), ZQM_ENotAnRpcServer);
  const std::optional<pid_t> pid = installation.PidOf("Chatty", 1);
  EXPECT_TRUE(pid.has_value());
  return pid.value_or(0);
}

// Kills it and waits until the daemon has written its end marker.
void KillChatty(pid_t pid, const std::string& log) {
  kill(pid, SIGKILL);
  EXPECT_TRUE(zq_test::WaitForFileMatches(
      log,
      "==== [-0-9]+ [:.0-9]+ Chatty instance 1 \\(pid " + std::to_string(pid) +
          "\\) killed by signal 9 \\(Killed\\) after [.0-9]+ s\n",
      1, 10s))
      << zq_test::ReadFile(log);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST(InstanceLogTest, MarkersRotationAndZqmLogFollowingAcrossRotations) {
  Installation installation(kConfiguration);
  const std::string log = installation.LogDir() + "/Chatty-1.log";
  const zq_test::ProgramRun missing = installation.Run("zqm", {"log", "Chatty"});
  EXPECT_EQ(1, missing.status);
  EXPECT_TRUE(Contains(missing.output, "Chatty instance 1 has no log " + log)) << missing.output;

  const pid_t first = StartChatty(installation);
  const std::string hello = "hello from ";
  EXPECT_TRUE(zq_test::WaitForFileMatches(
      log + ".1",
      "==== [-0-9]+ [:.0-9]+ started Chatty instance 1 \\(pid " + std::to_string(first) +
          "\\): /bin/sh -c 'echo hello from \\$\\$; yes line \\| head -c 5000; exec sleep 1000'\n",
      1, 10s))
      << "rotated to .1 within a second or so of growing beyond the limit";
  EXPECT_TRUE(Contains(zq_test::ReadFile(log + ".1"), hello + std::to_string(first) + "\n"));
  EXPECT_LT(std::filesystem::file_size(log), 3000u);

  auto follower = installation.Start("zqm", {"log", "-f", "Chatty", "1"});
  KillChatty(first, log);
  ASSERT_TRUE(follower->WaitForLine("killed by signal 9", 10s)) << follower->Output();

  // Two more starts, each rotated: the oldest copy is dropped, two are kept.
  const pid_t second = StartChatty(installation);
  EXPECT_TRUE(zq_test::WaitForFileMatches(log + ".1", hello + std::to_string(second), 1, 10s));
  KillChatty(second, log);
  const pid_t third = StartChatty(installation);
  EXPECT_TRUE(zq_test::WaitForFileMatches(log + ".1", hello + std::to_string(third), 1, 10s));
  EXPECT_TRUE(Contains(zq_test::ReadFile(log + ".2"), hello + std::to_string(second)));
  EXPECT_FALSE(std::filesystem::exists(log + ".3"));

  // The follower printed each instance's output once, though the file was
  // emptied under it.
  ASSERT_TRUE(follower->WaitForLine(hello + std::to_string(third), 10s)) << follower->Output();
  const std::string followed = follower->Output();
  for (const pid_t pid : {second, third})
    EXPECT_EQ(1u, Count(followed, hello + std::to_string(pid) + "\n")) << followed;

  KillChatty(third, log);
  const zq_test::ProgramRun printed = installation.Run("zqm", {"log", "Chatty", "1"});
  EXPECT_EQ(0, printed.status);
  EXPECT_EQ(zq_test::ReadFile(log), printed.output);
  EXPECT_TRUE(Contains(printed.output, "(pid " + std::to_string(third) + ") killed by signal 9"));
}

}  // namespace
