// A scriptable middleware server inside the test process: it listens on a
// port of loopback (8088 to stand for the daemon), greets clients with a
// chosen name and instance, records every request and answers through a
// handler that returns the result or throws a ZQ_EException. It serves on a
// thread of its own, with the test's key (test_key.h). Standing for the
// daemon, it also listens on a local socket of its own, which it names in
// ZQM_DAEMON_SOCKET for the test process's clients.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "typelib/dodived.h"

namespace zq_test {

class FakeServer {
 public:
  using Handler = std::function<ZQ_TAny(const ZQ_TDict& request)>;

  FakeServer(unsigned short port, const std::string& name, unsigned short instance,
             Handler handler);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  unsigned short Port() const { return port_; }
  std::vector<ZQ_TDict> Requests() const;
  // Replaces the handler (takes effect for the next request).
  void SetHandler(Handler handler);

 private:
  struct State;
  std::unique_ptr<State> state_;
  unsigned short port_ = 0;
  std::thread thread_;
};

// The method name of a request.
std::string MethodOf(const ZQ_TDict& request);

}  // namespace zq_test
