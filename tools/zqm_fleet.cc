#include "tools/zqm_fleet.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "Almanac/Server/almanac_tproxy.h"
#include "DEVUror/zqm_trace.h"
#include "tools/zqm_status_join.h"
#include "tools/zqm_status_render.h"

namespace {

// More hosts than this are asked in turns of this many.
constexpr std::size_t kMostConcurrentHosts = 32;
constexpr std::size_t kLongestAddress = 253;  // a DNS name's limit

std::string ThisHostName() {
  const std::string name = ZQ_TSocket::HostName(false).Text();
  return name.empty() ? "localhost" : name;
}

// IP addresses (v4 or v6) and DNS names; nothing a resolver could take for
// something else.
bool IsAddress(const std::string& text) {
  return !text.empty() && text.size() <= kLongestAddress &&
         text.find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:") ==
             std::string::npos &&
         text.front() != '-';
}

const ZQ_TString* TextAt(const ZQ_TTree& tree, const char* key, std::string& problem) {
  const ZQ_TAny* value = tree.Child(key);
  if (value == nullptr) return nullptr;
  const ZQ_TString* text = value->As<ZQ_TString>();
  if (text == nullptr) problem = std::string(key) + " is not a text";
  return text;
}

FleetHost ParseHost(const std::string& name, const ZQ_TAny& value) {
  FleetHost host;
  host.name = name;
  const ZQ_TTree* entry = value.As<ZQ_TTree>();
  if (entry == nullptr) {
    host.problem = "the entry is not an object";
    return host;
  }
  if (const ZQ_TString* configuration = TextAt(*entry, "ServerConfiguration", host.problem))
    host.serverConfiguration = configuration->Text();
  const ZQ_TString* address = TextAt(*entry, "Address", host.problem);
  if (!host.problem.empty()) return host;
  if (address == nullptr) {
    host.problem = "it has no Address";
  } else if (!IsAddress(address->Text())) {
    host.problem = "Address \"" + zqm_trace::Escaped(address->Text().substr(0, 64)) +
                   "\" is not an IP address or DNS name";
  } else {
    host.address = address->Text();
  }
  return host;
}

// The servers the tree runs on `host`, in start-up order.
std::vector<std::string> ConfiguredServers(const FleetHost& host, const ZQ_TTree& servers) {
  if (host.serverConfiguration.empty()) return {};
  StatusSources sources;
  sources.serverConfiguration = host.serverConfiguration;
  sources.servers = servers;
  std::vector<std::string> names;
  for (const ServerStatus& server : CollectStatus(sources).servers)
    if (server.runsHere) names.push_back(server.name);
  return names;
}

HostReport AskHost(const FleetHost& host, const ZQ_TTree& servers, StatusDeadline deadline) {
  HostReport report;
  report.host = host;
  if (host.problem.empty()) {
    try {
      StatusSources sources;
      GatherRunning(host.address, sources, deadline);
      sources.servers = servers;
      report.status = CollectStatus(sources);
      report.reachable = true;
      return report;
    } catch (const ZQ_EException& failure) {
      report.reason = failure.ZQ_Message().Text();
    }
  } else {
    report.reason = "the Hosts entry cannot be used: " + host.problem;
  }
  report.configuredServers = ConfiguredServers(host, servers);
  return report;
}

std::string Heading(const FleetHost& host) {
  return zqm_trace::Escaped(host.name) +
         (host.address.empty() ? " (this host)" : " (" + zqm_trace::Escaped(host.address) + ")");
}

}  // namespace

std::vector<FleetHost> ParseHosts(const ZQ_TAny& hosts) {
  std::vector<FleetHost> parsed;
  const ZQ_TTree* tree = hosts.As<ZQ_TTree>();
  if (tree == nullptr) return parsed;
  for (const auto& [key, value] : tree->Entries())
    parsed.push_back(ParseHost(key.Text(), value));
  return parsed;
}

FleetTree ReadFleetTree(const std::string& host) {
  FleetTree tree;
  try {
    Almanac_TProxy almanac(host.empty() ? nullptr : host.c_str());
    tree.servers =
        almanac.Expand("Servers/ZQMD/Servers/").DynamicCast<ZQ_TTree>(__FILE__, __LINE__);
    const ZQ_TAny hosts = almanac.Element("Hosts", true);
    if (!hosts.IsEmpty() && hosts.As<ZQ_TTree>() == nullptr) {
      ZQM_EException wrong(ZQ_TString("\"Hosts\" is " + std::string(hosts.HeldClassName()) +
                                      ", not an object of hosts"));
      ZQ_THROW_AT(wrong, __FILE__, __LINE__);
    }
    tree.hosts = ParseHosts(hosts);
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = "the configuration server cannot be asked: " + failure.ZQ_Message();
    throw;
  }
  if (tree.hosts.empty())
    tree.hosts.push_back({host.empty() ? ThisHostName() : host, host, "", ""});
  return tree;
}

std::vector<HostReport> GatherFleet(const FleetTree& tree, std::chrono::milliseconds limit) {
  const StatusDeadline deadline = std::chrono::steady_clock::now() + limit;
  std::vector<HostReport> reports(tree.hosts.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < tree.hosts.size(); i = next++)
      reports[i] = AskHost(tree.hosts[i], tree.servers, deadline);
  };
  std::vector<std::thread> workers;
  const std::size_t count = std::min(tree.hosts.size(), kMostConcurrentHosts);
  for (std::size_t i = 1; i < count; ++i)
    workers.emplace_back(work);
  work();
  for (std::thread& worker : workers)
    worker.join();
  return reports;
}

void PrintFleet(std::ostream& out, const std::vector<HostReport>& fleet, std::time_t now,
                bool colour) {
  bool first = true;
  for (const HostReport& report : fleet) {
    if (!std::exchange(first, false)) out << "\n";
    if (report.reachable) {
      out << "== " << Heading(report.host) << " ==\n";
      PrintStatus(out, report.status, now, colour);
      continue;
    }
    out << "== " << Heading(report.host)
        << " == unreachable: " << zqm_trace::Escaped(report.reason);
    if (!report.configuredServers.empty()) {
      out << "; configured to run there:";
      for (const std::string& name : report.configuredServers)
        out << " " << zqm_trace::Escaped(name);
    }
    out << "\n";
  }
}

nlohmann::ordered_json HostJson(const HostReport& report, std::time_t now) {
  nlohmann::ordered_json host = {{"Host", report.host.name},
                                 {"Address", report.host.address},
                                 {"Reachable", report.reachable}};
  if (report.reachable) {
    const nlohmann::ordered_json status = StatusJson(report.status, now);
    for (auto at = status.begin(); at != status.end(); ++at)
      host[at.key()] = at.value();
    return host;
  }
  host["Reason"] = report.reason;
  host["ServerConfiguration"] = report.host.serverConfiguration;
  host["ConfiguredServers"] = report.configuredServers;
  return host;
}

nlohmann::ordered_json FleetJson(const std::vector<HostReport>& fleet, std::time_t now) {
  nlohmann::ordered_json hosts = nlohmann::ordered_json::array();
  for (const HostReport& report : fleet)
    hosts.push_back(HostJson(report, now));
  return hosts;
}
