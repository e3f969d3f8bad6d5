// The almanac program: command line, first load, registration and serving.
//
//   almanac [--name NAME] [--instance N] [--port PORT] [--key PATH | --insecure] CONFIG.json
//   almanac [...] --etcd URL[,URL...] [--etcd-prefix PREFIX] [--import FILE | --export [FILE]]
//   almanac --check CONFIG.json     validates the file and exits (config_check.h)
//
// The configuration is loaded before anything is registered, so that a
// broken file never shows up as a server that answers. Exit status:
// kExitOk after the event loop returns (SIGTERM, SIGINT), kExitFailure when
// the file cannot be loaded or the server cannot be registered or served,
// kExitUsage for a wrong command line.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "typelib/dodived.h"

namespace almanac {

class ConfigStore;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// What the program needs of its middleware server. main.cc implements it with
// ZQM_TServer; tests stand in for the middleware.
class Middleware {
 public:
  virtual ~Middleware() = default;
  // The command line's --key PATH (empty when not given) and --insecure;
  // throws ZQ_EException, saying why, when the program has no usable key.
  virtual void UseKey(const std::string& keyFile, bool insecure) {}
  // Name and instance given by the daemon when it started this process.
  virtual bool StartedAs(ZQ_TString& name, unsigned short& instance) = 0;
  virtual void Trace(int level, const std::string& text) = 0;
  virtual void OnSignal(int signal, std::function<void()> handler) = 0;
  // Has Bind listen on `address` as well as on loopback.
  virtual void UseHostAddress(const std::string& address) {}
  // Listens on `port` (0: any free port) and registers with the daemon.
  virtual void Bind(const ZQ_TString& name, unsigned short instance, unsigned short port) = 0;
  // The port listened on, once bound.
  virtual unsigned short Port() const = 0;
  // Runs `work` on the thread that serves calls, in the order posted. Safe
  // from any thread once bound.
  virtual void Post(std::function<void()> work) = 0;
  // Answers calls from `store` until the process is told to stop.
  virtual void Serve(ConfigStore& store) = 0;
  // Tells the daemon that the served tree has changed. Best effort: a
  // failure is traced, never thrown.
  virtual void ConfigurationChanged() {}
};

// Runs the program; returns its exit status. Help goes to `out`, errors to
// `err`.
int RunAlmanac(int argc, const char* const* argv, Middleware& middleware, std::ostream& out,
               std::ostream& err);

}  // namespace almanac
