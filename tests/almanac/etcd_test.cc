// The configuration server on etcd: two of them, on two hosts, share one
// tree, and each keeps serving while etcd is away.
#include <gtest/gtest.h>

#include "Almanac/Server/almanac_tproxy.h"
#include "Almanac/Server/config_file.h"
#include "Almanac/Server/etcd_client.h"
#include "support/etcd_server.h"
#include "support/hosts.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using zq_test::EtcdServer;
using zq_test::Installation;
using zq_test::InstallationOptions;
using zq_test::Network;
using zq_test::Program;

// Keys out of alphabetical order, every kind, an empty subtree, and a server
// that a daemon starts from what etcd holds.
const char* const kConfiguration = R"({
  "Servers": { "ZQMD": { "Servers": { "Sample": { "Program": "@BIN@/sample_server" } } } },
  "Settings": { "zeta": {"b": 2, "a": "one", "none": {}}, "alpha": true, "mid": ["x", {"q": 1}] }
})";

const char* const kPrefix = "/custodel/config/";

std::vector<std::string> KeysIn(const std::string& url) {
  almanac::etcd::Client etcd({url});
  std::vector<std::string> keys;
  for (const auto& kv : etcd.Range(kPrefix, almanac::etcd::PrefixEnd(kPrefix), true).kvs)
    keys.push_back(kv.key);
  return keys;
}

void Set(Almanac_TProxy& almanac, const char* path, const ZQ_TAny& value) {
  almanac.RPC(ZQ_TString("Set"), ZQ_TAny(ZQ_TString(path)), value);
}

TEST(AlmanacOnEtcd, HostsShareOneTreeThatOutlivesAnEtcdOutage) {
  if (!EtcdServer::Installed()) {
    GTEST_SKIP() << EtcdServer::kProgram << " is missing (Debian's etcd-server; scripts/deps)";
  }
  Network network;
  zq_test::Host& other = network.AddHost();
  zq_test::TempDir dir;
  EtcdServer etcd(dir.File("etcd"), {"127.0.0.1", Network::kTestAddress});

  InstallationOptions here;
  here.startAlmanac = false;
  Installation local(kConfiguration, here);
  const std::string file = local.Dir().File("config.json");
  zq_test::RunCommand({Program("almanac"), "--etcd", etcd.Url(), "--import", file});
  auto almanac = local.Start("almanac", {"--etcd", etcd.Url()});
  ASSERT_TRUE(local.WaitForBound("Almanac", 0)) << almanac->Output();

  InstallationOptions there = here;
  there.host = &other;
  there.keyFile = local.KeyFile();
  Installation remote(kConfiguration, there);
  auto remoteAlmanac = remote.Start("almanac", {"--etcd", EtcdServer::Url(Network::kTestAddress)});
  ASSERT_TRUE(remote.WaitForBound("Almanac", 0)) << remoteAlmanac->Output();

  // Served as the file would be: every kind, every key in its order.
  Almanac_TProxy proxy("");
  EXPECT_TRUE(ZQ_TAny(almanac::LoadConfigFile(file)).ZQ_IsIdent(proxy.Expand("")))
      << proxy.Expand("");
  // The other host's daemon starts a server from the tree in etcd.
  ZQM_TClient sample;
  sample.Connect(remote.Address(), "Sample", 1, ZQM_TClient::kLocateOrStart);

  // A Set is one key, which the other host's server serves at once, and
  // its daemon is told.
  const std::vector<std::string> keysBefore = KeysIn(etcd.Url());
  Set(proxy, "Settings/added", ZQ_TAny(9u));
  std::vector<std::string> keysAfter = KeysIn(etcd.Url());
  std::erase(keysAfter, std::string(kPrefix) + "Settings/added");
  EXPECT_EQ(keysBefore, keysAfter);
  EXPECT_TRUE(remoteAlmanac->WaitForLine("Configuration etcd .* changed"))
      << remoteAlmanac->Output();
  EXPECT_TRUE(remote.Daemon().WaitForLine(
      "Launch configurations will be read again: the configuration has changed"));
  Almanac_TProxy remoteProxy(remote.Address().c_str());
  EXPECT_TRUE(ZQ_TAny(9u).ZQ_IsIdent(remoteProxy.Element("Settings/added", false)));

  // Without etcd: the last tree is served, traced as stale; a Set stores
  // nothing.
  etcd.Kill();
  EXPECT_TRUE(almanac->WaitForLine("etcd cannot be reached .* which may be stale"))
      << almanac->Output();
  EXPECT_TRUE(ZQ_TAny(9u).ZQ_IsIdent(proxy.Element("Settings/added", false)));
  EXPECT_THROW(Set(proxy, "Settings/lost", ZQ_TAny(1u)), ZQM_EException);
  EXPECT_TRUE(proxy.Element("Settings/lost", true).IsEmpty());

  // etcd back: both follow it again and see each other's changes.
  etcd.Start();
  EXPECT_TRUE(almanac->WaitForLine("etcd answers again: read")) << almanac->Output();
  EXPECT_TRUE(remoteAlmanac->WaitForLine("etcd answers again: read")) << remoteAlmanac->Output();
  const std::size_t seen = almanac->LineCount();
  Set(remoteProxy, "Settings/zeta", ZQ_TAny(ZQ_TTree()));
  EXPECT_TRUE(almanac->WaitForLine("Configuration etcd .* changed", 10s, seen));
  EXPECT_TRUE(proxy.Element("Settings/zeta/b", true).IsEmpty());
  std::vector<std::string> settings;  // zeta, now empty, keeps its place
  for (const ZQ_TAny& key : proxy.KeysAt("Settings"))
    settings.push_back(key.DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text());
  EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "mid", "added"}), settings);

  // Export gives back a file that loads as the tree served.
  zq_test::RunCommand(
      {Program("almanac"), "--etcd", etcd.Url(), "--export", dir.File("export.json")});
  EXPECT_TRUE(
      ZQ_TAny(almanac::LoadConfigFile(dir.File("export.json"))).ZQ_IsIdent(proxy.Expand("")));
}

}  // namespace
