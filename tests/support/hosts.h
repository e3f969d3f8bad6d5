// Hosts for tests of an installation that spans machines: network
// namespaces joined by a bridge, made inside the test's own namespace
// (zq_add_test NETNS), so that every host has its own loopback, its own
// port 8088 and an address on a private network (10.77.0.N/24). The test
// process stays where it is; the bridge gives it 10.77.0.254, so it reaches
// every host. The namespaces end with the test's.
//
//   zq_test::Network network;
//   zq_test::Host& a = network.AddHost();   // 10.77.0.1
//   ChildProcess zqm(a.Command({Program("zqm"), "--host", b.Address(), ...}));
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zq_test {

class Host {
 public:
  Host(int namespaceFd, std::string address);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The host's address on the test network.
  const std::string& Address() const { return address_; }
  // `argv` (argv[0] a path) made to run in the host's network namespace.
  std::vector<std::string> Command(std::vector<std::string> argv) const;
  // The network namespace, for `ip ... netns`.
  std::string NamespacePath() const;
  // Takes the host's link to the network down (cut off, as by a broken
  // switch port: its packets are lost, nobody is told) or up again.
  void SetLink(bool up) const;

 private:
  int namespaceFd_;
  std::string address_;
};

class Network {
 public:
  // The test process's address on the network.
  static constexpr const char* kTestAddress = "10.77.0.254";

  // Makes the bridge; throws std::runtime_error, with the output of the
  // command that failed, when it cannot.
  Network();
  // Adds a host with the next address, loopback up.
  Host& AddHost();

 private:
  std::vector<std::unique_ptr<Host>> hosts_;
};

}  // namespace zq_test
