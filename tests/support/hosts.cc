#include "support/hosts.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"

namespace zq_test {
namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kNsenter = "/usr/bin/nsenter";
constexpr const char* kBridge = "zqlan";

// A new network namespace, held by the descriptor returned. A thread of
// its own moves into it, so that the test process stays where it is.
int NewNetworkNamespace() {
  int fd = -1;
  int error = 0;
  std::thread maker([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      error = errno;
      return;
    }
    fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fd < 0) error = errno;
  });
  maker.join();
  if (fd < 0) throw std::runtime_error(std::string("new network namespace: ") + strerror(error));
  return fd;
}

}  // namespace

Host::Host(int namespaceFd, std::string address)
    : namespaceFd_(namespaceFd), address_(std::move(address)) {}

Host::~Host() {
  close(namespaceFd_);
}

std::string Host::NamespacePath() const {
  return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(namespaceFd_);
}

std::vector<std::string> Host::Command(std::vector<std::string> argv) const {
  argv.insert(argv.begin(), {kNsenter, "--net=" + NamespacePath(), "--"});
  return argv;
}

void Host::SetLink(bool up) const {
  RunCommand(Command({kIp, "link", "set", "eth0", up ? "up" : "down"}));
}

Network::Network() {
  RunCommand({kIp, "link", "add", kBridge, "type", "bridge"});
  RunCommand({kIp, "addr", "add", std::string(kTestAddress) + "/24", "dev", kBridge});
  RunCommand({kIp, "link", "set", kBridge, "up"});
}

Host& Network::AddHost() {
  const std::string number = std::to_string(hosts_.size() + 1);
  auto host = std::make_unique<Host>(NewNetworkNamespace(), "10.77.0." + number);
  const std::string port = "zqh" + number;  // the bridge's end of the host's cable
  RunCommand({kIp, "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns",
              host->NamespacePath()});
  RunCommand({kIp, "link", "set", port, "master", kBridge, "up"});
  RunCommand(host->Command({kIp, "addr", "add", host->Address() + "/24", "dev", "eth0"}));
  RunCommand(host->Command({kIp, "link", "set", "eth0", "up"}));
  RunCommand(host->Command({kIp, "link", "set", "lo", "up"}));
  hosts_.push_back(std::move(host));
  return *hosts_.back();
}

}  // namespace zq_test
