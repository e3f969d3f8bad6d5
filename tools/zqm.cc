// zqm: calls middleware servers and steers the Custodel service from the
// command line.
//
//   zqm [--host H] call NAME INSTANCE METHOD [ARG...]  call an instance, located by the daemon
//   zqm [--host H] call --port P METHOD [ARG...]       call whatever listens on port P
//   zqm [--host H] servers [--json] [NAME]             the daemon's list of running instances
//   zqm [--host H] pid NAME INSTANCE                   the process id of a running instance
//   zqm [--host H] status [--json]                     what the service runs, how long each has run
//   zqm [--host H] status --all [--json]               the same for every host of the installation
//   zqm [--host H] web [--port P]                      the fleet view as a page on 127.0.0.1
//   zqm [--host H] reconfigure                         the service reads the configuration again
//   zqm [--host H] stop                                the service stops watching every server
//   zqm [--host H] ignore NAME|'*'                     the service stops watching NAME (or all)
//   zqm [--host H] reload [--restart-changed]          the configuration server reads its file
//                                                      again, then the service reconfigures;
//                                                      lists (restarts) the instances launched
//                                                      from an older launch configuration
//   zqm [--host H] log NAME [INSTANCE] [-f]            an instance's log (-f: follow it)
//
// The service serves one call at a time: zqm waits for one that is busy
// with a pass, up to --wait SECONDS (ZQM_WAIT_SECONDS, default 300).
//   zqm [--host H] restart|down|up ...                 steer one server (tools/zqm_control.h)
//
// Exit status: 0 success, 1 failure (a server answered with an exception,
// could not be reached, or refused), 2 usage.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>

#include "Almanac/Server/almanac_tproxy.h"
#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_roles.h"
#include "DEVUror/zqm_tproxy.h"
#include "DEVUror/zqm_trace.h"
#include "tools/zqm_args.h"
#include "tools/zqm_control.h"
#include "tools/zqm_fleet.h"
#include "tools/zqm_json.h"
#include "tools/zqm_log.h"
#include "tools/zqm_reload.h"
#include "tools/zqm_service.h"
#include "tools/zqm_status.h"
#include "tools/zqm_status_render.h"
#include "tools/zqm_table.h"
#include "tools/zqm_web.h"
#include "zq_version.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

struct Options {
  std::string host;
  unsigned port = 0;
  std::vector<std::string> words;
  std::string serverName;
  std::string instance;
  bool json = false;
  bool follow = false;
  bool all = false;
  unsigned hostTimeoutMs = 3000;
  unsigned waitSeconds = ServiceWaitFromEnvironment();
};

int Fail(const ZQ_EException& failure) {
  // One line, whatever the message of a remote failure holds.
  std::cerr << "zqm: " << failure.ClassName() << ": "
            << zqm_trace::Escaped(failure.ZQ_Message().Text()) << std::endl;
  if (const std::string advice = Advice(failure.ClassName(), failure.ZQ_Message().Text());
      !advice.empty()) {
    std::cerr << "zqm: " << advice << std::endl;
  }
  return kFailure;
}

// A command line that does not parse; main reports it with the usage status.
struct UsageError {
  std::string message;
};

ZQ_TAny ParseWord(const std::string& word) {
  try {
    return ParseArgument(word);
  } catch (const ZQ_EException& failure) {
    throw UsageError{failure.ZQ_Message().Text()};
  }
}

int Call(const Options& options) {
  // Everything is parsed before any connection: a mistyped command line must
  // not start a server.
  const std::size_t methodAt = options.port != 0 ? 0 : 2;
  if (options.words.size() <= methodAt) {
    throw UsageError{"call needs NAME INSTANCE METHOD [ARG...], or --port PORT METHOD [ARG...]"};
  }
  const std::uint16_t instance =
      options.port != 0
          ? 0
          : ParseWord("u16:" + options.words[1]).DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__);
  ZQ_TList arguments;
  for (std::size_t i = methodAt + 1; i < options.words.size(); ++i)
    arguments.Append(ParseWord(options.words[i]));

  ZQM_TClient client;
  if (options.port != 0) {
    client.Connect(options.host, static_cast<unsigned short>(options.port));
  } else {
    client.Connect(options.host, options.words[0], instance, ZQM_TClient::kLocateOrStart);
  }
  std::cout << client.Call(ZQ_TString(options.words[methodAt]), arguments) << std::endl;
  return kOk;
}

std::string Text(const ZQ_TDict& entry, const char* key) {
  std::ostringstream out;
  if (const ZQ_TAny* value = entry.Find(key)) out << *value;
  return out.str();
}

ZQ_TList RunningInstances(const std::string& host, const std::string& name) {
  ZQM_TClient daemon(host, ZQM_TClient::kDaemonPort);
  const ZQ_TAny reply = daemon.RPC("Servers", ZQ_TAny(ZQ_TString(name.empty() ? "*" : name)));
  return reply.DynamicCast<ZQ_TList>(__FILE__, __LINE__);
}

// The instance of the daemon's list with `instance`, or null.
const ZQ_TDict* FindInstance(const ZQ_TList& list, unsigned instance) {
  for (const ZQ_TAny& element : list) {
    const ZQ_TDict* entry = element.As<ZQ_TDict>();
    const ZQ_TAny* number = entry != nullptr ? entry->Find("Instance") : nullptr;
    if (number != nullptr && number->As<ZQ_TUInt16>() != nullptr &&
        number->As<ZQ_TUInt16>()->Value() == instance) {
      return entry;
    }
  }
  return nullptr;
}

void PrintJson(const nlohmann::ordered_json& document) {
  // Texts that are not UTF-8 must not make the document unwritable.
  std::cout << document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
            << std::endl;
}

int Servers(const Options& options) {
  const ZQ_TList list = RunningInstances(options.host, options.serverName);
  if (options.json) {
    PrintJson(ToJson(ZQ_TAny(list)));
    return kOk;
  }
  TextTable table({"NAME", "INSTANCE", "PID", "PORT", "STATE", "UP", "LOG"});
  const long long now = static_cast<long long>(std::time(nullptr));
  for (const ZQ_TAny& element : list) {
    const ZQ_TDict& entry = element.DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
    const ZQ_TAny* started = entry.Find("Started");
    const long long since =
        started && started->As<ZQ_TUInt32>() ? started->As<ZQ_TUInt32>()->Value() : now;
    table.AddRow({Text(entry, "Name"), Text(entry, "Instance"), Text(entry, "PID"),
                  Text(entry, "Port"), Text(entry, "State"), FormatUptime(now - since),
                  Text(entry, "Log")});
  }
  table.Print(std::cout);
  return kOk;
}

// Prints the process id of one running instance; fails when it does not run.
int Pid(const Options& options) {
  const unsigned instance =
      ParseWord("u16:" + options.instance).DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__);
  const ZQ_TList list = RunningInstances(options.host, options.serverName);
  const ZQ_TDict* entry = FindInstance(list, instance);
  const ZQ_TAny* pid = entry != nullptr ? entry->Find("PID") : nullptr;
  if (pid == nullptr || pid->As<ZQ_TUInt32>() == nullptr) {
    std::cerr << "zqm: " << zqm_trace::Escaped(options.serverName) << " instance " << instance
              << " is not running\n";
    return kFailure;
  }
  std::cout << pid->As<ZQ_TUInt32>()->Value() << std::endl;
  return kOk;
}

// Colours only for a person at a terminal who has not declined them.
bool UseColour() {
  return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
}

int FleetStatus(const Options& options) {
  const std::vector<HostReport> fleet =
      GatherFleet(ReadFleetTree(options.host), std::chrono::milliseconds(options.hostTimeoutMs));
  if (options.json) {
    PrintJson(FleetJson(fleet, std::time(nullptr)));
  } else {
    PrintFleet(std::cout, fleet, std::time(nullptr), UseColour());
  }
  for (const HostReport& report : fleet)
    if (!report.reachable) return kFailure;
  return kOk;
}

int Status(const Options& options) {
  if (options.all) return FleetStatus(options);
  const StatusReport collected = HostStatus(options.host);
  if (options.json) {
    PrintJson(StatusJson(collected, std::time(nullptr)));
  } else {
    PrintStatus(std::cout, collected, std::time(nullptr), UseColour());
  }
  // What is known is shown; a script still learns that a part is missing.
  return collected.configurationProblem.empty() ? kOk : kFailure;
}

// Calls a method of the service and reports its 1/0 result.
int Steer(const Options& options, const char* method, const ZQ_TList& arguments) {
  ZQM_TClient service;
  ConnectToService(service, options.host, options.waitSeconds);
  const ZQ_TAny result = service.Call(ZQ_TString(method), arguments);
  const ZQ_TUInt32* done = result.As<ZQ_TUInt32>();
  if (done != nullptr && done->Value() == 0) {
    std::cerr << "zqm: the service could not do \"" << method << "\"\n";
    return kFailure;
  }
  std::cout << method << ": done\n";
  return kOk;
}

// Has the configuration server read its file again, then the service
// reconfigure; a file that is refused stops there.
int Reload(const Options& options, bool restartChanged) {
  try {
    Almanac_TProxy almanac(options.host.empty() ? nullptr : options.host.c_str());
    almanac.RPC(ZQ_TString("Reload"));
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = "the configuration server did not reload: " + failure.ZQ_Message();
    throw;
  }
  std::cout << "Reload: done\n";
  const int reconfigured = Steer(options, "Reconfigure", ZQ_TList());
  if (reconfigured != kOk) return reconfigured;
  return ReportLaunchChanges(options.host, restartChanged);
}

int PrintRoles() {
  TextTable table({"SERVICE", "METHOD", "NEEDS", "AND"});
  for (const zqm_roles::Rule& rule : zqm_roles::Rules())
    table.AddRow({rule.service, rule.method, zqm_roles::RoleName(rule.needs), rule.note});
  table.Print(std::cout);
  return kOk;
}

int Log(const Options& options) {
  const unsigned instance =
      options.instance.empty()
          ? 1
          : ParseWord("u16:" + options.instance).DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__);
  return PrintLog(options.host, options.serverName, instance, options.follow);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"zqm: calls middleware servers and steers the Custodel service", "zqm"};
  app.set_version_flag("--version", "zqm " ZQ_PROJECT_VERSION);
  app.require_subcommand(1);
  app.add_option("--host", options.host,
                 "host whose daemon and servers to reach (default: this host)");
  std::string keyFile;
  app.add_option("--key", keyFile,
                 "the installation key file (default: $ZQM_KEY_FILE, else the default key file)");
  bool insecure = false;
  app.add_flag("--insecure", insecure, "call servers that run without a key")->excludes("--key");
  app.add_option("--wait", options.waitSeconds,
                 "how long to wait for a service busy with a pass, in seconds (default: "
                 "$ZQM_WAIT_SECONDS, else 300)")
      ->check(CLI::Range(0, 86400));
  CLI::App* call = app.add_subcommand(
      "call", "call a method: NAME INSTANCE METHOD [ARG...], or --port P METHOD [ARG...]");
  call->add_option("--port", options.port, "call the server listening on this port")
      ->check(CLI::Range(1, 65535));
  // The words after the options are taken as they stand: CLI11 would read
  // "[]", a method of the configuration server, as an empty list.
  call->prefix_command();
  call->footer(
      "Words: NAME INSTANCE METHOD [ARG...], or METHOD [ARG...] with --port. ARG: str:TEXT, "
      "u32:N, u16:N, bool:true, empty, or a bare word (number, true/false, text).");
  CLI::App* servers = app.add_subcommand("servers", "list the running instances the daemon knows");
  servers->add_option("name", options.serverName, "only this server");
  servers->add_flag("--json", options.json, "print one JSON document: the daemon's list");
  CLI::App* status =
      app.add_subcommand("status", "show what the service runs on this host and for how long");
  status->add_flag("--json", options.json, "print one JSON document");
  CLI::Option* all =
      status->add_flag("--all", options.all,
                       "every host the configuration names under \"Hosts\" (exit status 1 when one "
                       "cannot be reached)");
  const auto hostTimeout = [&options](CLI::App* command) {
    return command
        ->add_option("--host-timeout", options.hostTimeoutMs,
                     "with the fleet: how long each host may take to answer, in ms (default 3000)")
        ->check(CLI::Range(1, 600000));
  };
  hostTimeout(status)->needs(all);
  WebOptions webOptions;
  CLI::App* web = app.add_subcommand(
      "web", "serve the fleet view as a page on 127.0.0.1, at an address with a random token");
  web->add_option("--port", webOptions.port, "port on 127.0.0.1 (default 8090; 0: any free port)")
      ->check(CLI::Range(0, 65535));
  web->add_option("--refresh-seconds", webOptions.refreshSeconds,
                  "how often the hosts are asked and the page redrawn (default 5)")
      ->check(CLI::Range(1, 3600));
  hostTimeout(web);
  CLI::App* pid = app.add_subcommand(
      "pid", "print the process id of a running instance (exit status 1 when it does not run)");
  pid->add_option("name", options.serverName, "the server")->required();
  pid->add_option("instance", options.instance, "the instance number")->required();
  CLI::App* reconfigure =
      app.add_subcommand("reconfigure", "make the service read the configuration again");
  CLI::App* stop =
      app.add_subcommand("stop", "make the service stop watching every configured server");
  CLI::App* ignore =
      app.add_subcommand("ignore", "make the service stop watching one server ('*': all)");
  ignore->add_option("name", options.serverName, "the server, or '*'")->required();
  CLI::App* reload = app.add_subcommand(
      "reload", "make the configuration server read its file again, then the service reconfigure");
  bool restartChanged = false;
  reload->add_flag("--restart-changed", restartChanged,
                   "then restart, one at a time in start-up order, the instances launched from an "
                   "older launch configuration (without: list them)");
  CLI::App* log = app.add_subcommand("log", "print an instance's log (read on this host)");
  log->add_option("name", options.serverName, "the server")->required();
  log->add_option("instance", options.instance, "the instance number (default 1)");
  log->add_flag("-f,--follow", options.follow, "go on printing what is appended, until Ctrl-C");
  CLI::App* roles = app.add_subcommand(
      "roles", "print who may call which method: the roles table every server applies");
  ControlCommands control;
  AddControlCommands(app, control);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kOk : kUsage;
  }
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  if (insecure) zqm_auth::UseInsecure();
  if (!keyFile.empty()) zqm_auth::UseKeyFile(keyFile);
  if (roles->parsed()) return PrintRoles();
  try {
    if (call->parsed()) {
      options.words = call->remaining();
      return Call(options);
    }
    if (servers->parsed()) return Servers(options);
    if (status->parsed()) return Status(options);
    if (web->parsed()) {
      webOptions.host = options.host;
      webOptions.hostLimit = std::chrono::milliseconds(options.hostTimeoutMs);
      return RunWeb(webOptions);
    }
    if (pid->parsed()) return Pid(options);
    if (const std::optional<int> status = RunControlCommand(control, options.host)) return *status;
    if (reconfigure->parsed()) return Steer(options, "Reconfigure", ZQ_TList());
    if (stop->parsed()) return Steer(options, "Stop", ZQ_TList());
    if (reload->parsed()) return Reload(options, restartChanged);
    if (log->parsed()) return Log(options);
    ZQ_TList name;
    name.Append(ZQ_TAny(ZQ_TString(options.serverName)));
    (void)ignore;
    return Steer(options, "IgnoreServer", name);
  } catch (const UsageError& usage) {
    std::cerr << "zqm: " << usage.message << "\n";
    return kUsage;
  } catch (const ZQ_EException& failure) {
    return Fail(failure);
  }
}
