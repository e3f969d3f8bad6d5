#include "Almanac/Server/config_check.h"

#include <ostream>
#include <utility>

#include "Almanac/Server/config_file.h"
#include "Almanac/Server/known_keys.h"
#include "Almanac/Server/program.h"

namespace almanac {

namespace {

class Checker {
 public:
  Checker(const std::string& path, std::ostream& out) : path_(path), out_(out) {}

  void Read() {
    std::string text;
    try {
      text = ReadConfigFile(path_);
    } catch (const ZQ_EException& failure) {
      ReportRefusal(failure.ZQ_Message().Text());
      return;
    }
    Check(std::move(text));
  }

  void Check(std::string text) {
    text_ = std::move(text);
    try {
      const ZQ_TTree root = ParseConfigText(text_, path_, offsets_);
      Walk(root, "");
    } catch (const ZQ_EException& failure) {
      ReportRefusal(failure.ZQ_Message().Text());
    }
  }

  int Summarise() {
    out_ << path_ << ": " << (errors_ == 0 ? "valid" : Count(errors_, "error"))
         << (warnings_ == 0 ? "" : ", " + Count(warnings_, "warning")) << '\n';
    return errors_ == 0 ? kExitOk : kExitFailure;
  }

 private:
  static std::string Count(unsigned count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
  }

  void Report(const char* severity, const std::string& keyPath, const std::string& text) {
    const auto found = offsets_.find(keyPath);
    out_ << path_ << ":" << (found != offsets_.end() ? PositionIn(text_, found->second) : "1:1")
         << ": " << severity << ": " << text << '\n';
    ++(severity[0] == 'e' ? errors_ : warnings_);
  }

  // The loader's refusal: "<file>:<line>:<column>: <reason>", or
  // "<file>: <reason>" when the file cannot be read.
  void ReportRefusal(const std::string& message) {
    const std::size_t after = message.compare(0, path_.size(), path_) == 0 ? path_.size() : 0;
    const std::size_t reason = message.find(": ", after);
    if (reason == std::string::npos) {
      out_ << path_ << ": error: " << message << '\n';
    } else {
      out_ << message.substr(0, reason) << ": error: " << message.substr(reason + 2) << '\n';
    }
    ++errors_;
  }

  void Walk(const ZQ_TTree& tree, const std::string& prefix) {
    bool closed = false;
    for (const char* pattern : ClosedSubtrees())
      closed = closed || PathMatches(pattern, prefix);
    for (const auto& [key, value] : tree.Entries()) {
      const std::string path = prefix.empty() ? key.Text() : prefix + "/" + key.Text();
      const KnownKey* known = nullptr;
      for (const KnownKey& candidate : KnownKeys())
        if (PathMatches(candidate.path, path)) known = &candidate;
      if (known != nullptr && !HasKind(value, known->kind)) {
        Report("error", path, WrongKind(path, value, *known));
        continue;
      }
      if (known == nullptr && closed) {
        Report("warning", path,
               "unknown key \"" + key.Text() + "\" (" + path +
                   "): neither the daemon nor the service reads it");
      }
      if (const ZQ_TTree* child = value.As<ZQ_TTree>()) Walk(*child, path);
    }
  }

  static std::string WrongKind(const std::string& path, const ZQ_TAny& value,
                               const KnownKey& known) {
    std::string what = DescribeValue(value);
    if (const ZQ_TString* text = value.As<ZQ_TString>();
        text != nullptr && text->Text().size() < 40)
      what += " (\"" + text->Text() + "\")";
    return path + " is " + what + ", but must be " + KindName(known.kind) + " (read by " +
           known.readBy + ")";
  }

  const std::string& path_;
  std::ostream& out_;
  std::string text_;
  KeyOffsets offsets_;
  unsigned errors_ = 0;
  unsigned warnings_ = 0;
};

}  // namespace

int CheckConfigFile(const std::string& path, std::ostream& out) {
  Checker checker(path, out);
  checker.Read();
  return checker.Summarise();
}

int CheckConfigText(std::string_view text, const std::string& path, std::ostream& out) {
  Checker checker(path, out);
  checker.Check(std::string(text));
  return checker.Summarise();
}

}  // namespace almanac
