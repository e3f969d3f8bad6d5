// The RPC runtime end to end inside one process: a ZQM_TServer serving on a
// thread, clients calling it, and a scripted stand-in for the daemon on port
// 8088. Every test runs in network and PID namespaces of its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <filesystem>

#include <chrono>
#include <thread>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_socket_io.h"
#include "DEVUror/zqm_wire.h"
#include "support/fake_server.h"
#include "support/test_key.h"

namespace {

using namespace std::chrono_literals;
using zq_test::FakeServer;

unsigned short gServerPort = 0;

void Process(ZQM_TServer&, const ZQ_TDict& arguments, ZQ_TAny& result, void*) {
  const ZQ_TString& method = arguments["M"].DynamicCast<ZQ_TString>(__FILE__, __LINE__);
  if (method == "Echo") {
    result = arguments["P1"];
  } else if (method == "Fail") {
    ZQM_ENoSuchServer failure(ZQ_TString("no such thing"));
    failure.ZQ_Data() = ZQ_TAny(99u);
    ZQ_THROW_AT(failure, "server.cc", 12);
  } else if (method == "Sleep") {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(arguments["P1"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__)));
    result = ZQ_TAny(true);
  } else if (method == "Std") {
    throw std::runtime_error("plain std failure");
  } else {
    ZQM_ENoSuchServerMethod unknown(method);
    ZQ_THROW_AT(unknown, __FILE__, __LINE__);
  }
}

// A daemon stand-in that accepts registrations and locates the one server.
class RpcTest : public ::testing::Test {
 protected:
  RpcTest()
      : daemon_(8088, "ZQMD", 0, [](const ZQ_TDict& request) -> ZQ_TAny {
          const std::string method = zq_test::MethodOf(request);
          if (method == "Register") return ZQ_TAny(true);
          if (method == "Locate") {
            ZQ_TDict place;
            place.Set("Port", ZQ_TAny(ZQ_TUInt32(gServerPort)));
            place.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(getpid()))));
            return ZQ_TAny(place);
          }
          ZQM_ENoSuchServerMethod unknown(ZQ_TString(method.c_str()));
          ZQ_THROW_AT(unknown, __FILE__, __LINE__);
        }) {}

  void StartServer() {
    server_.Bind("Alpha", 2, 0, false);
    gServerPort = server_.Port();
    server_.SetProcessor(&Process, nullptr);
    loop_ = std::thread([this] { server_.EventLoop(); });
  }

  ~RpcTest() override {
    if (loop_.joinable()) {
      kill(getpid(), SIGTERM);
      loop_.join();
    }
  }

  FakeServer daemon_;
  ZQM_TServer server_;
  std::thread loop_;
};

TEST_F(RpcTest, BindRegistersNameInstanceProcessAndPort) {
  StartServer();
  const auto requests = daemon_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("Register", zq_test::MethodOf(requests[0]));
  const ZQ_TDict& registration = requests[0]["P1"].DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
  EXPECT_EQ(ZQ_TString("Alpha"), registration["Name"].DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  EXPECT_EQ(2, registration["Instance"].DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__));
  EXPECT_EQ(static_cast<std::uint32_t>(getpid()),
            registration["PID"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
  EXPECT_EQ(server_.Port(), registration["Port"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
}

TEST_F(RpcTest, CallsByPortAndByNameRoundTripValues) {
  StartServer();
  ZQM_TClient byPort(ZQ_TString("localhost"), server_.Port());
  ZQ_TList nested;
  nested.Append(ZQ_TAny("x"));
  nested.Append(ZQ_TAny(ZQ_TUInt16(7)));
  EXPECT_TRUE(byPort.RPC("Echo", ZQ_TAny(nested)).ZQ_IsIdent(ZQ_TAny(nested)));

  ZQM_TClient byName;
  byName.Connect(ZQ_TSocket::HostName(false), ZQ_TString("Alpha"), 2, ZQM_TClient::kLocateOrStart);
  EXPECT_EQ(ZQ_TString("Alpha"), byName.Peer().name);
  EXPECT_EQ(ZQ_TString("hi"),
            byName.RPC("Echo", ZQ_TAny("hi")).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  byName.Reconnect();
  EXPECT_EQ(ZQ_TString("again"),
            byName.RPC("Echo", ZQ_TAny("again")).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

// Clients of this host's daemon, one after another, share one connection
// of the process's pool: no connect and no greeting after the first.
TEST_F(RpcTest, ClientsOfTheLocalDaemonShareAPooledConnection) {
  const auto sockets = [] {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ignored;
      count +=
          std::filesystem::read_symlink(entry.path(), ignored).string().rfind("socket:", 0) == 0;
    }
    return count;
  };
  ZQM_TClient("", ZQM_TClient::kDaemonPort).RPC("Register");
  const std::size_t pooled = sockets();
  for (int i = 0; i < 20; ++i) {
    ZQM_TClient daemon("", ZQM_TClient::kDaemonPort);
    daemon.RPC("Register");
    EXPECT_EQ(pooled, sockets()) << "call " << i << " made a connection of its own";
  }
  // Two at once: the second makes one (two sockets here, the fake daemon
  // being in this process too), and both go back to the pool.
  {
    ZQM_TClient first("", ZQM_TClient::kDaemonPort);
    ZQM_TClient second("", ZQM_TClient::kDaemonPort);
    first.RPC("Register");
    second.RPC("Register");
    EXPECT_EQ(pooled + 2, sockets());
  }
  EXPECT_EQ(pooled + 2, sockets());
  EXPECT_EQ(23u, daemon_.Requests().size());
}

TEST_F(RpcTest, ConnectByNameRefusesAServerOfAnotherName) {
  StartServer();
  ZQM_TClient client;
  try {
    client.Connect("", ZQ_TString("Beta"), 1, ZQM_TClient::kLocateOrStart);
    FAIL() << "connected to the wrong server";
  } catch (const ZQM_EConnectionFailed& e) {
    EXPECT_NE(std::string::npos, e.ZQ_Message().Text().find("Alpha#2")) << e.ZQ_Message().Text();
  }
}

TEST_F(RpcTest, ProcessorFailuresArriveAsTheirOwnClass) {
  StartServer();
  ZQM_TClient client("", server_.Port());
  try {
    client.RPC("Fail");
    FAIL();
  } catch (const ZQM_ENoSuchServer& e) {
    EXPECT_EQ(ZQ_TString("no such thing"), e.ZQ_Message());
    EXPECT_EQ(99u, e.ZQ_Data().DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
    EXPECT_EQ(ZQ_TString("server.cc"), e.ZQ_ExceptionFile());
    ASSERT_EQ(1u, e.ZQ_StackTrace().Count());
  }
  try {
    client.RPC("Frobnicate", ZQ_TAny(1u), ZQ_TAny(2u));
    FAIL();
  } catch (const ZQM_ENoSuchServerMethod& e) {
    EXPECT_EQ(ZQ_TString("Frobnicate"), e.ZQ_Message());
  }
  EXPECT_THROW(client.RPC("Std"), ZQM_EException);
  // The connection survives failed calls.
  EXPECT_EQ(ZQ_TString("ok"),
            client.RPC("Echo", ZQ_TAny("ok")).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

// Sends raw bytes on a fresh connection and reports whether the server
// closed it.
bool ServerClosesAfter(unsigned short port, const std::string& bytes) {
  int fd = zqm_io::Connect(zqm_io::Resolve("", port), zqm_io::After(2000));
  zqm_io::ReceiveFrame(fd, zqm_io::After(2000), "greeting");
  zqm_io::SendAll(fd, bytes, zqm_io::After(2000), "garbage");
  shutdown(fd, SHUT_WR);
  bool closed = false;
  try {
    zqm_io::ReceiveFrame(fd, zqm_io::After(5000), "reply");
  } catch (const ZQM_EConnectionFailed&) {
    closed = true;
  }
  zqm_io::Close(fd);
  return closed;
}

TEST_F(RpcTest, MalformedFramesCloseOnlyTheirConnection) {
  StartServer();
  ZQM_TClient bystander("", server_.Port());
  EXPECT_TRUE(ServerClosesAfter(server_.Port(), std::string("\x7f\xff\xff\xff", 4)));  // oversized
  EXPECT_TRUE(ServerClosesAfter(server_.Port(), std::string("\0\0\0\x0aQ\x06", 6)));   // truncated
  EXPECT_TRUE(
      ServerClosesAfter(server_.Port(), std::string("\0\0\0\x03Q\x06\x09", 7)));  // garbage body
  EXPECT_TRUE(
      ServerClosesAfter(server_.Port(), zqm_wire::ResultFrame(ZQ_TAny(1u))));  // not a request
  EXPECT_EQ(ZQ_TString("still"),
            bystander.RPC("Echo", ZQ_TAny("still")).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
}

TEST_F(RpcTest, CallTimeoutEndsAWaitButLongCallsMayFinish) {
  StartServer();
  ZQM_TClient impatient("", server_.Port());
  impatient.SetCallTimeout(100);
  EXPECT_THROW(impatient.RPC("Sleep", ZQ_TAny(800u)), ZQM_ETimeout);
  EXPECT_FALSE(impatient.IsConnected());

  ZQM_TClient patient("", server_.Port());
  EXPECT_TRUE(patient.RPC("Sleep", ZQ_TAny(1500u)).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
}

TEST_F(RpcTest, SigtermEndsTheLoopAndRefusesNewConnections) {
  StartServer();
  kill(getpid(), SIGTERM);
  loop_.join();
  EXPECT_THROW(ZQM_TClient(), ZQM_EShutdownInProgress);
}

// Failures without any peer; the process still has its key, so that they
// fail for what they test.
class RpcFailures : public ::testing::Test {
 protected:
  void SetUp() override { zq_test::ProcessKeyFile(); }
};

TEST_F(RpcFailures, BindWithoutDaemonSaysSo) {
  ZQM_TServer server;
  try {
    server.Bind("Alpha", 1, 0, false);
    FAIL();
  } catch (const ZQM_EException& e) {
    EXPECT_NE(std::string::npos,
              e.ZQ_Message().Text().find("cannot register with the middleware daemon"))
        << e.ZQ_Message().Text();
  }
}

TEST_F(RpcFailures, RefusedConnectionsAreRetriedAsConfigured) {
  ZQM_TClient client;
  client.SetConnectionAttempts(3);
  client.SetConnectionInterval(50);
  const auto start = std::chrono::steady_clock::now();
  try {
    client.Connect("localhost", 1);
    FAIL();
  } catch (const ZQM_EConnectionFailed& e) {
    EXPECT_NE(std::string::npos, e.ZQ_Message().Text().find("127.0.0.1:1"))
        << e.ZQ_Message().Text();
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_THROW(client.RPC("Echo"), ZQM_EConnectionFailed);
  EXPECT_THROW(ZQM_TClient().Reconnect(), ZQM_EConnectionFailed);
}

}  // namespace
