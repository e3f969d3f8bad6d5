// Three hosts share one configuration tree in a three-member etcd cluster,
// a member on each: every host runs the servers of its own server
// configuration, a change made through one host moves a server to another,
// and the loss of a member changes nothing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

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
using Names = std::set<std::string>;

const char* const kTree = R"({
  "Hosts": {"a": {"Address": "10.77.0.1", "ServerConfiguration": "One"},
            "b": {"Address": "10.77.0.2", "ServerConfiguration": "Two"},
            "c": {"Address": "10.77.0.3", "ServerConfiguration": "Three"}},
  "Servers": {"ZQMD": {"Servers": {
    "Alpha": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "Configurations": ["One"]},
    "Moved": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "Configurations": ["One"]},
    "Beta": {"Program": "@BIN@/sample_server", "AlwaysRunning": true, "Configurations": ["Two"]},
    "Gamma": {"Program": "@BIN@/sample_server", "AlwaysRunning": true,
              "Configurations": ["Three"]}}}}
})";

const char* const kMovedConfigurations = "Servers/ZQMD/Servers/Moved/Configurations";

// One host of the installation: its daemon, its configuration server on the
// etcd cluster (its own member first) and its service.
struct Site {
  Site(zq_test::Host& where, const std::string& configuration, const std::string& keyFile)
      : host(where), installation(kTree, [&] {
          zq_test::InstallationOptions options;
          options.host = &where;
          options.serverConfiguration = configuration;
          options.startAlmanac = false;
          options.keyFile = keyFile;
          return options;
        }()) {}

  void StartAlmanac(const std::string& etcdUrls) {
    almanac = installation.Start("almanac", {"--etcd", etcdUrls});
    if (!installation.WaitForBound("Almanac", 0, 0, 30s))
      throw std::runtime_error("almanac did not bind; output:\n" + almanac->Output());
  }

  void StartService(const Names& servers) {
    service = installation.StartCustodel();
    for (const std::string& server : servers) {
      if (!installation.WaitForBound(server, 1, 0, 30s))
        throw std::runtime_error(server + " did not start on " + host.Address() + "; service:\n" +
                                 service->Output());
    }
  }

  // The names in the daemon's list of running instances.
  Names Running() const {
    Names names;
    for (const ZQ_TAny& entry : installation.Servers("*"))
      names.insert(entry.DynamicCast<ZQ_TDict>(__FILE__, __LINE__)["Name"]
                       .DynamicCast<ZQ_TString>(__FILE__, __LINE__)
                       .Text());
    return names;
  }

  pid_t Pid(const std::string& server) const {
    const std::optional<pid_t> pid = installation.PidOf(server, 1);
    if (!pid) throw std::runtime_error(server + " does not run on " + host.Address());
    return *pid;
  }

  zq_test::ProgramRun Zqm(std::vector<std::string> args) const {
    return installation.Run("zqm", std::move(args), 60s);
  }

  nlohmann::json Status() const {
    const zq_test::ProgramRun run = Zqm({"status", "--json"});
    if (run.status != 0) throw std::runtime_error("zqm status failed:\n" + run.output);
    return nlohmann::json::parse(run.output);
  }

  zq_test::Host& host;
  Installation installation;
  std::unique_ptr<ChildProcess> almanac;
  std::unique_ptr<ChildProcess> service;
};

// The servers of a status (zqm status --json, or a host of --all) whose
// `field` is true: "RunsHere" (under the host's configuration), "Watched"
// (by its service).
Names ServersWhere(const nlohmann::json& status, const char* field) {
  Names names;
  for (const auto& server : status["Servers"])
    if (server[field] == true) names.insert(server["Name"].get<std::string>());
  return names;
}

const nlohmann::json& ServerIn(const nlohmann::json& status, const std::string& name) {
  for (const auto& server : status["Servers"])
    if (server["Name"] == name) return server;
  throw std::runtime_error(name + " is not in the status:\n" + status.dump());
}

ZQ_TAny Configurations(const char* name) {
  ZQ_TList list;
  list.Append(ZQ_TAny(ZQ_TString(name)));
  return ZQ_TAny(list);
}

TEST(ThreeHosts, ShareOneTreeInAnEtcdClusterThatOutlivesAMember) {
  if (!EtcdServer::Installed()) {
    GTEST_SKIP() << EtcdServer::kProgram << " is missing (Debian's etcd-server; scripts/deps)";
  }
  zq_test::Network network;
  zq_test::Host& hostA = network.AddHost();
  zq_test::Host& hostB = network.AddHost();
  zq_test::Host& hostC = network.AddHost();
  zq_test::TempDir dir;
  zq_test::EtcdCluster etcd(dir.Path(), {&hostA, &hostB, &hostC});

  Site a(hostA, "One", "");
  Site b(hostB, "Two", a.installation.KeyFile());
  Site c(hostC, "Three", a.installation.KeyFile());
  zq_test::RunCommand({Program("almanac"), "--etcd", etcd.UrlList(), "--import",
                       a.installation.Dir().File("config.json")});
  a.StartAlmanac(etcd.UrlList(0));
  b.StartAlmanac(etcd.UrlList(1));
  c.StartAlmanac(etcd.UrlList(2));
  a.StartService({"Alpha", "Moved"});
  b.StartService({"Beta"});
  c.StartService({"Gamma"});

  // Each host runs its own servers and no other.
  EXPECT_EQ((Names{"Almanac", "Custodel", "Alpha", "Moved"}), a.Running());
  EXPECT_EQ((Names{"Almanac", "Custodel", "Beta"}), b.Running());
  EXPECT_EQ((Names{"Almanac", "Custodel", "Gamma"}), c.Running());
  const pid_t movedOnA = a.Pid("Moved");

  // One Set, through A, moves "Moved" from "One" to "Two"; a reload on each
  // host brings its service into line: B starts and watches it, A lets it go.
  Almanac_TProxy(hostA.Address().c_str())
      .RPC(ZQ_TString("Set"), ZQ_TAny(ZQ_TString(kMovedConfigurations)), Configurations("Two"));
  const std::size_t bSeen = b.installation.Daemon().LineCount();
  for (Site* site : {&a, &b}) {
    const zq_test::ProgramRun reload = site->Zqm({"reload"});
    ASSERT_EQ(0, reload.status) << reload.output;
  }
  ASSERT_TRUE(b.installation.WaitForBound("Moved", 1, bSeen, 30s)) << b.service->Output();
  EXPECT_TRUE(a.service->WaitForLine("Remove monitor for \"Moved\"")) << a.service->Output();
  const nlohmann::json statusA = a.Status();
  EXPECT_EQ((Names{"Alpha"}), ServersWhere(statusA, "RunsHere")) << statusA.dump(2);
  EXPECT_EQ((Names{"Alpha"}), ServersWhere(statusA, "Watched")) << statusA.dump(2);
  // Left, unwatched, to run on.
  const auto& leftOnA = ServerIn(statusA, "Moved")["Instances"][0];
  EXPECT_EQ(false, leftOnA["Watched"]) << statusA.dump(2);
  EXPECT_EQ(movedOnA, leftOnA["PID"]) << statusA.dump(2);
  // ... until the operator ends it there.
  const zq_test::ProgramRun down = a.Zqm({"down", "Moved"});
  ASSERT_EQ(0, down.status) << down.output;
  EXPECT_EQ((Names{"Almanac", "Custodel", "Alpha"}), a.Running());
  const nlohmann::json statusB = b.Status();
  EXPECT_EQ((Names{"Beta", "Moved"}), ServersWhere(statusB, "RunsHere")) << statusB.dump(2);
  EXPECT_EQ((Names{"Beta", "Moved"}), ServersWhere(statusB, "Watched")) << statusB.dump(2);
  EXPECT_EQ(b.Pid("Moved"), ServerIn(statusB, "Moved")["Instances"][0]["PID"]) << statusB.dump(2);

  // The fleet, seen from C: every host with the servers it runs.
  const zq_test::ProgramRun all = c.Zqm({"status", "--all", "--json"});
  ASSERT_EQ(0, all.status) << all.output;
  const nlohmann::json fleet = nlohmann::json::parse(all.output);
  ASSERT_EQ(3u, fleet.size()) << all.output;
  const std::vector<std::pair<std::string, Names>> expected = {
      {"a", {"Alpha"}}, {"b", {"Beta", "Moved"}}, {"c", {"Gamma"}}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].first, fleet[i]["Host"]) << all.output;
    EXPECT_EQ(true, fleet[i]["Reachable"]) << all.output;
    EXPECT_EQ(expected[i].second, ServersWhere(fleet[i], "RunsHere")) << all.output;
    EXPECT_EQ(expected[i].second, ServersWhere(fleet[i], "Watched")) << all.output;
  }

  // A call from A reaches the server on B.
  const zq_test::ProgramRun whoami =
      a.Zqm({"--host", hostB.Address(), "call", "Moved", "1", "Whoami"});
  ASSERT_EQ(0, whoami.status) << whoami.output;
  EXPECT_NE(std::string::npos, whoami.output.find("\"PID\": " + std::to_string(b.Pid("Moved"))))
      << whoami.output;

  // A's own member dies: nothing changes. A's configuration server turns to
  // the other members, for its requests (a reload) and for its watch: a Set
  // through B reaches it as it reaches C.
  const auto servingPids = [&] {
    return std::map<std::string, pid_t>{{"Alpha", a.Pid("Alpha")},
                                        {"Beta", b.Pid("Beta")},
                                        {"Moved", b.Pid("Moved")},
                                        {"Gamma", c.Pid("Gamma")}};
  };
  const std::map<std::string, pid_t> pids = servingPids();
  etcd.Kill(0);
  const zq_test::ProgramRun reload = a.Zqm({"reload"});
  EXPECT_EQ(0, reload.status) << reload.output;
  const std::size_t aSeen = a.almanac->LineCount();
  const std::size_t cSeen = c.almanac->LineCount();
  Almanac_TProxy(hostB.Address().c_str())
      .RPC(ZQ_TString("Set"), ZQ_TAny(ZQ_TString("Settings/afterLoss")), ZQ_TAny(7u));
  EXPECT_TRUE(a.almanac->WaitForLine("Configuration etcd .* changed", 20s, aSeen))
      << a.almanac->Output();
  EXPECT_TRUE(c.almanac->WaitForLine("Configuration etcd .* changed", 20s, cSeen))
      << c.almanac->Output();
  for (const Site* site : {&a, &b, &c}) {
    Almanac_TProxy almanac(site->host.Address().c_str());
    EXPECT_TRUE(ZQ_TAny(7u).ZQ_IsIdent(almanac.Element("Settings/afterLoss", false)))
        << site->host.Address();
    EXPECT_TRUE(Configurations("Two").ZQ_IsIdent(almanac.Element(kMovedConfigurations, false)))
        << site->host.Address();
    EXPECT_EQ(std::string::npos, site->almanac->Output().find("may be stale"))
        << site->almanac->Output();
  }
  EXPECT_EQ(pids, servingPids());
}

}  // namespace
