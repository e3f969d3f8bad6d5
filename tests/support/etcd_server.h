// etcd for a test: a server that is one member of its own cluster, with its
// data in a folder of the test's, serving clients on port 2379 of the
// addresses given (loopback first); or a cluster of members, one per host
// (hosts.h), each serving clients on port 2379 of loopback and its host's
// address and talking to its peers on port 2380 of that address. Meant for
// tests in namespaces of their own (zq_add_test NETNS), where the ports are
// theirs alone.
//
//   zq_test::EtcdCluster etcd(dir.File("etcd"), {&a, &b, &c});
//   almanac --etcd etcd.UrlList(1)    // b's member first, then the others
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zq_test {

class Host;

class EtcdServer {
 public:
  static constexpr const char* kProgram = "/usr/bin/etcd";
  // Whether etcd is installed (Debian's etcd-server); tests skip otherwise.
  static bool Installed();

  // Starts a cluster of one and waits until it serves clients; throws
  // std::runtime_error with its output when it does not.
  EtcdServer(std::string dataDirectory, std::vector<std::string> addresses = {"127.0.0.1"});

  // A member of a new cluster, named `name`, in `host`'s network namespace;
  // `initialCluster` names every member ("NAME=http://ADDRESS:2380,...")
  // and `token` is the cluster's. Starts it without waiting: the members of
  // a new cluster serve clients only once a quorum of them runs
  // (WaitUntilReady).
  EtcdServer(std::string dataDirectory, const Host& host, const std::string& name,
             const std::string& initialCluster, const std::string& token);

  // The client URL on the first address (a member's: its host's), or on
  // `address`.
  std::string Url() const { return Url(addresses_.front()); }
  static std::string Url(const std::string& address) { return "http://" + address + ":2379"; }
  static std::string PeerUrl(const std::string& address) { return "http://" + address + ":2380"; }

  // Waits until the member serves clients; throws std::runtime_error with
  // its output when it does not within 30 s.
  void WaitUntilReady();
  // Kills the member (SIGKILL), as a crash would.
  void Kill();
  // Starts it again on the same data; returns once it serves clients.
  void Start();

  ChildProcess& Process() { return *process_; }

 private:
  void Launch();

  std::vector<std::string> addresses_;
  std::vector<std::string> argv_;
  std::unique_ptr<ChildProcess> process_;
};

// A cluster of etcd members, one per host ("etcd-1" on the first, ...),
// their data in folders below `directory`.
class EtcdCluster {
 public:
  // Starts every member, then waits until each serves clients; throws
  // std::runtime_error with the output of a member that does not.
  EtcdCluster(const std::string& directory, const std::vector<const Host*>& hosts);

  // The members' client URLs, on their hosts' addresses, member `first`
  // first and the others in order.
  std::vector<std::string> Urls(std::size_t first = 0) const;
  // The same joined by commas, as `--etcd` takes them.
  std::string UrlList(std::size_t first = 0) const;

  // Kills member `index` (SIGKILL); when it led the cluster, returns once
  // every other member has seen a new leader elected, so that writes are
  // served again. Throws std::runtime_error with their output when no
  // leader comes within 30 s.
  void Kill(std::size_t index);

  EtcdServer& Member(std::size_t index) { return *members_.at(index); }

  // The member that leads the cluster, as the latest election its members
  // logged says; throws std::runtime_error when none was logged.
  std::size_t Leader() const;

 private:
  std::vector<std::string> addresses_;
  std::vector<std::unique_ptr<EtcdServer>> members_;
};

}  // namespace zq_test
