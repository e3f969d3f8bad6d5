#include "zqmd/launch_config.h"

#include <algorithm>
#include <optional>

#include "DEVUror/zqm_exceptions.h"

namespace zqmd {

namespace {

[[noreturn]] void Refuse(const std::string& name, const std::string& what) {
  ZQM_ENoSuchServer refused(ZQ_TString::Format("server \"%s\" cannot be started: %s", name, what));
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

std::string Substitute(std::string text, const std::string& name, unsigned instance) {
  const std::pair<std::string, std::string> placeholders[] = {
      {"{name}", name}, {"{instance}", std::to_string(instance)}};
  for (const auto& [placeholder, value] : placeholders) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
      text.replace(at, placeholder.size(), value);
    }
  }
  return text;
}

const ZQ_TString* TextAt(const ZQ_TTree& server, const char* key, const std::string& name,
                         const char* label = nullptr) {
  const ZQ_TAny* value = server.Child(key);
  if (value == nullptr) return nullptr;
  const ZQ_TString* text = value->As<ZQ_TString>();
  if (text == nullptr) {
    Refuse(name, std::string("\"") + (label != nullptr ? label : key) + "\" is a " +
                     value->HeldClassName() + ", not a text");
  }
  return text;
}

// `label`: the key as the message names it, when it is not `key` itself.
std::uint32_t NumberAt(const ZQ_TTree& server, const char* key, const std::string& name,
                       std::uint32_t fallback, const char* label = nullptr) {
  const ZQ_TAny* value = server.Child(key);
  if (value == nullptr) return fallback;
  if (value->As<ZQ_TUInt32>() == nullptr) {
    Refuse(name, std::string("\"") + (label != nullptr ? label : key) + "\" is a " +
                     value->HeldClassName() + ", not a number");
  }
  return value->As<ZQ_TUInt32>()->Value();
}

// A user or group: a non-empty text, or a number kept as its digits.
std::string AccountAt(const ZQ_TTree& server, const char* key, const std::string& name) {
  const ZQ_TAny* value = server.Child(key);
  if (value == nullptr) return "";
  if (const ZQ_TUInt32* number = value->As<ZQ_TUInt32>()) return std::to_string(number->Value());
  const ZQ_TString* text = value->As<ZQ_TString>();
  if (text == nullptr || text->IsEmpty())
    Refuse(name, std::string("\"") + key + "\" is not a name or a number");
  return text->Text();
}

Backoff ReadBackoff(const ZQ_TTree& server, const std::string& name) {
  Backoff backoff;
  backoff.minimumUptimeMs = NumberAt(server, "BackoffMinimumUptime", name, backoff.minimumUptimeMs);
  backoff.initialDelayMs = NumberAt(server, "BackoffInitialDelay", name, backoff.initialDelayMs);
  backoff.maximumDelayMs = NumberAt(server, "BackoffMaximumDelay", name, backoff.maximumDelayMs);
  if (backoff.initialDelayMs == 0) Refuse(name, "\"BackoffInitialDelay\" is 0");
  if (backoff.initialDelayMs > backoff.maximumDelayMs)
    Refuse(name, "\"BackoffInitialDelay\" is above \"BackoffMaximumDelay\"");
  return backoff;
}

// "PORT" as a port number, or nothing.
std::optional<unsigned short> PortOf(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long port = std::stoul(text);
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<unsigned short>(port);
}

// "http://127.0.0.1:PORT/PATH" (PATH optional); only loopback is probed,
// so that a check can reach nothing beyond this host.
ProbeTarget HttpTarget(const std::string& url, const std::string& key, const std::string& name) {
  static const std::string kPrefix = "http://127.0.0.1:";
  const auto refuse = [&](const std::string& why) {
    Refuse(name, "\"" + key + "\" \"" + url + "\" " + why);
  };
  if (url.rfind(kPrefix, 0) != 0) refuse("does not start with " + kPrefix);
  const std::size_t slash = url.find('/', kPrefix.size());
  const std::optional<unsigned short> port =
      PortOf(url.substr(kPrefix.size(), slash - kPrefix.size()));
  if (!port) refuse("has no port from 1 to 65535 after the address");
  ProbeTarget target{*port, slash == std::string::npos ? "/" : url.substr(slash)};
  if (target.httpPath.size() > kMaxProbePathBytes)
    refuse("has a path longer than " + std::to_string(kMaxProbePathBytes) + " bytes");
  for (const char c : target.httpPath) {
    if (c <= ' ' || c == 0x7f) refuse("has a space or a control character in its path");
  }
  return target;
}

Readiness ReadReadiness(const ZQ_TTree& server, const std::string& name) {
  Readiness readiness;
  const ZQ_TString* text = TextAt(server, "Readiness", name);
  if (text == nullptr) return readiness;
  const std::string value = text->Text();
  if (value == "notify") {
    readiness.kind = Readiness::Kind::kNotify;
  } else if (value.rfind("tcp:", 0) == 0) {
    const std::optional<unsigned short> port = PortOf(value.substr(4));
    if (!port) Refuse(name, "\"Readiness\" \"" + value + "\" has no port from 1 to 65535");
    readiness.kind = Readiness::Kind::kProbe;
    readiness.probe.port = *port;
  } else if (value.rfind("http:", 0) == 0) {
    readiness.kind = Readiness::Kind::kProbe;
    readiness.probe = HttpTarget(value, "Readiness", name);
  } else {
    Refuse(name, "\"Readiness\" is \"" + value +
                     "\", not \"notify\", \"tcp:PORT\" or \"http://127.0.0.1:PORT/PATH\"");
  }
  return readiness;
}

HealthCheck ReadHealthCheck(const ZQ_TTree& server, const std::string& name, unsigned instance) {
  HealthCheck check;
  const ZQ_TAny* value = server.Child("HealthCheck");
  if (value == nullptr) return check;
  const ZQ_TTree* tree = value->As<ZQ_TTree>();
  if (tree == nullptr) Refuse(name, "\"HealthCheck\" is not a tree");
  unsigned kinds = 0;
  if (const ZQ_TAny* command = tree->Child("Command")) {
    ++kinds;
    const ZQ_TList* list = command->As<ZQ_TList>();
    if (list == nullptr || list->Count() == 0)
      Refuse(name, "\"HealthCheck/Command\" is not a list of texts (the program first)");
    for (const ZQ_TAny& element : *list) {
      const ZQ_TString* text = element.As<ZQ_TString>();
      if (text == nullptr) Refuse(name, "an element of \"HealthCheck/Command\" is not a text");
      check.command.push_back(Substitute(text->Text(), name, instance));
    }
    if (check.command.front().empty()) Refuse(name, "\"HealthCheck/Command\" names no program");
  }
  if (tree->Child("Tcp") != nullptr) {
    ++kinds;
    const std::uint32_t port = NumberAt(*tree, "Tcp", name, 0, "HealthCheck/Tcp");
    if (port == 0 || port > 65535)
      Refuse(name, "\"HealthCheck/Tcp\" is not a port from 1 to 65535");
    check.probe.port = static_cast<unsigned short>(port);
  }
  if (const ZQ_TString* url = TextAt(*tree, "Http", name, "HealthCheck/Http")) {
    ++kinds;
    check.probe = HttpTarget(url->Text(), "HealthCheck/Http", name);
  }
  if (kinds != 1)
    Refuse(name, "\"HealthCheck\" needs exactly one of \"Command\", \"Tcp\" and \"Http\"");
  check.intervalMs =
      NumberAt(*tree, "IntervalMs", name, kDefaultHealthIntervalMs, "HealthCheck/IntervalMs");
  check.timeoutMs =
      NumberAt(*tree, "TimeoutMs", name, kDefaultHealthTimeoutMs, "HealthCheck/TimeoutMs");
  check.failuresBeforeRestart =
      NumberAt(*tree, "FailuresBeforeRestart", name, kDefaultHealthFailures,
               "HealthCheck/FailuresBeforeRestart");
  if (check.intervalMs < kMinHealthIntervalMs)
    Refuse(name, "\"HealthCheck/IntervalMs\" is below " + std::to_string(kMinHealthIntervalMs));
  // A check never overlaps the next, so that N failures take at most N
  // intervals.
  if (check.timeoutMs == 0 || check.timeoutMs > check.intervalMs)
    Refuse(name, "\"HealthCheck/TimeoutMs\" must be from 1 to \"IntervalMs\"");
  if (check.failuresBeforeRestart == 0) Refuse(name, "\"HealthCheck/FailuresBeforeRestart\" is 0");
  return check;
}

// A size in bytes: a number, or a text of digits with an optional K, M, G
// or T (powers of 1024).
std::uint64_t BytesAt(const ZQ_TTree& server, const char* key, const std::string& name) {
  const ZQ_TAny* value = server.Child(key);
  if (value == nullptr) return 0;
  const std::string wrong =
      std::string("\"") + key + "\" must be a number of bytes or a text like \"512M\" (K, M, G, T)";
  if (const ZQ_TUInt32* number = value->As<ZQ_TUInt32>()) {
    if (number->Value() == 0) Refuse(name, wrong + ", not 0");
    return number->Value();
  }
  const ZQ_TString* text = value->As<ZQ_TString>();
  if (text == nullptr) Refuse(name, wrong);
  const std::string given = text->Text();
  const std::size_t digits = std::min(given.find_first_not_of("0123456789"), given.size());
  // Twelve digits and a T stay far below 2^64.
  if (digits == 0 || digits > 12) Refuse(name, wrong + ", not \"" + given + "\"");
  std::uint64_t bytes = std::stoull(given.substr(0, digits));
  if (digits < given.size()) {
    const std::string units = "KMGT";
    const std::size_t unit = given.size() == digits + 1 ? units.find(given[digits]) : units.npos;
    if (unit == std::string::npos) Refuse(name, wrong + ", not \"" + given + "\"");
    bytes <<= 10 * (unit + 1);
  }
  if (bytes == 0) Refuse(name, wrong + ", not 0");
  return bytes;
}

CgroupLimits ReadLimits(const ZQ_TTree& server, const std::string& name) {
  CgroupLimits limits;
  limits.memoryMax = BytesAt(server, "MemoryMax", name);
  limits.cpuWeight = NumberAt(server, "CPUWeight", name, 0);
  if (server.Child("CPUWeight") != nullptr && (limits.cpuWeight < 1 || limits.cpuWeight > 10000))
    Refuse(name, "\"CPUWeight\" must be from 1 to 10000");
  limits.tasksMax = NumberAt(server, "TasksMax", name, 0);
  if (server.Child("TasksMax") != nullptr && limits.tasksMax == 0)
    Refuse(name, "\"TasksMax\" must be 1 or more");
  return limits;
}

}  // namespace

LaunchConfig ReadLaunchConfig(const ZQ_TTree& server, const std::string& name, unsigned instance) {
  LaunchConfig launch;
  const ZQ_TString* program = TextAt(server, "Program", name);
  if (program == nullptr || program->IsEmpty()) Refuse(name, "it has no \"Program\"");
  launch.program = program->Text();

  if (const ZQ_TAny* arguments = server.Child("Arguments")) {
    const ZQ_TList* list = arguments->As<ZQ_TList>();
    if (list == nullptr) Refuse(name, "\"Arguments\" is not a list");
    for (const ZQ_TAny& argument : *list) {
      const ZQ_TString* text = argument.As<ZQ_TString>();
      if (text == nullptr) Refuse(name, "an element of \"Arguments\" is not a text");
      launch.arguments.push_back(Substitute(text->Text(), name, instance));
    }
  }
  if (const ZQ_TAny* environment = server.Child("Environment")) {
    const ZQ_TTree* tree = environment->As<ZQ_TTree>();
    if (tree == nullptr) Refuse(name, "\"Environment\" is not a tree of texts");
    for (const auto& [key, value] : tree->Entries()) {
      const ZQ_TString* text = value.As<ZQ_TString>();
      if (text == nullptr) Refuse(name, "\"Environment/" + key.Text() + "\" is not a text");
      launch.environment.emplace_back(key.Text(), Substitute(text->Text(), name, instance));
    }
  }
  if (const ZQ_TString* directory = TextAt(server, "WorkingDirectory", name)) {
    launch.workingDirectory = Substitute(directory->Text(), name, instance);
  }
  if (const ZQ_TAny* plain = server.Child("Plain")) {
    if (plain->As<ZQ_TBool>() == nullptr) Refuse(name, "\"Plain\" is not true or false");
    launch.plain = plain->As<ZQ_TBool>()->Value();
  }
  launch.startTimeoutMs = NumberAt(server, "StartTimeout", name, kDefaultStartTimeoutMs);
  launch.log.maxBytes = NumberAt(server, "LogMaxBytes", name, kDefaultLogMaxBytes);
  launch.log.filesKept = NumberAt(server, "LogFilesKept", name, kDefaultLogFilesKept);
  if (launch.log.filesKept > kMaxLogFilesKept)
    Refuse(name, "\"LogFilesKept\" is above " + std::to_string(kMaxLogFilesKept));
  launch.user = AccountAt(server, "User", name);
  launch.group = AccountAt(server, "Group", name);
  launch.backoff = ReadBackoff(server, name);
  launch.readiness = ReadReadiness(server, name);
  launch.health = ReadHealthCheck(server, name, instance);
  launch.limits = ReadLimits(server, name);
  // The service's reading: a value of another kind counts as absent.
  const ZQ_TAny* instances = server.Child("NrOfInstances");
  if (instances != nullptr && instances->As<ZQ_TUInt32>() != nullptr)
    launch.nrOfInstances = instances->As<ZQ_TUInt32>()->Value();
  return launch;
}

std::string CommandLine(const LaunchConfig& launch) {
  std::string line = launch.program;
  for (const std::string& argument : launch.arguments) {
    line += ' ';
    const bool quote = argument.empty() || argument.find_first_of(" \t\"'") != std::string::npos;
    line += quote ? "'" + argument + "'" : argument;
  }
  return line;
}

}  // namespace zqmd
