#include "Almanac/Server/config_store.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/config_file.h"

namespace almanac {
namespace {

// The same reading of a path as ZQ_TTree's: non-empty segments between '/'.
std::vector<std::string_view> Segments(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return segments;
}

std::string Join(const std::vector<std::string_view>& segments, std::size_t count) {
  std::string joined;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) joined += '/';
    joined += segments[i];
  }
  return joined;
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// Follows `segments` from `root`. Null when there is no such entry, with
// `problem` saying where the path leaves the tree: a key that is missing, or
// a value where a subtree would have to be.
const ZQ_TAny* Resolve(const ZQ_TTree& root, const std::vector<std::string_view>& segments,
                       std::string& problem) {
  const ZQ_TTree* tree = &root;
  const ZQ_TAny* value = nullptr;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (tree == nullptr) {
      problem = Quoted(Join(segments, i)) + " is a value, not a subtree";
      return nullptr;
    }
    value = tree->Child(segments[i]);
    if (value == nullptr) {
      problem = (i == 0 ? std::string("the configuration") : Quoted(Join(segments, i))) +
                " has no key " + Quoted(segments[i]);
      return nullptr;
    }
    tree = value->As<ZQ_TTree>();
  }
  return value;
}

std::string TooDeep() {
  return "nested deeper than " + std::to_string(kMaxConfigDepth) + " levels";
}

}  // namespace

std::string ValueProblem(const ZQ_TAny& value, unsigned level, const std::string& at) {
  const ZQ_TTree* tree = value.As<ZQ_TTree>();
  const ZQ_TList* list = value.As<ZQ_TList>();
  const ZQ_TDict* dict = value.As<ZQ_TDict>();
  if (tree == nullptr && list == nullptr && dict == nullptr) return {};
  if (level > kMaxConfigDepth) return Quoted(at) + " is " + TooDeep();
  std::string problem;
  if (tree != nullptr) {
    for (const auto& [key, child] : tree->Entries()) {
      if (key.IsEmpty()) return Quoted(at) + " holds an empty key, which no path can reach";
      if (key.Text().find('/') != std::string::npos) {
        return Quoted(at) + " holds the key " + Quoted(key.Text()) +
               ", whose '/' separates the levels of a path";
      }
      problem = ValueProblem(child, level + 1, at + '/' + key.Text());
      if (!problem.empty()) return problem;
    }
  } else if (list != nullptr) {
    for (std::size_t i = 0; i < list->Count() && problem.empty(); ++i)
      problem = ValueProblem((*list)[i], level + 1, at + '[' + std::to_string(i) + ']');
  } else {
    for (const auto& [key, child] : dict->Entries()) {
      problem = ValueProblem(child, level + 1, at + '[' + key.Text() + ']');
      if (!problem.empty()) return problem;
    }
  }
  return problem;
}

namespace {

std::string MethodOf(const ZQ_TDict& arguments) {
  const ZQ_TAny* methodValue = arguments.Find(ZQ_TString("M"));
  const ZQ_TString* method = methodValue != nullptr ? methodValue->As<ZQ_TString>() : nullptr;
  if (method == nullptr) {
    ALMANAC_THROW(ZQM_EException, "the request names no method: \"M\" must hold a ZQ_TString");
  }
  return method->Text();
}

ZQ_TDict ReloadRequest() {
  ZQ_TDict request;
  request.Set(ZQ_TString("M"), ZQ_TAny(ZQ_TString("Reload")));
  return request;
}

std::string KeyCount(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " top-level key" : " top-level keys");
}

// The parameters of one request, checked with messages that name the method
// and the parameter, since a caller may get either wrong.
class Parameters {
 public:
  Parameters(const ZQ_TDict& arguments, const std::string& method)
      : arguments_(arguments), method_(method) {}

  const ZQ_TString& Path(const char* key) const {
    const ZQ_TAny& value = Required(key, "the path");
    const ZQ_TString* path = value.As<ZQ_TString>();
    if (path == nullptr) WrongType(key, "the path", "a ZQ_TString", value);
    return *path;
  }

  // An absent or empty flag is false, so that callers may leave it out.
  bool Flag(const char* key, const char* what) const {
    const ZQ_TAny* value = arguments_.Find(ZQ_TString(key));
    if (value == nullptr || value->IsEmpty()) return false;
    const ZQ_TBool* flag = value->As<ZQ_TBool>();
    if (flag == nullptr) WrongType(key, what, "a ZQ_TBool", *value);
    return flag->Value();
  }

  const ZQ_TAny& Value(const char* key, const char* what) const { return Required(key, what); }

 private:
  const ZQ_TAny& Required(const char* key, const char* what) const {
    const ZQ_TAny* value = arguments_.Find(ZQ_TString(key));
    if (value == nullptr || value->IsEmpty()) {
      ALMANAC_THROW(ZQM_EException, method_ + ": parameter " + key + " (" + what + ") is missing");
    }
    return *value;
  }

  [[noreturn]] void WrongType(const char* key, const char* what, const char* expected,
                              const ZQ_TAny& value) const {
    ALMANAC_THROW(ZQM_EException, method_ + ": parameter " + key + " (" + what + ") must be " +
                                      expected + ", not a " + value.HeldClassName());
  }

  const ZQ_TDict& arguments_;
  const std::string& method_;
};

}  // namespace

ConfigStore::ConfigStore(std::string path, TraceSink trace)
    : ConfigStore(std::make_unique<FileSource>(std::move(path)), std::move(trace)) {}

ConfigStore::ConfigStore(std::unique_ptr<ConfigSource> source, TraceSink trace)
    : source_(std::move(source)), path_(source_->Name()), trace_(std::move(trace)) {}

ConfigStore::~ConfigStore() {
  if (writer_.joinable()) writer_.join();
}

template <class Work>
auto ConfigStore::TracingFailure(const std::string& method, Work work) {
  try {
    return work();
  } catch (const ZQ_EException& failure) {
    Trace(1, method + " failed: " + failure.ZQ_Message().Text());
    throw;
  }
}

void ConfigStore::Load() {
  tree_ = source_->Read();
  Trace(0, "Loaded configuration " + path_ + " (" + KeyCount(tree_.Count()) + ")");
}

void ConfigStore::Follow() {
  source_->Follow([this](ZQ_TTree tree) {
    tree_ = std::move(tree);
    Trace(0, "Configuration " + path_ + " changed (" + KeyCount(tree_.Count()) + ")");
    if (changed_) changed_();
  });
}

void ConfigStore::Reload() {
  try {
    tree_ = source_->Read();
  } catch (const ZQ_EException& failure) {
    const std::string text =
        "Reload of " + path_ +
        " failed, keeping the previous configuration: " + failure.ZQ_Message().Text();
    Trace(0, text);
    ALMANAC_THROW(ZQM_EException, text);
  }
  Trace(0, "Reloaded configuration " + path_ + " (" + KeyCount(tree_.Count()) + ")");
  if (changed_) changed_();
}

bool ConfigStore::ReloadOnSignal() {
  if (!waiting_.empty()) {
    waiting_.push_back({ReloadRequest(), nullptr});
    return false;
  }
  try {
    Reload();
    return true;
  } catch (const ZQ_EException&) {
    return false;  // Reload has traced why
  } catch (const std::exception& failure) {
    // Nothing may escape into the event loop from a signal handler.
    Trace(0,
          "Reload of " + path_ + " failed, keeping the previous configuration: " + failure.what());
    return false;
  }
}

ZQ_TAny ConfigStore::Expand(const ZQ_TString& path, bool missingIsEmpty) const {
  const std::vector<std::string_view> segments = Segments(path.Text());
  if (segments.empty()) return ZQ_TAny(tree_);
  std::string problem;
  const ZQ_TAny* value = Resolve(tree_, segments, problem);
  if (value != nullptr) return *value;
  if (missingIsEmpty) return ZQ_TAny();
  ALMANAC_THROW(ZQM_EException, "no entry " + Quoted(path.Text()) + ": " + problem);
}

ZQ_TList ConfigStore::KeysAt(const ZQ_TString& path) const {
  const std::vector<std::string_view> segments = Segments(path.Text());
  if (segments.empty()) return tree_.Keys();
  std::string problem;
  const ZQ_TAny* value = Resolve(tree_, segments, problem);
  if (value == nullptr) {
    ALMANAC_THROW(ZQM_EException, "no entry " + Quoted(path.Text()) + ": " + problem);
  }
  const ZQ_TTree* subtree = value->As<ZQ_TTree>();
  if (subtree == nullptr) {
    ALMANAC_THROW(ZQM_EException, Quoted(path.Text()) + " is a value (" + value->HeldClassName() +
                                      "), not a subtree with keys");
  }
  return subtree->Keys();
}

ConfigStore::PendingSet ConfigStore::BeginSet(const ZQ_TString& path, ZQ_TAny value) {
  const std::vector<std::string_view> segments = Segments(path.Text());
  if (segments.empty()) {
    ALMANAC_THROW(ZQM_EException, "cannot set " + Quoted(path.Text()) +
                                      ": the path names the whole configuration, not an entry");
  }
  // What the file loader refuses cannot come in through Set either. The
  // root is level 1 and each segment but the last opens one more.
  const std::string problem = segments.size() > kMaxConfigDepth
                                  ? "the path is " + TooDeep()
                                  : ValueProblem(value, static_cast<unsigned>(segments.size()) + 1,
                                                 Join(segments, segments.size()));
  if (!problem.empty()) {
    ALMANAC_THROW(ZQM_EException, "cannot set " + Quoted(path.Text()) + ": " + problem);
  }
  // Subtrees on the way are created, but a value on the way is not silently
  // turned into one: a mistyped path would wipe out configuration.
  const ZQ_TTree* tree = &tree_;
  for (std::size_t i = 0; i + 1 < segments.size() && tree != nullptr; ++i) {
    const ZQ_TAny* child = tree->Child(segments[i]);
    if (child == nullptr) break;
    tree = child->As<ZQ_TTree>();
    if (tree == nullptr) {
      ALMANAC_THROW(ZQM_EException, "cannot set " + Quoted(path.Text()) + ": " +
                                        Quoted(Join(segments, i + 1)) +
                                        " is a value, not a subtree");
    }
  }
  std::ostringstream printed;
  ZQ_PrintElement(printed, value);
  std::unique_ptr<ConfigSource::PendingStore> store = source_->PrepareStore(tree_, segments, value);
  return {path, std::move(value), Join(segments, segments.size()) + " = " + printed.str(),
          std::move(store)};
}

void ConfigStore::EndSet(PendingSet& set) {
  if (std::optional<ZQ_TTree> stored = set.store->Finish()) {
    tree_ = std::move(*stored);
  } else {
    tree_.Set(set.path, std::move(set.value));
  }
  Trace(1, "Set " + set.traced);
  if (changed_) changed_();
}

void ConfigStore::Set(const ZQ_TString& path, ZQ_TAny value) {
  PendingSet set = BeginSet(path, std::move(value));
  set.store->Write();
  EndSet(set);
}

void ConfigStore::AnswerWritesLater(PostToServer post) {
  post_ = std::move(post);
}

void ConfigStore::Call(const ZQ_TDict& arguments, ZQ_TAny& result,
                       const std::function<Answer()>& defer) {
  const std::string method = MethodOf(arguments);
  if (!post_ || (method != "Set" && method != "Reload")) {
    result = Call(arguments);
    return;
  }
  waiting_.push_back({arguments, defer()});
  if (waiting_.size() == 1) RunWaiting();
}

void ConfigStore::RunWaiting() {
  while (!waiting_.empty()) {
    if (StartedLater(waiting_.front())) return;
    waiting_.pop_front();
  }
}

bool ConfigStore::StartedLater(const Waiting& call) {
  ZQ_TAny result;
  std::exception_ptr failure;
  try {
    if (MethodOf(call.arguments) != "Set") {
      result = Call(call.arguments);
    } else {
      auto set = std::make_shared<PendingSet>(TracingFailure("Set", [&] {
        const Parameters parameters(call.arguments, "Set");
        return BeginSet(parameters.Path("P1"), parameters.Value("P2", "the value"));
      }));
      if (writer_.joinable()) writer_.join();
      writer_ = std::thread([this, set] {
        std::exception_ptr failure;
        try {
          set->store->Write();
        } catch (...) {
          failure = std::current_exception();
        }
        // Handed over, not shared: the loop's thread alone holds the
        // failure from here on, and destroys it after it has answered.
        post_([this, set, failure = std::move(failure)] { Written(*set, failure); });
      });
      return true;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (call.answer) call.answer(std::move(result), failure);
  return false;
}

void ConfigStore::Written(PendingSet& set, std::exception_ptr failure) {
  const Answer answer = std::move(waiting_.front().answer);
  waiting_.pop_front();
  try {
    if (failure) std::rethrow_exception(failure);
    TracingFailure("Set", [&] { EndSet(set); });
    answer(ZQ_TAny(true), nullptr);
  } catch (const ZQ_EException& refused) {
    if (failure) Trace(1, "Set failed: " + refused.ZQ_Message().Text());
    answer(ZQ_TAny(), std::current_exception());
  } catch (...) {
    answer(ZQ_TAny(), std::current_exception());
  }
  RunWaiting();
}

ZQ_TAny ConfigStore::Call(const ZQ_TDict& arguments) {
  const std::string name = MethodOf(arguments);
  const Parameters parameters(arguments, name);
  if (name == "Reload") {  // traces its own failures
    Reload();
    return ZQ_TAny(true);
  }
  if (name != "Expand" && name != "[]" && name != "KeysAt" && name != "Freshness" && name != "Set")
    ALMANAC_THROW(ZQM_ENoSuchServerMethod, name);
  return TracingFailure(name, [&] {
    if (name == "Expand") return Expand(parameters.Path("P1"));
    if (name == "[]")
      return Expand(parameters.Path("P1"), parameters.Flag("P2", "missing is empty"));
    if (name == "KeysAt") return ZQ_TAny(KeysAt(parameters.Path("P1")));
    if (name == "Freshness") return ZQ_TAny(Freshness());
    Set(parameters.Path("P1"), parameters.Value("P2", "the value"));
    return ZQ_TAny(true);
  });
}

ZQ_TDict ConfigStore::Freshness() const {
  const ConfigSource::Freshness freshness = source_->Staleness();
  ZQ_TDict answer;
  if (freshness.staleSince == 0) return answer;
  answer.Set(ZQ_TString("StaleSince"),
             ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(freshness.staleSince))));
  answer.Set(ZQ_TString("Why"), ZQ_TAny(ZQ_TString(freshness.why)));
  return answer;
}

void ConfigStore::Trace(int level, const std::string& text) const {
  if (trace_) trace_(level, text);
}

}  // namespace almanac
