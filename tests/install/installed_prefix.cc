#include "install/installed_prefix.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/test_key.h"

namespace zq_test {
namespace {

std::string ErrnoText(const std::string& call) {
  return call + ": " + std::strerror(errno);
}

}  // namespace

InstalledPrefix::InstalledPrefix() : prefix_(dir_.File("prefix")) {
  UseTestKey(dir_.File("installation.key"));
  const ProgramRun installed = RunToEnd({ZQ_CMAKE, "--install", ZQ_BUILD_DIR, "--prefix", prefix_},
                                        {}, std::chrono::minutes(2));
  if (installed.status != 0)
    throw std::runtime_error("cmake --install failed:\n" + installed.output);
}

std::map<std::string, std::string> InstalledPrefix::Environment(
    std::map<std::string, std::string> more) const {
  more.emplace("PATH", Path("bin"));
  more.emplace("LD_LIBRARY_PATH", "");
  more.emplace("ZQM_KEY_FILE", dir_.File("installation.key"));
  return more;
}

ProgramRun InstalledPrefix::Run(const std::string& program, const std::vector<std::string>& args,
                                std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv = {Path("bin/" + program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunToEnd(argv, Environment(), timeout);
}

std::unique_ptr<ChildProcess> InstalledPrefix::Start(const std::string& program,
                                                     const std::vector<std::string>& args,
                                                     std::map<std::string, std::string> env) const {
  std::vector<std::string> argv = {Path("bin/" + program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(argv, Environment(std::move(env)));
}

std::vector<std::string> ResolvedLibraries(const std::string& file) {
  const ProgramRun listed = RunToEnd({ZQ_LDD, file});
  if (listed.status != 0) throw std::runtime_error("ldd " + file + " failed:\n" + listed.output);
  std::vector<std::string> libraries;
  std::istringstream lines(listed.output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t arrow = line.find(" => ");
    if (arrow == std::string::npos) continue;
    const std::size_t name = line.find_first_not_of(" \t");
    libraries.push_back(line.substr(name, line.find(" (") - name));
  }
  return libraries;
}

NotifySocket::NotifySocket(std::string address) : address_(std::move(address)) {
  sockaddr_un own{};
  own.sun_family = AF_UNIX;
  if (address_.size() >= sizeof own.sun_path)
    throw std::runtime_error("notify socket name too long: " + address_);
  std::memcpy(own.sun_path, address_.data(), address_.size());
  const bool abstract = address_[0] == '@';
  if (abstract) own.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() +
                                             (abstract ? 0 : 1));
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(ErrnoText("socket"));
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&own), length) != 0) {
    const std::string failure = ErrnoText("bind " + address_);
    close(fd_);
    throw std::runtime_error(failure);
  }
}

NotifySocket::~NotifySocket() {
  close(fd_);
  if (address_[0] == '/') unlink(address_.c_str());
}

std::optional<std::string> NotifySocket::Receive(std::chrono::milliseconds timeout) {
  pollfd readable{fd_, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  char datagram[4096];
  const ssize_t n = recv(fd_, datagram, sizeof datagram, 0);
  if (n < 0) return std::nullopt;
  return std::string(datagram, static_cast<std::size_t>(n));
}

}  // namespace zq_test
