#include "zqmd/launch_config.h"

#include <algorithm>

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

const ZQ_TString* TextAt(const ZQ_TTree& server, const char* key, const std::string& name) {
  const ZQ_TAny* value = server.Child(key);
  if (value == nullptr) return nullptr;
  const ZQ_TString* text = value->As<ZQ_TString>();
  if (text == nullptr)
    Refuse(name, std::string("\"") + key + "\" is a " + value->HeldClassName() + ", not a text");
  return text;
}

std::uint32_t NumberAt(const ZQ_TTree& server, const char* key, const std::string& name,
                       std::uint32_t fallback) {
  const ZQ_TAny* value = server.Child(key);
  if (value == nullptr) return fallback;
  if (value->As<ZQ_TUInt32>() == nullptr)
    Refuse(name, std::string("\"") + key + "\" is a " + value->HeldClassName() + ", not a number");
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
