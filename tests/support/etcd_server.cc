#include "support/etcd_server.h"

#include <signal.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <stdexcept>

#include "support/hosts.h"

namespace zq_test {

namespace {

constexpr auto kReadyWithin = 30s;

// etcd's raft log says, on every member, which member won an election:
// "raft.node: <own id> elected leader <leader id> at term <term>".
const std::regex kElected("raft\\.node: ([0-9a-f]+) elected leader ([0-9a-f]+) at term ([0-9]+)");

struct Election {
  std::string self;
  std::string leader;
  unsigned long term = 0;
};

// The latest election `member` has seen, if any.
std::optional<Election> LatestElection(const ChildProcess& member) {
  std::optional<Election> latest;
  for (const std::string& line : member.Lines()) {
    std::smatch match;
    if (!std::regex_search(line, match, kElected)) continue;
    Election election{match[1], match[2], std::stoul(match[3])};
    if (!latest || election.term >= latest->term) latest = election;
  }
  return latest;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts)
    text += (text.empty() ? "" : ",") + part;
  return text;
}

}  // namespace

bool EtcdServer::Installed() {
  return access(kProgram, X_OK) == 0;
}

EtcdServer::EtcdServer(std::string dataDirectory, std::vector<std::string> addresses)
    : addresses_(std::move(addresses)) {
  std::vector<std::string> clientUrls;
  for (const std::string& address : addresses_)
    clientUrls.push_back(Url(address));
  argv_ = {kProgram,
           "--data-dir",
           std::move(dataDirectory),
           "--listen-client-urls",
           Joined(clientUrls),
           "--advertise-client-urls",
           Url(),
           "--listen-peer-urls",
           PeerUrl("127.0.0.1"),
           "--initial-advertise-peer-urls",
           PeerUrl("127.0.0.1"),
           "--initial-cluster",
           "default=" + PeerUrl("127.0.0.1")};
  Start();
}

EtcdServer::EtcdServer(std::string dataDirectory, const Host& host, const std::string& name,
                       const std::string& initialCluster, const std::string& token)
    : addresses_{host.Address(), "127.0.0.1"} {
  argv_ = host.Command({kProgram, "--name", name, "--data-dir", std::move(dataDirectory),
                        "--listen-client-urls", Url(host.Address()) + "," + Url("127.0.0.1"),
                        "--advertise-client-urls", Url(host.Address()), "--listen-peer-urls",
                        PeerUrl(host.Address()), "--initial-advertise-peer-urls",
                        PeerUrl(host.Address()), "--initial-cluster", initialCluster,
                        "--initial-cluster-state", "new", "--initial-cluster-token", token,
                        // A member cut off from the others would otherwise
                        // raise its term while alone and, back, depose the
                        // leader: newer etcd does this by default.
                        "--pre-vote"});
  Launch();
}

void EtcdServer::Launch() {
  process_ = std::make_unique<ChildProcess>(argv_);
}

void EtcdServer::WaitUntilReady() {
  if (!process_->WaitForLine("ready to serve client requests", kReadyWithin)) {
    throw std::runtime_error("etcd on " + Url() + " did not come up; output:\n" +
                             process_->Output());
  }
}

void EtcdServer::Start() {
  Launch();
  WaitUntilReady();
}

void EtcdServer::Kill() {
  process_->Signal(SIGKILL);
  process_->WaitForExit();
}

EtcdCluster::EtcdCluster(const std::string& directory, const std::vector<const Host*>& hosts) {
  std::vector<std::string> peers;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    addresses_.push_back(hosts[i]->Address());
    peers.push_back("etcd-" + std::to_string(i + 1) + "=" +
                    EtcdServer::PeerUrl(hosts[i]->Address()));
  }
  const std::string token = "zq-test-" + std::to_string(getpid());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    members_.push_back(std::make_unique<EtcdServer>(directory + "/etcd-" + std::to_string(i + 1),
                                                    *hosts[i], "etcd-" + std::to_string(i + 1),
                                                    Joined(peers), token));
  }
  for (const auto& member : members_)
    member->WaitUntilReady();
}

std::vector<std::string> EtcdCluster::Urls(std::size_t first) const {
  std::vector<std::string> urls;
  for (std::size_t i = 0; i < addresses_.size(); ++i)
    urls.push_back(EtcdServer::Url(addresses_[(first + i) % addresses_.size()]));
  return urls;
}

std::string EtcdCluster::UrlList(std::size_t first) const {
  return Joined(Urls(first));
}

// The latest election any of `members` has seen.
std::optional<Election> LatestOfAll(const std::vector<std::unique_ptr<EtcdServer>>& members) {
  std::optional<Election> latest;
  for (const auto& member : members) {
    const std::optional<Election> seen = LatestElection(member->Process());
    if (seen && (!latest || seen->term > latest->term)) latest = seen;
  }
  return latest;
}

std::size_t EtcdCluster::Leader() const {
  const std::optional<Election> latest = LatestOfAll(members_);
  for (std::size_t i = 0; latest && i < members_.size(); ++i) {
    const std::optional<Election> own = LatestElection(members_[i]->Process());
    if (own && own->self == latest->leader) return i;
  }
  throw std::runtime_error("no etcd member has logged an election");
}

void EtcdCluster::Kill(std::size_t index) {
  EtcdServer& killed = Member(index);
  const std::optional<Election> own = LatestElection(killed.Process());
  const std::optional<Election> latest = LatestOfAll(members_);
  const bool ledTheCluster = own && latest && latest->leader == own->self;
  std::vector<std::size_t> seenBefore;
  for (const auto& member : members_)
    seenBefore.push_back(member->Process().LineCount());
  killed.Kill();
  if (!ledTheCluster) return;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (i == index) continue;
    ChildProcess& member = members_[i]->Process();
    if (!member.WaitForLine("elected leader", kReadyWithin, seenBefore[i])) {
      throw std::runtime_error("no new etcd leader after the leader's end; " + members_[i]->Url() +
                               " wrote:\n" + member.Output());
    }
  }
}

}  // namespace zq_test
