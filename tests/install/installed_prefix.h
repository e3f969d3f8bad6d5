// An installation as `cmake --install` makes it, in a temporary prefix, and
// its programs run from there alone: PATH names only the prefix's bin/,
// LD_LIBRARY_PATH nothing, so a program that still needed the build tree
// would fail. Also the service manager's side of readiness (NOTIFY_SOCKET).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "middleware/middleware_helpers.h"
#include "support/child_process.h"

namespace zq_test {

class InstalledPrefix {
 public:
  // Installs the build (ZQ_BUILD_DIR) into a new temporary prefix; throws
  // std::runtime_error with cmake's output when that fails.
  InstalledPrefix();

  // <prefix>/<relative>.
  std::string Path(const std::string& relative) const { return prefix_ + "/" + relative; }
  // A scratch folder beside the prefix (logs, sockets).
  const TempDir& Dir() const { return dir_; }

  // The environment of every installed program: PATH and LD_LIBRARY_PATH as
  // above, the test's installation key.
  std::map<std::string, std::string> Environment(
      std::map<std::string, std::string> more = {}) const;
  // Runs bin/<program> to its end.
  ProgramRun Run(const std::string& program, const std::vector<std::string>& args,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Starts bin/<program>; it is killed when the result is destroyed.
  std::unique_ptr<ChildProcess> Start(const std::string& program,
                                      const std::vector<std::string>& args,
                                      std::map<std::string, std::string> env = {}) const;

 private:
  TempDir dir_;
  std::string prefix_;
};

// What ldd resolves every shared library of `file` to ("name => path"), or
// "name => not found".
std::vector<std::string> ResolvedLibraries(const std::string& file);

// A service manager's notification socket: a unix datagram socket at a path
// or, for an address starting with '@', an abstract name.
class NotifySocket {
 public:
  explicit NotifySocket(std::string address);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Address() const { return address_; }
  // The next datagram, or nullopt when none came within `timeout`.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout);

 private:
  std::string address_;
  int fd_ = -1;
};

}  // namespace zq_test
