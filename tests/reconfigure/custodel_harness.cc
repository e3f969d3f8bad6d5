#include "reconfigure/custodel_harness.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <regex>
#include <stdexcept>

#include "Custodel/Private/Source/custodel.h"

namespace custodel_test {

namespace {

std::string EscapeForRegex(const std::string& text) {
  static const std::string special = "^$\\.*+?()[]{}|/";
  std::string escaped;
  for (char c : text) {
    if (special.find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::string ServerEntry(const std::string& name, const std::string& settings) {
  std::string entry = "\"" + name + "\": {\"Program\": \"@BIN@/sample_server\"";
  if (!settings.empty()) entry += ", " + settings;
  return entry + "}";
}

std::string Configuration(const std::vector<std::string>& servers, const std::string& extra) {
  std::string text = "{\"Servers\": {\"ZQMD\": {\"Servers\": {";
  for (std::size_t i = 0; i < servers.size(); ++i) {
    if (i > 0) text += ",\n";
    text += servers[i];
  }
  text += "}}}";
  if (!extra.empty()) text += ",\n" + extra;
  return text + "}\n";
}

void InitialiseLibraries() {
  if (!__ZQ_INITIALIZATION_FUNCTION_custodel__()) {
    throw std::runtime_error("the type library or the middleware did not initialise");
  }
  ZQM_RegisterRuntimeClasses();
}

Service::Service(const Installation& installation) : process_(installation.StartCustodel()) {}

std::size_t Service::Await(const std::string& text, std::size_t after,
                           std::chrono::milliseconds timeout) {
  return AwaitPattern(EscapeForRegex(text), after, timeout);
}

std::size_t Service::AwaitPattern(const std::string& textPattern, std::size_t after,
                                  std::chrono::milliseconds timeout) {
  const std::string pattern = "^\\S+ \\S+ [0-9]+ custodel\\[[0-9]+/[0-9]+\\] " + textPattern + "$";
  const std::optional<std::size_t> found = process_->WaitForLine(pattern, timeout, after);
  if (!found) {
    throw std::runtime_error("custodel did not trace /" + textPattern + "/ (after line " +
                             std::to_string(after) + "); its output:\n" + process_->Output());
  }
  return *found;
}

std::vector<std::string> Service::Texts(std::size_t from, std::size_t to) const {
  const std::vector<std::string> lines = process_->Lines();
  std::vector<std::string> texts;
  for (std::size_t i = from; i < std::min(to, lines.size()); ++i) {
    if (auto trace = ParseTraceLine(lines[i])) texts.push_back(trace->text);
  }
  return texts;
}

std::size_t Service::Count(const std::string& text, std::size_t from, std::size_t to) const {
  const std::vector<std::string> texts = Texts(from, to);
  return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
}

std::vector<std::string> Service::TextsStartingWith(const std::string& prefix, std::size_t from,
                                                    std::size_t to) const {
  std::vector<std::string> matching;
  for (const std::string& text : Texts(from, to)) {
    if (text.rfind(prefix, 0) == 0) matching.push_back(text);
  }
  return matching;
}

std::optional<int> Service::WaitForEnd(std::chrono::milliseconds timeout) {
  const std::optional<int> status = process_->WaitForExit(timeout);
  // The exit can be seen before the reader has taken the last lines from the
  // pipe; a pattern that matches nothing waits until the output is closed.
  if (status) process_->WaitForLine("(?!)", timeout);
  return status;
}

ZQ_TAny Service::Call(const std::string& method, const ZQ_TList& arguments) const {
  ZQM_TClient client;
  client.Connect("", "Custodel", 1, ZQM_TClient::kLocateOnly);
  return client.Call(ZQ_TString(method), arguments);
}

std::size_t Service::Sync() {
  const std::size_t before = process_->LineCount();
  Call("Reconfigure");
  return AwaitPattern("Reconfigure for ServerConfiguration \".*\"", before);
}

std::optional<TraceLine> ParseTraceLine(const std::string& line) {
  static const std::regex format(
      "^([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{6}) ([0-9]+) "
      "custodel\\[[0-9]+/[0-9]+\\] (.*)$");
  std::smatch match;
  if (!std::regex_match(line, match, format)) return std::nullopt;
  std::tm stamp{};
  stamp.tm_year = std::stoi(match[1]) - 1900;
  stamp.tm_mon = std::stoi(match[2]) - 1;
  stamp.tm_mday = std::stoi(match[3]);
  stamp.tm_hour = std::stoi(match[4]);
  stamp.tm_min = std::stoi(match[5]);
  stamp.tm_sec = std::stoi(match[6]);
  TraceLine trace;
  trace.seconds = static_cast<double>(timegm(&stamp)) + std::stoi(match[7]) / 1e6;
  trace.level = std::stoi(match[8]);
  trace.text = match[9];
  return trace;
}

pid_t RequirePid(const Installation& installation, const std::string& name, unsigned instance) {
  const std::optional<pid_t> pid = installation.PidOf(name, instance);
  if (!pid) {
    throw std::runtime_error("the daemon lists no " + name + " instance " +
                             std::to_string(instance));
  }
  return *pid;
}

std::vector<std::string> RunningInstances(const Installation& installation) {
  std::vector<std::string> running;
  for (const ZQ_TAny& element : installation.Servers("*")) {
    const ZQ_TDict& entry = element.DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
    running.push_back(entry["Name"].DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text() + "#" +
                      std::to_string(static_cast<unsigned>(
                          entry["Instance"].DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__))));
  }
  std::sort(running.begin(), running.end());
  return running;
}

std::optional<std::uint32_t> UInt32Of(const ZQ_TAny& value) {
  if (const ZQ_TUInt32* number = value.As<ZQ_TUInt32>()) return number->Value();
  return std::nullopt;
}

}  // namespace custodel_test
