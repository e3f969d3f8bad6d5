// The daemon and configuration server proxies against scripted stand-ins:
// which host they choose, what they send, and how their checked casts fail.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "Almanac/Server/almanac_tproxy.h"
#include "DEVUror/zqm_tproxy.h"
#include "support/fake_server.h"

namespace {

using zq_test::FakeServer;

// A configuration server stand-in plus a daemon stand-in that locates it.
class ProxyTest : public ::testing::Test {
 protected:
  ProxyTest()
      : almanac_(0, "Almanac", 0, [this](const ZQ_TDict&) { return reply_; }),
        daemon_(8088, "ZQMD", 0, [this](const ZQ_TDict& request) -> ZQ_TAny {
          if (zq_test::MethodOf(request) == "Locate") {
            ZQ_TDict place;
            place.Set("Port", ZQ_TAny(ZQ_TUInt32(almanac_.Port())));
            place.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(getpid()))));
            return ZQ_TAny(place);
          }
          return reply_;
        }) {
    unsetenv("ZQ_SERVER");
  }

  ZQ_TAny reply_;
  FakeServer almanac_;
  FakeServer daemon_;
};

TEST_F(ProxyTest, HostArgumentWinsOverTheEnvironment) {
  setenv("ZQ_SERVER", "no-such-host.invalid", 1);
  reply_ = ZQ_TAny("RunAsMaster");
  ZQM_TProxy daemon("localhost");
  EXPECT_EQ(ZQ_TString("RunAsMaster"), daemon.GetServerConfiguration());
  EXPECT_EQ(ZQ_TString("ZQMD"), daemon.Peer().name);
}

TEST_F(ProxyTest, EnvironmentNamesTheHostWhenNoneIsGiven) {
  setenv("ZQ_SERVER", "no-such-host.invalid", 1);
  for (const char* host : {static_cast<const char*>(nullptr), ""}) {
    try {
      ZQM_TProxy daemon(host);
      FAIL() << "connected without a reachable host";
    } catch (const ZQM_EConnectionFailed& e) {
      EXPECT_NE(std::string::npos, e.ZQ_Message().Text().find("no-such-host.invalid"))
          << e.ZQ_Message().Text();
    }
  }
  setenv("ZQ_SERVER", "", 1);  // set but empty: this host
  reply_ = ZQ_TAny("");
  EXPECT_EQ(ZQ_TString(""), ZQM_TProxy("").GetServerConfiguration());
  unsetenv("ZQ_SERVER");
  EXPECT_EQ(ZQ_TString(""), ZQM_TProxy(nullptr).GetServerConfiguration());
}

TEST_F(ProxyTest, DaemonProxyCastsItsReplyAtItsOwnSite) {
  reply_ = ZQ_TAny(5u);
  ZQM_TProxy daemon("");
  try {
    daemon.GetServerConfiguration();
    FAIL();
  } catch (const ZQ_EBadCast& e) {
    EXPECT_EQ(ZQ_TString("DEVUror/zqm_tproxy"), e.ZQ_ExceptionFile());
    EXPECT_EQ(81u, e.ZQ_ExceptionLine());
    EXPECT_NE(std::string::npos, e.ZQ_Message().Text().find("ZQ_TString"));
  }
  const auto requests = daemon_.Requests();
  EXPECT_EQ("GetServerConfiguration", zq_test::MethodOf(requests.back()));
  EXPECT_EQ(1u, requests.back().Count());  // the method name and no argument
}

TEST_F(ProxyTest, ConfigurationProxyLocatesAlmanacInstanceZero) {
  Almanac_TProxy almanac("");
  const ZQ_TDict locate = daemon_.Requests().at(0);
  EXPECT_EQ("Locate", zq_test::MethodOf(locate));
  EXPECT_EQ(ZQ_TString("Almanac"), locate["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  EXPECT_EQ(0, locate["P2"].DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__));
  EXPECT_EQ(0u, locate["P3"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
}

TEST_F(ProxyTest, ElementSendsPathThenFlag) {
  Almanac_TProxy almanac("");
  reply_ = ZQ_TAny(true);
  EXPECT_TRUE(
      almanac.Element("Devices/Instances/D1", false).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  const ZQ_TDict call = almanac_.Requests().back();
  EXPECT_EQ("[]", zq_test::MethodOf(call));
  EXPECT_EQ(3u, call.Count());
  EXPECT_EQ(ZQ_TString("Devices/Instances/D1"),
            call["P1"].DynamicCast<ZQ_TString>(__FILE__, __LINE__));
  EXPECT_FALSE(call["P2"].DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
}

TEST_F(ProxyTest, ExpandPassesAnyReplyKeysAtChecksForAList) {
  Almanac_TProxy almanac("");
  reply_ = ZQ_TAny("just a text");
  EXPECT_TRUE(almanac.Expand("Servers/ZQMD/Servers/").HasSuperclass("ZQ_TString"));
  try {
    almanac.KeysAt("Devices/Instances");
    FAIL();
  } catch (const ZQ_EBadCast& e) {
    EXPECT_EQ(ZQ_TString("Almanac/Server/almanac_tproxy"), e.ZQ_ExceptionFile());
    EXPECT_EQ(50u, e.ZQ_ExceptionLine());
  }
  reply_ = ZQ_TAny(ZQ_TList());
  EXPECT_EQ(0u, almanac.KeysAt("Devices/Instances").Count());
}

}  // namespace
