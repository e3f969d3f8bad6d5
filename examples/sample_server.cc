// sample_server: a small middleware server for demonstrations and tests.
//
// Binds under the name and instance it was started as (ZQM_SERVER_NAME and
// ZQM_SERVER_INSTANCE, set by the daemon) or as given by --name/--instance,
// and answers:
//   "Ping"              -> "pong"
//   "Echo"(P1)          -> P1
//   "Add"(P1, P2)       -> P1 + P2 (numbers)
//   "Whoami"            -> {"Name", "Instance", "PID"}
//   "Fail"(P1)          -> throws ZQM_EException with message P1
//   "Sleep"(P1)         -> waits P1 milliseconds, then "slept"
//   "Exit"(P1)          -> answers, then ends the process with status P1
// Any other method fails with ZQM_ENoSuchServerMethod.
//
// When SAMPLE_STAMP_FILE is set, the process appends
// "<name> <instance> <pid> <CLOCK_MONOTONIC ns>" to that file before
// anything else runs: restart benchmarks measure from a kill to this stamp.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "zq_version.h"

namespace {

// Runs before static constructors of this program and before main.
__attribute__((constructor(101))) void StampStart() {
  const char* path = std::getenv("SAMPLE_STAMP_FILE");
  if (path == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const char* name = std::getenv("ZQM_SERVER_NAME");
  const char* instance = std::getenv("ZQM_SERVER_INSTANCE");
  char line[256];
  const int n = std::snprintf(line, sizeof line, "%s %s %d %lld\n", name ? name : "-",
                              instance ? instance : "-", static_cast<int>(getpid()),
                              static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t written = write(fd, line, static_cast<std::size_t>(n));
  close(fd);
}

ZQM_TServer gServer;
int gExitStatus = -1;

const ZQ_TAny& Parameter(const ZQ_TDict& arguments, const char* key, const ZQ_TString& method) {
  const ZQ_TAny* value = arguments.Find(key);
  if (value == nullptr) {
    ZQM_EException missing(ZQ_TString::Format("%s needs a parameter %s", method, key));
    ZQ_THROW_AT(missing, __FILE__, __LINE__);
  }
  return *value;
}

void Process(ZQM_TServer& server, const ZQ_TDict& arguments, ZQ_TAny& result, void*) {
  const ZQ_TString& method = arguments["M"].DynamicCast<ZQ_TString>(__FILE__, __LINE__);
  if (method == "Ping") {
    result = ZQ_TAny("pong");
  } else if (method == "Echo") {
    result = Parameter(arguments, "P1", method);
  } else if (method == "Add") {
    const std::uint32_t a =
        Parameter(arguments, "P1", method).DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__);
    const std::uint32_t b =
        Parameter(arguments, "P2", method).DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__);
    result = ZQ_TAny(a + b);
  } else if (method == "Whoami") {
    ZQ_TDict who;
    who.Set("Name", ZQ_TAny(server.Name()));
    who.Set("Instance", ZQ_TAny(ZQ_TUInt16(server.Instance())));
    who.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(getpid()))));
    result = ZQ_TAny(who);
  } else if (method == "Fail") {
    ZQM_EException failure(
        Parameter(arguments, "P1", method).DynamicCast<ZQ_TString>(__FILE__, __LINE__));
    ZQ_THROW_AT(failure, __FILE__, __LINE__);
  } else if (method == "Sleep") {
    const std::uint32_t ms =
        Parameter(arguments, "P1", method).DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__);
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
    result = ZQ_TAny("slept");
  } else if (method == "Exit") {
    gExitStatus = static_cast<int>(
        Parameter(arguments, "P1", method).DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
    result = ZQ_TAny(true);
    std::fflush(stdout);
    // Leave once the reply is on its way: the loop ends, and main exits.
    kill(getpid(), SIGTERM);
  } else {
    ZQM_ENoSuchServerMethod unknown(method);
    ZQ_THROW_AT(unknown, __FILE__, __LINE__);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  unsigned instance = 0;
  bool neverBind = false;
  CLI::App app{
      "sample_server: a middleware server that answers Ping, Echo, Add, Whoami, Fail, Sleep and "
      "Exit",
      "sample_server"};
  app.set_version_flag("--version", "sample_server " ZQ_PROJECT_VERSION);
  app.add_option("--name", name, "server name (default: $ZQM_SERVER_NAME)");
  app.add_option("--instance", instance, "instance number (default: $ZQM_SERVER_INSTANCE)")
      ->check(CLI::Range(0, 65535));
  app.add_flag(
      "--never-bind", neverBind,
      "run without ever binding (waits for SIGTERM), to stand for a server that hangs at start-up");
  std::string keyFile;
  app.add_option("--key", keyFile, "the installation key file (default: $ZQM_KEY_FILE, ...)");
  bool insecure = false;
  app.add_flag("--insecure", insecure, "run without a key: no handshake")->excludes("--key");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  if (insecure) zqm_auth::UseInsecure();
  if (!keyFile.empty()) zqm_auth::UseKeyFile(keyFile);

  ZQ_TString serverName(name);
  unsigned short serverInstance = static_cast<unsigned short>(instance);
  if (name.empty() && !ZQM_TServer::StartedAs(serverName, serverInstance)) {
    std::cerr << "sample_server: no --name given and not started by the daemon (ZQM_SERVER_NAME)\n";
    return 2;
  }
  if (neverBind) {
    pause();
    return 0;
  }
  try {
    gServer.Bind(serverName, serverInstance, 0, false);
  } catch (const ZQ_EException& failure) {
    std::cerr << "sample_server: " << failure << std::endl;
    return 1;
  }
  gServer.DBG_Type(0, ZQ_TString::Format("%s instance %d serving on port %d", serverName,
                                         serverInstance, gServer.Port()));
  gServer.SetProcessor(&Process, nullptr);
  gServer.SetTimeOut(-1);
  gServer.EventLoop();
  return gExitStatus >= 0 ? gExitStatus : 0;
}
