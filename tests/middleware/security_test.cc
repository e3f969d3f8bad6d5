// The doors of an installation, tried with real processes: key files and
// descriptors, strangers and peers with another key, a squatter on the
// daemon's port while the daemon restarts, a server of another user that
// tries to act as an administrator, floods of connections that never
// authenticate, idle authenticated connections, peers sending huge frames,
// and frames changed or injected into a sealed session.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <memory>
#include <thread>

#include "DEVUror/zqm_identity.h"
#include "middleware/middleware_helpers.h"
#include "support/flood.h"
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
    "Sample": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "NrOfInstances": 2},
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

// Enough descriptors for the many connections a test holds.
void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
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
  chmod(key.c_str(), 0600);

  // Handed over as a descriptor, a file others may read is refused too; a
  // sealed memfd, which has no path, is not.
  const int open = ::open(key.c_str(), O_RDONLY);
  chmod(key.c_str(), 0604);
  const zq_test::ProgramRun inherited =
      RunToEnd({"/bin/sh", "-c", "exec \"$0\" call --port 1 Ping 3<&" + std::to_string(open),
                Program("zqm")},
               {{"ZQM_KEY_FILE", ""}, {"ZQM_KEY_FD", "3"}});
  close(open);
  EXPECT_EQ(1, inherited.status);
  EXPECT_TRUE(Contains(inherited.output, "descriptor 3 (ZQM_KEY_FD) is readable by everyone"))
      << inherited.output;

  // Another user's key file is nobody's to use, whatever its mode.
  if (!zq_test::IsRealRoot()) return;
  chmod(key.c_str(), 0600);
  ASSERT_EQ(0, chown(key.c_str(), getpwnam("nobody")->pw_uid, 0));
  const zq_test::ProgramRun foreign = RunToEnd({Program("zqmd"), "--key", key});
  EXPECT_EQ(1, foreign.status) << foreign.output;
  EXPECT_TRUE(Contains(foreign.output, "neither root nor this user")) << foreign.output;
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
      {Program("zqm"), "--host", "10.9.9.9", "servers"},
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
  unsigned short PortOf(const std::string& name) {
    const ZQ_TList list = installation_->Servers(name);
    EXPECT_EQ(1u, list.Count()) << name;
    return list.Count() == 0 ? 0
                             : static_cast<unsigned short>(zq_test::Field<ZQ_TUInt32>(
                                   list[0].DynamicCast<ZQ_TDict>(__FILE__, __LINE__), "Port"));
  }

  std::unique_ptr<Installation> installation_;
};

TEST_F(SecurityTest, PeersWithAnotherKeyAreRefusedBothWaysBeforeAnyCall) {
  Installation& installation = Install();
  const std::string otherKey = MakeKey(installation.Dir(), "other.key");
  const std::string almanacPort = std::to_string(PortOf("Almanac"));

  // A client with another key tries to configure a program of its choosing.
  const std::size_t mark = installation.Almanac().LineCount();
  const zq_test::ProgramRun set =
      RunToEnd({Program("zqm"), "--key", otherKey, "call", "--port", almanacPort, "Set",
                "Servers/ZQMD/Servers/Evil/Program", "/bin/sh"});
  EXPECT_EQ(1, set.status) << set.output;
  EXPECT_TRUE(Contains(set.output, "ZQM_EAuthenticationFailed")) << set.output;
  EXPECT_TRUE(Contains(set.output, "key differs")) << set.output;
  EXPECT_TRUE(
      Contains(set.output, "the handshake failed: give this program the installation's key"))
      << set.output;
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

  // A server that cannot prove our key (it greets as the daemon and answers
  // with another key's proof) is refused before any call.
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  std::thread impostor([&] {
    asio::ip::tcp::socket socket(io);
    acceptor.accept(socket);
    zqm_handshake::Server other(zqm_auth::FromKey(zq_test::ReadFile(otherKey), "other"),
                                {ZQ_TString(ZQM_TClient::kDaemonName), 0});
    asio::write(socket, asio::buffer(other.Greeting()));
    unsigned char header[zqm_wire::kHeaderBytes];
    asio::read(socket, asio::buffer(header));
    std::string payload(zqm_wire::FrameLength(header), '\0');
    asio::read(socket, asio::buffer(payload));
    // Its key differs: it cannot check our proof and closes, as a real
    // server with another key does.
    EXPECT_THROW(other.Answer(payload), ZQM_EAuthenticationFailed);
  });
  const zq_test::Caught refused =
      CatchFrom([&] { ZQM_TClient("", acceptor.local_endpoint().port()); });
  impostor.join();
  EXPECT_EQ("ZQM_EAuthenticationFailed", refused.type);
  EXPECT_TRUE(Contains(refused.message, "refused our proof")) << refused.message;
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

TEST_F(SecurityTest, ChangedReplayedOrInjectedFramesEndASealedSession) {
  Installation& installation = Install();
  const unsigned short almanac = PortOf("Almanac");
  ZQ_TDict request;
  request.Set("M", ZQ_TAny("KeysAt"));
  request.Set("P1", ZQ_TAny("Servers"));
  const auto closedNaming = [&](RawConnection& raw, std::size_t mark, const char* what) {
    EXPECT_TRUE(raw.WaitClosed(5s)) << what;
    EXPECT_TRUE(installation.Almanac().WaitForLine(
        "Closing connection from " + raw.LocalAddress() + ": frame [0-9]+ does not open", 5s, mark))
        << what << "\n"
        << installation.Almanac().Output();
  };
  {
    RawConnection changed(almanac);
    std::string sealed = changed.Seal(zqm_wire::RequestFrame(request));
    sealed[sealed.size() / 2] ^= 0x20;
    const std::size_t mark = installation.Almanac().LineCount();
    changed.Send(sealed);
    closedNaming(changed, mark, "a changed frame");
  }
  {
    RawConnection replayed(almanac);
    const std::string sealed = replayed.Seal(zqm_wire::RequestFrame(request));
    replayed.Send(sealed);
    EXPECT_EQ(zqm_wire::Kind::kResult, zqm_wire::PayloadKind(replayed.Receive()));
    const std::size_t mark = installation.Almanac().LineCount();
    replayed.Send(sealed);
    closedNaming(replayed, mark, "a replayed frame");
  }
  {
    RawConnection injected(almanac);
    const std::size_t mark = installation.Almanac().LineCount();
    injected.Send(zqm_wire::RequestFrame(request));
    closedNaming(injected, mark, "a plain frame injected");
  }
  // The sealed bytes on the wire do not show what they carry.
  RawConnection watched(almanac);
  EXPECT_FALSE(Contains(watched.Seal(zqm_wire::RequestFrame(request)), "KeysAt"));
}

// While the daemon restarts, port 8088 is free for anybody: a local user
// who binds it first must get nothing from this host's programs, which
// call the daemon through its local socket only. Under socket activation the
// port is never free: the service manager holds it across restarts.
TEST_F(SecurityTest, ASquatterOnTheDaemonsPortDuringARestartIsNeverCalled) {
  Installation& installation = Install();
  installation.Daemon().Signal(SIGTERM);
  ASSERT_EQ(0, installation.Daemon().WaitForExit());
  asio::io_context io;
  asio::ip::tcp::acceptor squatter(io, {asio::ip::address_v4::loopback(), 8088});
  squatter.non_blocking(true);
  const zq_test::ProgramRun status = installation.Run("zqm", {"servers"});
  EXPECT_EQ(1, status.status) << status.output;
  EXPECT_TRUE(Contains(status.output, installation.SocketPath())) << status.output;
  const zq_test::ProgramRun server =
      installation.Run("sample_server", {"--name", "Newcomer", "--instance", "1"});
  EXPECT_EQ(1, server.status) << server.output;
  asio::ip::tcp::socket accepted(io);
  asio::error_code nothing;
  squatter.accept(accepted, nothing);
  EXPECT_EQ(asio::error::would_block, nothing) << "a local program called the squatter";

  // Socket activation, as systemd does it: the sockets stay open in the
  // service manager (here: this test) while the daemon is away.
  squatter.close();
  asio::ip::tcp::acceptor held(io, {asio::ip::address_v4::loopback(), 8088});
  const int local = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", installation.SocketPath().c_str());
  unlink(address.sun_path);
  ASSERT_EQ(0, bind(local, reinterpret_cast<const sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(local, 16));
  const std::string activate = "exec 3<&" + std::to_string(held.native_handle()) + " 4<&" +
                               std::to_string(local) +
                               "; LISTEN_PID=$$ LISTEN_FDS=2 exec \"$0\" --log-dir \"$1\"";
  for (int round = 0; round < 2; ++round) {
    zq_test::ChildProcess activated(
        {"/bin/sh", "-c", activate, Program("zqmd"), installation.LogDir()},
        {{"ZQM_KEY_FILE", installation.KeyFile()}});
    ASSERT_TRUE(
        activated.WaitForLine("sockets of the service manager \\(port 8088, the local "
                              "socket\\)"))
        << activated.Output();
    EXPECT_NO_THROW(installation.Servers("*"));
    EXPECT_EQ(ZQ_TString("ZQMD"), ZQM_TClient("127.0.0.1", 8088).Peer().name);
    activated.Signal(SIGTERM);
    ASSERT_EQ(0, activated.WaitForExit()) << activated.Output();
    asio::ip::tcp::acceptor again(io);
    again.open(asio::ip::tcp::v4());
    asio::error_code taken;
    again.bind({asio::ip::address_v4::loopback(), 8088}, taken);
    EXPECT_EQ(asio::error::address_in_use, taken) << "the port was free during the restart";
  }
  close(local);
}

// A server run as another user holds an identity of its own, never the key:
// whatever it (or anybody of its user) takes from its descriptors or memory
// makes it a server, which may not change the configuration, end instances
// or steer the service; and it may register only itself.
TEST_F(SecurityTest, AServerOfAnotherUserCanActOnlyAsItself) {
  if (!zq_test::IsRealRoot()) GTEST_SKIP() << "needs the real root to start a server as nobody";
  Installation& installation = Install();
  auto custodel = installation.StartCustodel();
  ASSERT_TRUE(custodel->WaitForLine("Sample\" instance 1 is running", 20s)) << custodel->Output();
  ZQM_TClient guarded;
  guarded.Connect("", "Guarded", 1, ZQM_TClient::kLocateOrStart);
  EXPECT_EQ(ZQ_TString("pong"), guarded.RPC("Ping").DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  const pid_t pid = static_cast<pid_t>(guarded.Peer().pid);
  const std::string nobody = std::to_string(getpwnam("nobody")->pw_uid);
  EXPECT_EQ(nobody + "\t", zq_test::ProcStatus(pid, "Uid").substr(0, nobody.size() + 1));
  const std::string environment = zq_test::EnvironmentOf(pid);
  EXPECT_TRUE(Contains(environment, "\nZQM_IDENTITY_FD=3\n")) << environment;
  EXPECT_FALSE(Contains(environment, "ZQM_KEY_")) << environment;
  for (const int fd : zq_test::OpenDescriptors(pid)) {
    EXPECT_FALSE(Contains(zq_test::DescriptorTarget(pid, fd), "zqm-identity"))
        << "descriptor " << fd << " still holds the identity";
  }

  // All it could take: an identity of Guarded#1 from this installation.
  const auto key = zqm_auth::Current();
  installation.Dir().Write("guarded.identity",
                           zqm_identity::Serialize(zqm_identity::Issue(
                               key->key, {key->installationPublicKey, key->installationSecretKey},
                               "Guarded", 1, ZQ_TSocket::HostName(false).Text())));
  const std::string identity = installation.Dir().File("guarded.identity");
  const auto asGuardedCall = [&](const std::vector<std::string>& words) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 3<\"" + identity + "\"",
                                     Program("zqm")};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunToEnd(argv, {{"ZQM_KEY_FILE", ""}, {"ZQM_IDENTITY_FD", "3"}});
  };
  const std::string almanac = std::to_string(PortOf("Almanac"));
  const std::string service = std::to_string(PortOf("Custodel"));
  struct Attempt {
    std::vector<std::string> words;
    const char* method;
  } attempts[] = {
      {{"call", "--port", almanac, "Set", "Servers/ZQMD/Servers/Evil/Program", "/bin/sh"}, "Set"},
      {{"call", "--port", service, "Stop"}, "Stop"},
  };
  for (const Attempt& attempt : attempts) {
    const zq_test::ProgramRun run = asGuardedCall(attempt.words);
    EXPECT_EQ(1, run.status) << run.output;
    EXPECT_TRUE(Contains(run.output, "ZQM_EAccessDenied")) << run.output;
    EXPECT_TRUE(Contains(run.output, std::string("server Guarded#1 (127.0.0.1:"))) << run.output;
    EXPECT_TRUE(Contains(run.output, std::string("may not call \"") + attempt.method))
        << run.output;
  }
  // Reading is what a server may do.
  EXPECT_EQ(0, asGuardedCall({"call", "--port", almanac, "KeysAt", "Servers"}).status);
  // The daemon's port, as another host's server would reach it.
  auto guardedIdentity = std::make_shared<zqm_auth::Credentials>();
  guardedIdentity->identity.emplace(
      zqm_identity::Parse(zq_test::ReadFile(installation.Dir().File("guarded.identity"))));
  guardedIdentity->installationPublicKey = key->installationPublicKey;
  RawConnection daemonPort(ZQM_TClient::kDaemonPort, true, guardedIdentity);
  ZQ_TDict end;
  end.Set("M", ZQ_TAny("EndInstance"));
  end.Set("P1", ZQ_TAny("Sample"));
  end.Set("P2", ZQ_TAny(ZQ_TUInt16(1)));
  daemonPort.Send(daemonPort.Seal(zqm_wire::RequestFrame(end)));
  const std::string answer = daemonPort.Receive();
  ASSERT_EQ(zqm_wire::Kind::kFailure, zqm_wire::PayloadKind(answer));
  std::unique_ptr<ZQ_EException> denied(
      zqm_wire::DecodeFailure(std::string_view(answer).substr(1)));
  EXPECT_EQ("ZQM_EAccessDenied", std::string(denied->ClassName()));
  const auto sample = installation.PidOf("Sample", 1);
  ASSERT_TRUE(sample);
  EXPECT_TRUE(zq_test::IsRunning(*sample));

  // Locally, the daemon knows a process of nobody that is no instance as a
  // stranger, and the server itself as what it is.
  const zq_test::ProgramRun stranger =
      RunToEnd({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                Program("zqm"), "restart", "Sample:1"},
               {{"ZQM_KEY_FILE", ""}});
  EXPECT_EQ(1, stranger.status) << stranger.output;
  EXPECT_TRUE(Contains(stranger.output, "stranger (uid " + nobody)) << stranger.output;
  EXPECT_TRUE(Contains(stranger.output, "not allowed for this user")) << stranger.output;
  EXPECT_EQ(*sample, installation.PidOf("Sample", 1).value_or(0));
  EXPECT_TRUE(installation.Daemon().WaitForLine("Refused: stranger \\(uid " + nobody))
      << installation.Daemon().Output();
}

// Connections that never authenticate have a budget of their own: a flood
// of them neither keeps this host's programs from the daemon nor a killed
// instance from its restart, and the trace sums them up.
TEST_F(SecurityTest, AFloodOfStrangersStarvesNobody) {
  RaiseDescriptorLimit();
  Installation& installation = Install({{"ZQM_HANDSHAKE_TIMEOUT_MS", "500"}});
  auto custodel = installation.StartCustodel();
  ASSERT_TRUE(custodel->WaitForLine("Sample\" instance 1 is running", 20s)) << custodel->Output();
  // A local user other than root where the test can be one: root passes a
  // source's budget.
  const std::optional<uid_t> stranger =
      zq_test::IsRealRoot() ? std::optional<uid_t>(getpwnam("nobody")->pw_uid) : std::nullopt;
  zq_test::Flood flood(8088, stranger);
  const std::size_t mark = installation.Daemon().LineCount();
  for (unsigned instance = 1; instance <= 2; ++instance) {
    const std::string name = "Sample\" instance " + std::to_string(instance);
    const pid_t before = installation.PidOf("Sample", instance).value_or(0);
    ASSERT_NE(0, before);
    const std::size_t since = custodel->LineCount();
    ASSERT_EQ(0, kill(before, SIGKILL));
    const auto died = custodel->WaitForLine(name + " has died", 10s, since);
    ASSERT_TRUE(died) << custodel->Output();
    EXPECT_TRUE(custodel->WaitForLine(name + " is running", 10s, *died))
        << "not restarted during the flood\n"
        << custodel->Output();
    EXPECT_NE(before, installation.PidOf("Sample", instance).value_or(before));
  }
  EXPECT_EQ(0, installation.Run("zqm", {"status"}).status);
  // Root reaches the port over TCP, as from another host, whoever floods it.
  if (stranger) {
    EXPECT_NO_THROW(RawConnection(ZQM_TClient::kDaemonPort));
  }
  EXPECT_TRUE(installation.Daemon().WaitForLine(
      "more connections were closed or refused in 10 s: .*refused: over", 15s, mark))
      << installation.Daemon().Output();
  EXPECT_GT(flood.Stop(), 1000u);
  // One line per connection would be many thousands: at most five a second
  // interval are written.
  EXPECT_LT(CountLines(installation.Daemon(), "Closing connection from", mark), 30u);
}

// Authenticated connections have a cap per identity and an idle time-out;
// frames in flight a budget for the whole process: a peer that would pass
// it is closed, never the daemon.
TEST_F(SecurityTest, KeyHoldersCannotExhaustTheDaemonWithConnectionsOrFrames) {
  RaiseDescriptorLimit();
  Installation& installation =
      Install({{"ZQM_MAX_PER_IDENTITY", "200"}, {"ZQM_IDLE_TIMEOUT_MS", "4000"}});
  zq_test::ChildProcess& daemon = installation.Daemon();
  ZQM_TClient().Connect("", "Sample", 1, ZQM_TClient::kLocateOrStart);
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 1500; ++i) {
    try {
      idle.push_back(std::make_unique<RawConnection>(ZQM_TClient::kDaemonPort));
    } catch (const ZQ_EException&) {  // closed at once: over the identity's cap
    }
  }
  // Those that came over the cap were closed at once; a slow run may have
  // seen early ones end idle meanwhile, and later ones take their place.
  std::size_t open = 0;
  for (auto& connection : idle)
    open += connection->WaitClosed(0ms) ? 0 : 1;
  EXPECT_LE(open, 200u);
  EXPECT_GE(idle.size(), 200u);
  EXPECT_LT(idle.size(), 1500u);
  EXPECT_NO_THROW(installation.Servers("*"));
  EXPECT_EQ(0, installation.Run("zqm", {"restart", "Sample:1"}).status);
  // Idle ones end after their time-out.
  for (auto& connection : idle)
    EXPECT_TRUE(connection->WaitClosed(10s));
  idle.clear();

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
  const rlimit twoGiB{2ul << 30, 2ul << 30};
  ASSERT_EQ(0, prlimit(daemon.Pid(), RLIMIT_AS, &twoGiB, nullptr));
  const long before = VmRssKiB(daemon.Pid());
  const std::string frame =
      zq_test::Header(zqm_wire::kMaxFrameBytes) + std::string(zqm_wire::kMaxFrameBytes, 'Q');
  std::vector<std::thread> senders;
  for (int t = 0; t < 10; ++t) {
    senders.emplace_back([&] {
      for (int i = 0; i < 30; ++i) {
        try {
          RawConnection sender(ZQM_TClient::kDaemonPort);
          sender.Send(frame);
        } catch (const ZQ_EException&) {  // closed while sending: over the budget
        }
      }
    });
  }
  for (std::thread& sender : senders)
    sender.join();
  EXPECT_NO_THROW(installation.Servers("*"));
  EXPECT_TRUE(zq_test::IsRunning(daemon.Pid()));
  EXPECT_LT(VmRssKiB(daemon.Pid()) - before, 160 * 1024) << "KiB more after the frames";
  EXPECT_TRUE(daemon.WaitForLine("frames in flight would pass the budget", 15s)) << daemon.Output();
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
  stranger.Send(zq_test::Header(zqm_wire::kMaxHandshakeFrameBytes + 1));
  EXPECT_TRUE(stranger.WaitClosed(5s));
}

}  // namespace
