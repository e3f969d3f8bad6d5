// An etcd server for a test: one member of its own cluster, with its data in
// a folder of the test's, serving clients on port 2379 of the addresses
// given (loopback first). Meant for tests in namespaces of their own
// (zq_add_test NETNS), where the ports are theirs alone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zq_test {

class EtcdServer {
 public:
  static constexpr const char* kProgram = "/usr/bin/etcd";
  // Whether etcd is installed (Debian's etcd-server); tests skip otherwise.
  static bool Installed();

  // Starts the member and waits until it serves clients; throws
  // std::runtime_error with its output when it does not.
  EtcdServer(std::string dataDirectory, std::vector<std::string> addresses = {"127.0.0.1"});

  // The client URL on the first address, or on `address`.
  std::string Url() const { return Url(addresses_.front()); }
  static std::string Url(const std::string& address) { return "http://" + address + ":2379"; }

  // Kills the member (SIGKILL), as a crash would.
  void Kill();
  // Starts it again on the same data; returns once it serves clients.
  void Start();

  ChildProcess& Process() { return *process_; }

 private:
  std::string dataDirectory_;
  std::vector<std::string> addresses_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace zq_test
