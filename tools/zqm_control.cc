#include "tools/zqm_control.h"

#include <iostream>
#include <map>
#include <vector>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_tproxy.h"
#include "DEVUror/zqm_trace.h"

namespace {

constexpr int kOk = 0;
// The longest wait of "down" and "up" for the daemon's answer (beyond an
// instance's grace while ending it), so that a daemon that hangs costs that
// long and no more.
constexpr unsigned kDaemonAnswerMs = 10000;
constexpr unsigned kDefaultGraceMs = 5000;

struct Target {
  std::string name;
  std::optional<unsigned short> instance;
};

// NAME:INSTANCE when the part after the last colon is an instance number,
// NAME otherwise (a server name may hold colons).
Target ParseTarget(const std::string& word) {
  const std::size_t colon = word.rfind(':');
  if (colon != std::string::npos && colon + 1 < word.size() && word.size() - colon <= 6 &&
      word.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    const unsigned long number = std::stoul(word.substr(colon + 1));
    if (number <= 0xFFFF) return {word.substr(0, colon), static_cast<unsigned short>(number)};
  }
  return {word, std::nullopt};
}

std::string CheckTarget(const std::string& word, bool instanceAllowed) {
  const Target target = ParseTarget(word);
  if (target.name.empty()) return "a server name is needed";
  if (target.name == "*") return "'*' is no server name here: name one server";
  if (target.instance && !instanceAllowed)
    return "give the server's name alone: every instance of it is meant";
  return "";
}

std::string Escaped(const std::string& text) {
  return zqm_trace::Escaped(text);
}

const char* HostOrNull(const std::string& host) {
  return host.empty() ? nullptr : host.c_str();
}

// The pids of the instances of `name` that the daemon lists, by instance.
std::map<unsigned short, unsigned> RunningPids(ZQM_TProxy& daemon, const std::string& name) {
  std::map<unsigned short, unsigned> pids;
  const ZQ_TAny reply = daemon.RPC(ZQ_TString("Servers"), ZQ_TAny(ZQ_TString(name)));
  for (const ZQ_TAny& element : reply.DynamicCast<ZQ_TList>(__FILE__, __LINE__)) {
    const ZQ_TDict* entry = element.As<ZQ_TDict>();
    const ZQ_TAny* number = entry != nullptr ? entry->Find("Instance") : nullptr;
    const ZQ_TAny* pid = entry != nullptr ? entry->Find("PID") : nullptr;
    if (number != nullptr && number->As<ZQ_TUInt16>() != nullptr && pid != nullptr &&
        pid->As<ZQ_TUInt32>() != nullptr) {
      pids[number->As<ZQ_TUInt16>()->Value()] = pid->As<ZQ_TUInt32>()->Value();
    }
  }
  return pids;
}

// Ends one instance and prints how: "NAME instance I (pid P) ended: HOW".
void End(ZQM_TProxy& daemon, const std::string& name, unsigned short instance,
         const std::optional<unsigned>& graceMs) {
  const ZQ_TDict ended = daemon.EndInstance(ZQ_TString(name), instance,
                                            graceMs ? ZQ_TAny(ZQ_TUInt32(*graceMs)) : ZQ_TAny());
  std::cout << Escaped(name) << " instance " << instance << " (pid "
            << ended["PID"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__) << ") ended: "
            << Escaped(ended["End"].DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text()) << "\n";
}

// Has the daemon start the instance, unless it runs already (the service may
// have been quicker), and prints its pid.
void StartAgain(ZQM_TProxy& daemon, const std::string& name, unsigned short instance) {
  ZQ_TList arguments;
  arguments.Append(ZQ_TAny(ZQ_TString(name)));
  arguments.Append(ZQ_TAny(ZQ_TUInt16(instance)));
  arguments.Append(ZQ_TAny(ZQ_TUInt32(0)));  // start it when it does not run
  try {
    daemon.Call(ZQ_TString("Locate"), arguments);
  } catch (const ZQM_ENotAnRpcServer&) {
    // A plain program: started, and listed without a port.
  }
  const auto pids = RunningPids(daemon, name);
  std::cout << Escaped(name) << " instance " << instance << " runs again";
  if (auto pid = pids.find(instance); pid != pids.end()) std::cout << " as pid " << pid->second;
  std::cout << "\n";
}

}  // namespace

void RestartInstance(ZQM_TProxy& daemon, const std::string& name, unsigned short instance,
                     const std::optional<unsigned>& graceMs) {
  End(daemon, name, instance, graceMs);
  StartAgain(daemon, name, instance);
}

namespace {

int Restart(const ControlCommands& commands, const std::string& host) {
  const Target target = ParseTarget(commands.target);
  ZQM_TProxy daemon(HostOrNull(host));
  std::vector<unsigned short> instances;
  if (target.instance) {
    instances.push_back(*target.instance);
  } else {
    for (const auto& [instance, pid] : RunningPids(daemon, target.name))
      instances.push_back(instance);
  }
  if (instances.empty()) {
    ZQM_ENoSuchServer none(ZQ_TString::Format("%s has no running instance", target.name));
    ZQ_THROW_AT(none, __FILE__, __LINE__);
  }
  for (const unsigned short instance : instances)
    RestartInstance(daemon, target.name, instance, commands.graceMs);
  return kOk;
}

// Has the daemon keep `name` down until "up", and says since when. A daemon
// that keeps no marks (an older one) is named, and the rest goes on.
void MarkDown(ZQM_TProxy& daemon, const std::string& name) {
  try {
    const ZQ_TDict mark = daemon.RPC(ZQ_TString("MarkDown"), ZQ_TAny(ZQ_TString(name)))
                              .DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
    std::cout << Escaped(name) << " is down by operator since "
              << zqm_trace::LocalTime(mark["Since"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__))
              << "; it stays down until zqm up " << Escaped(name) << "\n";
  } catch (const ZQM_ENoSuchServerMethod&) {
    std::cout << "the daemon keeps no operator marks: " << Escaped(name)
              << " is watched again at the service's next reconfiguration\n";
  }
}

int Down(const ControlCommands& commands, const std::string& host) {
  const std::string& name = commands.target;
  ZQ_TList arguments;
  arguments.Append(ZQ_TAny(ZQ_TString(name)));
  const ZQ_TAny done = CallService(host, "IgnoreServer", arguments);
  if (done.As<ZQ_TUInt32>() == nullptr || done.As<ZQ_TUInt32>()->Value() != 1) {
    ZQM_EException refused(
        ZQ_TString::Format("the service could not stop watching %s; nothing was ended", name));
    ZQ_THROW_AT(refused, __FILE__, __LINE__);
  }
  std::cout << Escaped(name) << " is not watched any more\n";
  ZQM_TProxy daemon(HostOrNull(host));
  daemon.SetCallTimeout(commands.graceMs.value_or(kDefaultGraceMs) + kDaemonAnswerMs);
  MarkDown(daemon, name);
  const auto pids = RunningPids(daemon, name);
  if (pids.empty()) std::cout << Escaped(name) << " has no running instance\n";
  for (const auto& [instance, pid] : pids)
    End(daemon, name, instance, commands.graceMs);
  return kOk;
}

int Up(const ControlCommands& commands, const std::string& host) {
  {
    ZQM_TProxy daemon(HostOrNull(host));
    daemon.SetCallTimeout(kDaemonAnswerMs);
    try {
      daemon.RPC(ZQ_TString("ClearDown"), ZQ_TAny(ZQ_TString(commands.target)));
    } catch (const ZQM_ENoSuchServerMethod&) {
      // An older daemon keeps no marks: nothing to clear.
    }
  }
  ZQ_TList arguments;
  arguments.Append(ZQ_TAny(ZQ_TString(commands.target)));
  CallService(host, "WatchServer", arguments);
  std::cout << Escaped(commands.target) << " is watched again\n";
  return kOk;
}

}  // namespace

void AddControlCommands(CLI::App& app, ControlCommands& commands) {
  const auto named = [&commands](CLI::App* command, const char* what, bool instanceAllowed) {
    command->add_option("target", commands.target, what)
        ->required()
        ->check(CLI::Validator(
            [instanceAllowed](std::string& word) { return CheckTarget(word, instanceAllowed); }, "",
            "server"));
  };
  const auto grace = [&commands](CLI::App* command) {
    command
        ->add_option("--grace", commands.graceMs,
                     "milliseconds between SIGTERM and SIGKILL (default: the daemon's 5000)")
        ->check(CLI::Range(0u, 3600000u));
  };
  commands.restart = app.add_subcommand(
      "restart", "end an instance (or every instance of a server) and start it again at once");
  named(commands.restart, "NAME or NAME:INSTANCE", true);
  grace(commands.restart);
  commands.down = app.add_subcommand(
      "down", "stop watching a server and end its instances, which stay down until 'up'");
  named(commands.down, "the server", false);
  grace(commands.down);
  commands.up = app.add_subcommand("up", "watch a server again and start its instances");
  named(commands.up, "the server", false);
}

std::optional<int> RunControlCommand(const ControlCommands& commands, const std::string& host) {
  if (commands.restart->parsed()) return Restart(commands, host);
  if (commands.down->parsed()) return Down(commands, host);
  if (commands.up->parsed()) return Up(commands, host);
  return std::nullopt;
}

ZQ_TAny CallService(const std::string& host, const char* method, const ZQ_TList& arguments) {
  ZQM_TClient service;
  try {
    service.Connect(host, ZQ_TString("Custodel"), 1, ZQM_TClient::kLocateOnly);
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = "the Custodel service cannot be reached: " + failure.ZQ_Message();
    throw;
  }
  return service.Call(ZQ_TString(method), arguments);
}
