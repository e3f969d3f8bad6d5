// Authentication and the listeners' limits with real processes: programs
// without a key refuse to start, peers with another key (or none) are
// refused in both directions before anything reaches a processor, a
// recorded handshake cannot be replayed, and no peer can hold a listener's
// connections or memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio.hpp>
#include <memory>
#include <thread>

#include "middleware/middleware_helpers.h"
#include "support/installation.h"
#include "support/test_key.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CatchFrom;
using zq_test::Contains;
using zq_test::Installation;
using zq_test::InstallationOptions;
using zq_test::Program;
using zq_test::RawConnection;
using zq_test::RunToEnd;

const char* const kConfiguration = R"({
  "Servers": {"ZQMD": {"Servers": {
    "Sample": {"Program": "@BIN@/sample_server"},
    "Guarded": {"Program": "@BIN@/sample_server", "User": "nobody"}
  }}}
})";

// The lines of `process` from `after` on that contain `text`.
std::size_t CountLines(const zq_test::ChildProcess& process, const std::string& text,
                       std::size_t after = 0) {
  const std::vector<std::string> lines = process.Lines();
  std::size_t count = 0;
  for (std::size_t i = after; i < lines.size(); ++i)
    count += Contains(lines[i], text) ? 1 : 0;
  return count;
}

std::string MakeKey(const zq_test::TempDir& dir, const std::string& name) {
  const zq_test::ProgramRun made = RunToEnd({Program("zqmd"), "--init-key", dir.File(name)});
  EXPECT_EQ(0, made.status) << made.output;
  return dir.File(name);
}

long VmRssKiB(pid_t pid) {
  const std::string status = zq_test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

TEST(KeyTest, InitKeyWritesAPrivateKeyOnceAndUnsafeKeyFilesAreRefused) {
  zq_test::TempDir dir;
  const std::string key = MakeKey(dir, "sub/installation.key");
  struct stat info {};
  ASSERT_EQ(0, stat(key.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  EXPECT_EQ(32, info.st_size);
  const std::string before = zq_test::ReadFile(key);

  const zq_test::ProgramRun again = RunToEnd({Program("zqmd"), "--init-key", key});
  EXPECT_EQ(1, again.status);
  EXPECT_TRUE(Contains(again.output, "never overwritten")) << again.output;
  EXPECT_EQ(before, zq_test::ReadFile(key));
  ASSERT_EQ(0, symlink(key.c_str(), dir.File("link").c_str()));
  EXPECT_EQ(1, RunToEnd({Program("zqmd"), "--init-key", dir.File("link")}).status);

  // 0640 is fine; readable by everyone or writable by the group is not.
  chmod(key.c_str(), 0640);
  const zq_test::ProgramRun groupReadable =
      RunToEnd({Program("zqm"), "--key", key, "call", "--port", "1", "Ping"});
  EXPECT_EQ(1, groupReadable.status);  // nothing listens on port 1
  EXPECT_TRUE(Contains(groupReadable.output, "Connection refused")) << groupReadable.output;
  for (const mode_t mode : {0644u, 0620u}) {
    chmod(key.c_str(), mode);
    const zq_test::ProgramRun refused = RunToEnd({Program("zqmd"), "--key", key});
    EXPECT_EQ(1, refused.status) << refused.output;
    EXPECT_TRUE(Contains(refused.output, "refusing to use it: chmod 600")) << refused.output;
  }
}

TEST(KeyTest, ProgramsWithoutAKeyRefuseToStartAndSayHowToMakeOne) {
  if (access("/etc/zqm/installation.key", F_OK) == 0 && geteuid() == 0) {
    GTEST_SKIP() << "this host has a default key";
  }
  zq_test::TempDir home;
  // No key anywhere: ZQM_KEY_FILE empty counts as unset; the default folder is empty.
  const std::map<std::string, std::string> noKey = {
      {"ZQM_KEY_FILE", ""}, {"HOME", home.Path()}, {"XDG_CONFIG_HOME", home.File("config")}};
  home.Write("config.json", "{}");
  const std::vector<std::vector<std::string>> programs = {
      {Program("zqmd"), "--log-dir", home.File("logs")},
      {Program("almanac"), home.File("config.json")},
      {Program("sample_server"), "--name", "Keyless"},
      {Program("custodel")},
      {Program("zqm"), "servers"},
  };
  for (const auto& args : programs) {
    const zq_test::ProgramRun run = RunToEnd(args, noKey);
    EXPECT_EQ(1, run.status) << args[0] << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, "no installation key")) << args[0] << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, "zqmd --init-key ")) << run.output;
    EXPECT_TRUE(Contains(run.output, "ZQM_KEY_FILE")) << run.output;
    EXPECT_TRUE(Contains(run.output, "ZQM_INSECURE=1")) << run.output;
  }
  // Explicitly insecure, the daemon starts and says so.
  zq_test::ChildProcess insecure({Program("zqmd"), "--log-dir", home.File("logs"), "--insecure"},
                                 noKey);
  EXPECT_TRUE(insecure.WaitForLine("Running without authentication"));
  EXPECT_TRUE(insecure.WaitForLine("Middleware daemon listening")) << insecure.Output();
}

class SecurityTest : public ::testing::Test {
 protected:
  Installation& Install(std::map<std::string, std::string> environment = {}) {
    InstallationOptions options;
    options.environment = std::move(environment);
    installation_ = std::make_unique<Installation>(kConfiguration, std::move(options));
    return *installation_;
  }
  unsigned short AlmanacPort() {
    const ZQ_TList list = installation_->Servers("Almanac");
    EXPECT_EQ(1u, list.Count());
    return static_cast<unsigned short>(
        zq_test::Field<ZQ_TUInt32>(list[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__), "Port"));
  }

  std::unique_ptr<Installation> installation_;
};

TEST_F(SecurityTest, PeersWithAnotherKeyOrNoneAreRefusedBothWays) {
  Installation& installation = Install();
  const std::string otherKey = MakeKey(installation.Dir(), "other.key");
  const std::string almanacPort = std::to_string(AlmanacPort());

  // A client with another key tries to configure a program of its choosing.
  const std::size_t mark = installation.Almanac().LineCount();
  const zq_test::ProgramRun set =
      RunToEnd({Program("zqm"), "--key", otherKey, "call", "--port", almanacPort, "Set",
                "Servers/ZQMD/Servers/Evil/Program", "/bin/sh"});
  EXPECT_EQ(1, set.status) << set.output;
  EXPECT_TRUE(Contains(set.output, "ZQM_EAuthenticationFailed")) << set.output;
  EXPECT_TRUE(Contains(set.output, "key differs")) << set.output;
  ASSERT_TRUE(installation.Almanac().WaitForLine(
      "Closing connection from 127.0.0.1:[0-9]+: authentication failed", 5s, mark))
      << installation.Almanac().Output();
  EXPECT_EQ(1u, CountLines(installation.Almanac(), "Closing connection", mark));
  ZQM_TClient almanac;
  almanac.Connect("", "Almanac", 0, ZQM_TClient::kLocateOnly);
  EXPECT_TRUE(Contains(
      CatchFrom([&] { almanac.RPC("Expand", ZQ_TAny("Servers/ZQMD/Servers/Evil")); }).message,
      "Evil"))
      << "the Set reached the configuration server";
  EXPECT_EQ("ZQM_ENoSuchServer", CatchFrom([] {
                                   ZQM_TClient evil;
                                   evil.Connect("", "Evil", 1, ZQM_TClient::kLocateOrStart);
                                 }).type);

  // A server with another key cannot register with the daemon, nor one
  // without a key.
  for (const std::vector<std::string>& flags :
       {std::vector<std::string>{"--key", otherKey}, std::vector<std::string>{"--insecure"}}) {
    std::vector<std::string> args = {Program("sample_server"), "--name", "Intruder"};
    args.insert(args.end(), flags.begin(), flags.end());
    const zq_test::ProgramRun intruder = RunToEnd(args);
    EXPECT_EQ(1, intruder.status) << intruder.output;
    EXPECT_TRUE(Contains(intruder.output, "ZQM_EAuthenticationFailed") ||
                Contains(intruder.output, "cannot register"))
        << intruder.output;
    EXPECT_TRUE(Contains(intruder.output, flags[0] == "--insecure"
                                              ? "requires authentication, but this program runs "
                                                "without a key"
                                              : "key differs"))
        << intruder.output;
  }
  EXPECT_EQ(0u, installation.Servers("Intruder").Count());

  // A server that cannot prove our key (it takes any proof and answers with
  // its own key's) is refused by the client before any call.
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  std::thread impostor([&] {
    asio::ip::tcp::socket socket(io);
    acceptor.accept(socket);
    zqm_auth::Credentials other;
    other.key = zq_test::ReadFile(otherKey);
    zqm_wire::Hello hello{"ZQMD", 0, 1};
    hello.authenticate = true;
    hello.nonce = zqm_auth::RandomBytes(zqm_auth::kNonceBytes);
    const std::string greeting = zqm_wire::HelloFrame(hello);
    asio::write(socket, asio::buffer(greeting));
    unsigned char header[zqm_wire::kHeaderBytes];
    asio::read(socket, asio::buffer(header));
    std::string payload(zqm_wire::FrameLength(header), '\0');
    asio::read(socket, asio::buffer(payload));
    const zqm_wire::ClientAuth auth =
        zqm_wire::DecodeClientAuth(std::string_view(payload).substr(1));
    const std::string proof = zqm_auth::ServerProof(
        other, std::string_view(greeting).substr(zqm_wire::kHeaderBytes + 1), auth.nonce);
    asio::write(socket, asio::buffer(zqm_wire::ServerAuthFrame(proof)));
    asio::error_code ended;
    asio::read(socket, asio::buffer(header), ended);  // the client hangs up, sending nothing
    EXPECT_EQ(asio::error::eof, ended);
  });
  const zq_test::Caught refused =
      CatchFrom([&] { ZQM_TClient("", acceptor.local_endpoint().port()); });
  impostor.join();
  EXPECT_EQ("ZQM_EAuthenticationFailed", refused.type);
  EXPECT_TRUE(Contains(refused.message, "could not prove that it holds our key"))
      << refused.message;
}

TEST_F(SecurityTest, AKeyInheritedThroughADescriptorIsReadOnceAndClosed) {
  Installation& installation = Install();
  const int sealed = zqm_auth::ChildKeyDescriptor();
  ASSERT_GE(sealed, 0);
  EXPECT_EQ(sealed, zqm_auth::ChildKeyDescriptor());
  EXPECT_NE(0, fcntl(sealed, F_GETFD) & FD_CLOEXEC);
  EXPECT_NE(0, fcntl(sealed, F_GET_SEALS) & F_SEAL_WRITE);
  EXPECT_TRUE(Contains(zq_test::DescriptorTarget(getpid(), sealed), "zqm-installation-key"));
  // As a starter hands it over: descriptor 3 of the child, named by
  // ZQM_KEY_FD, and no key file.
  const int inheritable = dup(sealed);
  const std::string n = std::to_string(inheritable);
  zq_test::ChildProcess server(
      {"/bin/sh", "-c", "exec \"$0\" --name Inherited 3<&" + n + " " + n + "<&-",
       Program("sample_server")},
      {{"ZQM_KEY_FILE", ""}, {"ZQM_KEY_FD", "3"}});
  close(inheritable);
  ASSERT_TRUE(server.WaitForLine("Inherited instance 0 serving on port")) << server.Output();
  EXPECT_EQ(1u, installation.Servers("Inherited").Count());
  for (const int fd : zq_test::OpenDescriptors(server.Pid())) {
    EXPECT_FALSE(Contains(zq_test::DescriptorTarget(server.Pid(), fd), "zqm-installation-key"))
        << "descriptor " << fd << " still holds the key";
  }

  // The daemon hands its key over the same way, also to a server of another
  // user, who could not read the key file (it lies in a folder private to
  // root) and finds no path to it in its environment.
  if (!zq_test::IsRealRoot()) GTEST_SKIP() << "needs the real root to start a server as nobody";
  ZQM_TClient guarded;
  guarded.Connect("", "Guarded", 1, ZQM_TClient::kLocateOrStart);
  EXPECT_EQ(ZQ_TString("pong"), guarded.RPC("Ping").DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  const pid_t pid = static_cast<pid_t>(guarded.Peer().pid);
  EXPECT_EQ(std::to_string(getpwnam("nobody")->pw_uid),
            zq_test::ProcStatus(pid, "Uid").substr(0, zq_test::ProcStatus(pid, "Uid").find('\t')));
  const std::string environment = zq_test::EnvironmentOf(pid);
  EXPECT_TRUE(Contains(environment, "\nZQM_KEY_FD=3\n")) << environment;
  EXPECT_FALSE(Contains(environment, "ZQM_KEY_FILE=")) << environment;
  for (const int fd : zq_test::OpenDescriptors(pid))
    EXPECT_FALSE(Contains(zq_test::DescriptorTarget(pid, fd), "zqm-installation-key")) << fd;
}

TEST_F(SecurityTest, ARecordedHandshakeCannotBeReplayedAndSilentPeersAreClosed) {
  Installation& installation = Install({{"ZQM_HANDSHAKE_TIMEOUT_MS", "300"}});
  zq_test::ChildProcess& daemon = installation.Daemon();
  std::string recorded;
  {
    RawConnection good(ZQM_TClient::kDaemonPort);
    recorded = good.Answer();
  }
  RawConnection replay(ZQM_TClient::kDaemonPort, /*authenticate=*/false);
  const std::size_t mark = daemon.LineCount();
  replay.Send(recorded);
  EXPECT_TRUE(replay.WaitClosed(5s));
  EXPECT_TRUE(daemon.WaitForLine(
      "Closing connection from " + replay.LocalAddress() + ": authentication failed", 5s, mark))
      << daemon.Output();

  // Connected, greeted, silent: closed after the handshake time-out.
  RawConnection silent(ZQM_TClient::kDaemonPort, /*authenticate=*/false);
  const auto start = zq_test::Clock::now();
  EXPECT_TRUE(silent.WaitClosed(5s));
  EXPECT_GE(zq_test::Clock::now() - start, 250ms);
  EXPECT_TRUE(daemon.WaitForLine(
      "Closing connection from " + silent.LocalAddress() + ": no handshake within 300 ms", 5s))
      << daemon.Output();

  // A request in place of the handshake never reaches the daemon's handler.
  RawConnection hasty(ZQM_TClient::kDaemonPort, /*authenticate=*/false);
  ZQ_TDict request;
  request.Set("M", ZQ_TAny("Servers"));
  hasty.Send(zqm_wire::RequestFrame(request));
  EXPECT_TRUE(hasty.WaitClosed(5s));
  EXPECT_TRUE(daemon.WaitForLine(
      "Closing connection from " + hasty.LocalAddress() + ": a request before the handshake", 5s))
      << daemon.Output();
  // An authenticated connection is not bound by that time-out.
  RawConnection idle(ZQM_TClient::kDaemonPort);
  EXPECT_FALSE(idle.WaitClosed(600ms));
}

TEST_F(SecurityTest, TheConnectionLimitRefusesNewConnectionsUntilOneEnds) {
  Installation& installation = Install({{"ZQM_MAX_CONNECTIONS", "3"}});
  zq_test::ChildProcess& daemon = installation.Daemon();
  // The configuration server's registration may still hold a slot for a
  // moment (its end is read by the daemon after our connects): a held
  // connection refused then is opened again.
  std::vector<std::unique_ptr<RawConnection>> held;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (held.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    try {
      held.push_back(std::make_unique<RawConnection>(ZQM_TClient::kDaemonPort));
    } catch (const ZQ_EException&) {
    }
  }
  ASSERT_EQ(3u, held.size()) << daemon.Output();
  const std::size_t mark = daemon.LineCount();
  for (int i = 0; i < 3; ++i) {
    const zq_test::Caught failed = CatchFrom([&] { installation.Servers("*"); });
    EXPECT_EQ("ZQM_EConnectionFailed", failed.type) << failed.message;
    EXPECT_LT(failed.took, 1s);
  }
  ASSERT_TRUE(daemon.WaitForLine("Connection limit of 3 reached on port 8088", 5s, mark))
      << daemon.Output();
  EXPECT_EQ(1u, CountLines(daemon, "Connection limit of 3 reached", mark));
  held.pop_back();
  // Counted from the mark: the registration's end may have said the same
  // while the held connections were being opened.
  EXPECT_TRUE(
      daemon.WaitForLine("Accepting connections again on port 8088 \\(2 open\\)", 10s, mark))
      << daemon.Output();
  EXPECT_NO_THROW(installation.Servers("*"));
}

TEST_F(SecurityTest, AnnouncedLargeFramesTakeNoMemoryUntilTheirBytesArrive) {
  Installation& installation = Install();
  const pid_t daemon = installation.Daemon().Pid();
  installation.Servers("*");
  const long before = VmRssKiB(daemon);
  std::vector<std::unique_ptr<RawConnection>> announcers;
  for (int i = 0; i < 50; ++i) {
    announcers.push_back(std::make_unique<RawConnection>(ZQM_TClient::kDaemonPort));
    announcers.back()->Send(zq_test::Header(zqm_wire::kMaxFrameBytes) + "Q0123456789");
  }
  // Answered after the announcements were read: the daemon serves one
  // connection after another on one thread.
  installation.Servers("*");
  installation.Servers("*");
  const long after = VmRssKiB(daemon);
  ASSERT_GT(before, 0);
  // 50 announced frames of 8 MiB would be 400 MiB; their buffers hold one
  // 64 KiB chunk each at most.
  EXPECT_LT(after - before, 16 * 1024) << before << " KiB before, " << after << " KiB after";
  // Before the handshake, even a modest frame is refused.
  RawConnection stranger(ZQM_TClient::kDaemonPort, /*authenticate=*/false);
  stranger.Send(zq_test::Header(4096));
  EXPECT_TRUE(stranger.WaitClosed(5s));
}

}  // namespace
