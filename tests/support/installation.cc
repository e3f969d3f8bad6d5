#include "support/installation.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>

#include <stdexcept>

#include "DEVUror/devuror.h"
#include "support/hosts.h"
#include "support/test_key.h"

namespace zq_test {

namespace {

void Require(const std::optional<std::size_t>& line, const ChildProcess& process,
             const std::string& what) {
  if (!line) throw std::runtime_error(what + " did not happen; output:\n" + process.Output());
}

}  // namespace

Installation::Installation(const std::string& configuration, InstallationOptions options)
    : options_(std::move(options)) {
  UseTestKey(KeyFile());
  // Servers of other users reach the daemon's socket through this folder.
  chmod(dir_.Path().c_str(), 0711);
  if (options_.host == nullptr) setenv("ZQM_DAEMON_SOCKET", SocketPath().c_str(), 1);
  dir_.Write("config.json", Expand(configuration));
  if (options_.beforeDaemon) options_.beforeDaemon(LogDir());
  StartDaemon();
  if (options_.startAlmanac) {
    almanac_ = Start("almanac", {dir_.File("config.json")});
    Require(WaitForBound("Almanac", 0), *daemon_, "the configuration server's start");
  }
}

std::string Installation::KeyFile() const {
  return options_.keyFile.empty() ? dir_.File("installation.key") : options_.keyFile;
}

std::string Installation::SocketPath() const {
  return dir_.File("run/zqmd.sock");
}

std::string Installation::Address() const {
  return options_.host != nullptr ? options_.host->Address() : std::string();
}

void Installation::StartDaemon() {
  std::vector<std::string> daemonArgs = {Program("zqmd"), "--log-dir", LogDir()};
  if (!options_.serverConfiguration.empty()) {
    daemonArgs.push_back("--server-configuration");
    daemonArgs.push_back(options_.serverConfiguration);
  }
  daemonArgs.insert(daemonArgs.end(), options_.daemonArgs.begin(), options_.daemonArgs.end());
  if (options_.host != nullptr) {
    daemonArgs.insert(daemonArgs.end(), {"--host-address", Address()});
    daemonArgs = options_.host->Command(daemonArgs);
  }
  daemon_ = std::make_unique<ChildProcess>(daemonArgs, Environment());
  Require(daemon_->WaitForLine("Middleware daemon listening"), *daemon_, "the daemon's start");
}

void Installation::RestartDaemon(const std::function<void()>& beforeStart) {
  daemon_->Signal(SIGTERM);
  if (daemon_->WaitForExit() != 0)
    throw std::runtime_error("the daemon did not stop in order; output:\n" + daemon_->Output());
  beforeStart();
  StartDaemon();
}

Installation::~Installation() {
  // The daemon first: the instances it started keep running, and the
  // namespace's end takes them.
  daemon_.reset();
  almanac_.reset();
}

std::string Installation::Expand(const std::string& configuration) const {
  std::string text = configuration;
  const std::string bin = Program("");
  const std::string folder = bin.substr(0, bin.size() - 1);
  for (std::size_t at = text.find("@BIN@"); at != std::string::npos; at = text.find("@BIN@", at)) {
    text.replace(at, 5, folder);
  }
  return text;
}

std::map<std::string, std::string> Installation::Environment() const {
  std::map<std::string, std::string> environment = options_.environment;
  environment["ZQM_TRACE_LEVEL"] = std::to_string(options_.traceLevel);
  environment["ZQM_KEY_FILE"] = KeyFile();
  environment["ZQM_DAEMON_SOCKET"] = SocketPath();
  // A configuration server on etcd keeps its copy of the tree with the test.
  environment["ALMANAC_CACHE_FILE"] = dir_.File("almanac-cache.json");
  if (options_.host != nullptr) environment["ZQM_LISTEN_ADDRESS"] = Address();
  return environment;
}

std::vector<std::string> Installation::CommandOf(const std::string& program,
                                                 std::vector<std::string> args) const {
  args.insert(args.begin(), Program(program));
  return options_.host != nullptr ? options_.host->Command(args) : args;
}

std::unique_ptr<ChildProcess> Installation::Start(const std::string& program,
                                                  std::vector<std::string> args,
                                                  std::map<std::string, std::string> env) const {
  std::map<std::string, std::string> environment = Environment();
  for (auto& [key, value] : env)
    environment[key] = value;
  return std::make_unique<ChildProcess>(CommandOf(program, std::move(args)), environment);
}

ProgramRun Installation::Run(const std::string& program, std::vector<std::string> args,
                             std::chrono::milliseconds timeout) const {
  return RunToEnd(CommandOf(program, std::move(args)), Environment(), timeout);
}

std::unique_ptr<ChildProcess> Installation::StartCustodel(
    std::map<std::string, std::string> env) const {
  return Start("custodel", {}, std::move(env));
}

void Installation::WriteConfiguration(const std::string& configuration) const {
  dir_.Write("config.json", Expand(configuration));
}

void Installation::Reconfigure(const std::string& configuration) {
  WriteConfiguration(configuration);
  ZQM_TClient almanac;
  almanac.Connect(Address(), "Almanac", 0, ZQM_TClient::kLocateOnly);
  almanac.RPC("Reload");
}

ZQ_TList Installation::Servers(const std::string& name) const {
  ZQM_TClient daemon(Address(), ZQM_TClient::kDaemonPort);
  const ZQ_TAny reply = daemon.RPC("Servers", ZQ_TAny(ZQ_TString(name)));
  return reply.DynamicCast<ZQ_TList>(__FILE__, __LINE__);
}

std::optional<pid_t> Installation::PidOf(const std::string& name, unsigned instance) const {
  for (const ZQ_TAny& element : Servers(name)) {
    const ZQ_TDict& entry = element.DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
    if (entry["Instance"].DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__) == instance) {
      return static_cast<pid_t>(entry["PID"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> Installation::WaitForBound(const std::string& name, unsigned instance,
                                                      std::size_t after,
                                                      std::chrono::milliseconds timeout) {
  return daemon_->WaitForLine(
      name + " instance " + std::to_string(instance) + " \\(pid [0-9]+\\) bound", timeout, after);
}

}  // namespace zq_test
