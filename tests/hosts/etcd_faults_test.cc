// The configuration servers of an installation on a three-member etcd
// cluster, a member on each of three hosts, while members freeze, are cut
// off, lose their leader or their quorum: no configuration server believes
// a member that cannot speak for the cluster, each says when what it serves
// may be stale, and one started while etcd is away serves its saved copy.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <future>
#include <nlohmann/json.hpp>

#include "Almanac/Server/almanac_tproxy.h"
#include "support/etcd_server.h"
#include "support/hosts.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::ChildProcess;
using zq_test::EtcdServer;
using zq_test::Installation;
using zq_test::Program;

const char* const kTree = R"({"Servers": {"ZQMD": {"Servers": {}}}, "Settings": {"value": 0}})";

// The changes made elsewhere are served within a few seconds: the member's
// 2 s and the watch's checks, with room for a loaded machine.
constexpr auto kFollowWithin = 15s;

// A host with its daemon and its configuration server on the cluster, its
// own member first.
struct Site {
  Site(zq_test::Host& where, const std::string& keyFile)
      : host(where), installation(kTree, [&] {
          zq_test::InstallationOptions options;
          options.host = &where;
          options.startAlmanac = false;
          options.keyFile = keyFile;
          return options;
        }()) {}

  void StartAlmanac(const std::string& etcdUrls) {
    const std::size_t seen = installation.Daemon().LineCount();
    almanac = installation.Start("almanac", {"--etcd", etcdUrls});
    if (!installation.WaitForBound("Almanac", 0, seen, 30s))
      throw std::runtime_error("almanac did not bind; output:\n" + almanac->Output());
  }

  void Set(const char* path, unsigned value) {
    Almanac_TProxy(host.Address().c_str())
        .RPC(ZQ_TString("Set"), ZQ_TAny(ZQ_TString(path)), ZQ_TAny(value));
  }

  ZQ_TAny Value(unsigned timeoutMs = 0) const {
    Almanac_TProxy proxy(host.Address().c_str());
    if (timeoutMs != 0) proxy.SetCallTimeout(timeoutMs);
    return proxy.Element("Settings/value", false);
  }

  // The same, for steps that must succeed: a refusal fails the test with
  // its text and what the configuration server printed.
  void MustSet(const char* path, unsigned value) {
    try {
      Set(path, value);
    } catch (const ZQM_EException& refused) {
      throw std::runtime_error("Set refused: " + refused.ZQ_Message().Text() + "\nalmanac:\n" +
                               almanac->Output());
    }
  }
  ZQ_TAny MustRead() const {
    try {
      return Value();
    } catch (const ZQM_EException& refused) {
      throw std::runtime_error("read refused: " + refused.ZQ_Message().Text() + "\nalmanac:\n" +
                               almanac->Output());
    }
  }

  // Waits until the configuration server serves a change made elsewhere.
  bool FollowsFrom(std::size_t seen) const {
    return almanac->WaitForLine("Configuration etcd .* changed", kFollowWithin, seen).has_value();
  }

  nlohmann::json Status() const {
    const zq_test::ProgramRun run = installation.Run("zqm", {"status", "--json"}, 60s);
    if (run.status != 0) throw std::runtime_error("zqm status failed:\n" + run.output);
    return nlohmann::json::parse(run.output);
  }

  zq_test::Host& host;
  Installation installation;
  std::unique_ptr<ChildProcess> almanac;
};

class EtcdFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!EtcdServer::Installed())
      GTEST_SKIP() << EtcdServer::kProgram << " is missing (Debian's etcd-server; scripts/deps)";
    etcd = std::make_unique<zq_test::EtcdCluster>(
        dir.Path(), std::vector<const zq_test::Host*>{&hostA, &hostB, &hostC});
    zq_test::RunCommand({Program("almanac"), "--etcd", etcd->UrlList(), "--import",
                         a.installation.Dir().File("config.json")});
    a.StartAlmanac(etcd->UrlList(0));
    c.StartAlmanac(etcd->UrlList(2));
  }

  zq_test::Network network;
  zq_test::Host& hostA = network.AddHost();
  zq_test::Host& hostB = network.AddHost();
  zq_test::Host& hostC = network.AddHost();
  zq_test::TempDir dir;
  std::unique_ptr<zq_test::EtcdCluster> etcd;
  Site a{hostA, ""};
  Site c{hostC, a.installation.KeyFile()};
};

TEST_F(EtcdFaults, AFrozenOrCutMemberIsLeftAndALeaderLostDuringASetIsRetried) {
  // A's own member freezes: A's Set and A's watch move on to the others,
  // each saying so once; a Set through C reaches A.
  etcd->Member(0).Process().Signal(SIGSTOP);
  std::size_t seen = a.almanac->LineCount();
  a.MustSet("Settings/value", 1);
  EXPECT_TRUE(a.almanac->WaitForLine("etcd requests: .* answered instead", 1s, seen))
      << a.almanac->Output();
  EXPECT_TRUE(a.almanac->WaitForLine("The watch of etcd failed", kFollowWithin, seen))
      << a.almanac->Output();
  EXPECT_TRUE(a.almanac->WaitForLine("Following the changes of etcd through", kFollowWithin, seen));
  seen = a.almanac->LineCount();
  c.MustSet("Settings/value", 2);
  EXPECT_TRUE(a.FollowsFrom(seen)) << a.almanac->Output();
  EXPECT_TRUE(ZQ_TAny(2u).ZQ_IsIdent(a.MustRead()));
  etcd->Member(0).Process().Signal(SIGCONT);

  // B's host, where A's watch went, is cut off: A's watch leaves its member
  // (which cannot reach a leader) and follows C's Set all the same.
  seen = a.almanac->LineCount();
  hostB.SetLink(false);
  c.MustSet("Settings/value", 3);
  EXPECT_TRUE(a.FollowsFrom(seen)) << a.almanac->Output();
  EXPECT_TRUE(ZQ_TAny(3u).ZQ_IsIdent(a.MustRead()));
  hostB.SetLink(true);
  EXPECT_EQ(std::string::npos, a.almanac->Output().find("may be stale")) << a.almanac->Output();

  // The leader dies just before a Set: etcd refuses while it elects
  // another ("leader changed", "no leader"), and the Set is tried again.
  seen = c.almanac->LineCount();
  etcd->Member(etcd->Leader()).Kill();
  a.MustSet("Settings/value", 4);
  EXPECT_TRUE(ZQ_TAny(4u).ZQ_IsIdent(a.MustRead()));
  EXPECT_TRUE(c.FollowsFrom(seen)) << c.almanac->Output();
  EXPECT_TRUE(ZQ_TAny(4u).ZQ_IsIdent(c.MustRead()));
}

TEST_F(EtcdFaults, ReadsAreAnsweredWhileASetWaitsForFrozenMembers) {
  a.Set("Settings/value", 5);
  for (std::size_t member = 0; member < 3; ++member)
    etcd->Member(member).Process().Signal(SIGSTOP);
  std::size_t seen = a.almanac->LineCount();
  std::future<void> set = std::async(std::launch::async, [&] { a.Set("Settings/value", 8); });
  // The watch notices the frozen member within its checks, while the Set,
  // sent before, still waits through the members in turn.
  ASSERT_TRUE(a.almanac->WaitForLine("The watch of etcd failed", kFollowWithin, seen))
      << a.almanac->Output();
  EXPECT_TRUE(ZQ_TAny(5u).ZQ_IsIdent(a.Value(/*timeoutMs=*/1500)));
  EXPECT_EQ(std::future_status::timeout, set.wait_for(0s));
  try {
    set.get();
    ADD_FAILURE() << "a Set with every member frozen succeeded";
  } catch (const ZQM_EException& refused) {
    EXPECT_NE(std::string::npos,
              refused.ZQ_Message().Text().find("cannot store \"Settings/value\""))
        << refused.ZQ_Message().Text();
    EXPECT_EQ(std::string::npos, refused.ZQ_Message().Text().find("nothing is stored until"))
        << "the Set was not under way: " << refused.ZQ_Message().Text();
  }

  // Back, etcd takes the next Set as usual. The watch has tried every
  // frozen member in turn by then.
  ASSERT_TRUE(a.almanac->WaitForLine("etcd cannot be reached .* which may be stale", 30s, seen))
      << a.almanac->Output();
  for (std::size_t member = 0; member < 3; ++member)
    etcd->Member(member).Process().Signal(SIGCONT);
  EXPECT_TRUE(a.almanac->WaitForLine("etcd answers again: read", 30s, seen)) << a.almanac->Output();
  a.Set("Settings/value", 9);
  EXPECT_TRUE(ZQ_TAny(9u).ZQ_IsIdent(a.Value()));
}

TEST_F(EtcdFaults, QuorumLostAndBackAndAStartWithNoMemberServesTheSavedCopy) {
  a.Set("Settings/value", 5);
  const std::string copy = a.installation.Dir().File("almanac-cache.json");
  struct stat saved {};
  ASSERT_EQ(0, stat(copy.c_str(), &saved));
  EXPECT_EQ(0600u, saved.st_mode & 0777);

  // Two of three members gone: a Set says that etcd has no quorum, what
  // was read is still served, as possibly stale, and zqm status says so.
  const std::size_t seen = a.almanac->LineCount();
  etcd->Member(1).Process().Signal(SIGSTOP);
  etcd->Member(2).Kill();
  try {
    a.Set("Settings/value", 6);
    ADD_FAILURE() << "a Set without a quorum succeeded";
  } catch (const ZQM_EException& refused) {
    EXPECT_NE(std::string::npos,
              refused.ZQ_Message().Text().find("etcd has no quorum: 1 of 3 members reachable"))
        << refused.ZQ_Message().Text();
  }
  EXPECT_TRUE(
      a.almanac->WaitForLine("etcd cannot be reached .* which may be stale", kFollowWithin, seen))
      << a.almanac->Output();
  EXPECT_TRUE(ZQ_TAny(5u).ZQ_IsIdent(a.Value()));
  EXPECT_NE(0, a.Status().value("ConfigurationStaleSince", 0LL));
  // Known to be away, etcd is not waited for: the Set fails at once.
  try {
    a.Set("Settings/value", 6);
    ADD_FAILURE() << "a Set while etcd is away succeeded";
  } catch (const ZQM_EException& refused) {
    EXPECT_NE(std::string::npos, refused.ZQ_Message().Text().find("nothing is stored until"))
        << refused.ZQ_Message().Text();
  }

  // Restarted with no member at all, A serves its saved copy and says so.
  a.almanac->Signal(SIGTERM);
  ASSERT_TRUE(a.almanac->WaitForExit());
  etcd->Member(0).Kill();
  a.StartAlmanac(etcd->UrlList(0));
  EXPECT_TRUE(a.almanac->WaitForLine("serving the copy saved at .* which may be stale"))
      << a.almanac->Output();
  EXPECT_TRUE(ZQ_TAny(5u).ZQ_IsIdent(a.Value()));
  const nlohmann::json stale = a.Status();
  EXPECT_NE(0, stale.value("ConfigurationStaleSince", 0LL)) << stale.dump();
  EXPECT_NE(std::string::npos,
            stale.value("ConfigurationStaleWhy", "").find("no etcd member can be reached"))
      << stale.dump();

  // The quorum back: A reads etcd again, is current, and Sets work.
  etcd->Member(1).Process().Signal(SIGCONT);
  etcd->Member(0).Start();
  EXPECT_TRUE(a.almanac->WaitForLine("etcd answers again: read", 30s)) << a.almanac->Output();
  EXPECT_FALSE(a.Status().contains("ConfigurationStaleSince"));
  a.Set("Settings/value", 7);
  EXPECT_TRUE(ZQ_TAny(7u).ZQ_IsIdent(a.Value()));
}

}  // namespace
