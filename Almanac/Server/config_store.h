// The configuration the server holds and the methods through which clients
// read and change it.
//
// A request is a ZQ_TDict: the method name under "M", parameters under "P1",
// "P2". Paths name entries below the root, keys joined by '/'; empty
// segments are skipped, so a trailing '/' changes nothing and "" or "/" is
// the root.
//
//   Expand(path)        the value at path: a copy of a subtree, or the leaf
//   [](path, optional)  the same; with `optional` (ZQ_TBool, absent = false)
//                       true, a missing path gives an empty ZQ_TAny instead
//                       of an error
//   KeysAt(path)        ZQ_TList of the keys (ZQ_TString) directly below the
//                       subtree at path, in file order
//   Set(path, value)    stores value at path, creating subtrees on the way;
//                       with a file, kept in memory only, until the next
//                       reload; a source that keeps changes (etcd) stores
//                       it there first, and a failure stores nothing
//   Reload()            reads the file (the source) again; one that cannot
//                       be loaded leaves the current configuration in place
//   Freshness()         ZQ_TDict: empty while the tree served is current;
//                       when it may be stale (etcd cannot be reached),
//                       "StaleSince" (ZQ_TUInt32, seconds since the epoch)
//                       and "Why" (ZQ_TString)
//
// Every failure throws a ZQM_EException saying what is wrong; an unknown
// method throws ZQM_ENoSuchServerMethod whose message is the method name.
//
// Not synchronised: the server runs calls and signal handlers one at a time
// on its event loop's thread. Only the wait of a Set for its source may run
// on a thread of the store's (AnswerWritesLater), while the server's thread
// goes on serving reads from the current tree.
#pragma once

#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Almanac/Server/config_source.h"
#include "typelib/dodived.h"

namespace almanac {

// Runs work on the server's thread; safe from any thread.
using PostToServer = std::function<void(std::function<void()>)>;

// Where trace lines go: the server's DBG_Type in the program.
using TraceSink = std::function<void(int level, const std::string& text)>;

// Why the file loader would refuse `value` (a key a path cannot reach,
// nesting deeper than kMaxConfigDepth), or "" when it would not. `level` is
// the level a container at `at` opens, the root tree being level 1. The
// descent stops at the limit, so any depth of value is safe to check.
std::string ValueProblem(const ZQ_TAny& value, unsigned level, const std::string& at);

class ConfigStore {
 public:
  // Serves the JSON file at `path`.
  ConfigStore(std::string path, TraceSink trace);
  ConfigStore(std::unique_ptr<ConfigSource> source, TraceSink trace);
  ~ConfigStore();  // waits for a Set's write that is under way

  // The first load, before the server offers any method: a failure throws
  // and leaves the store empty.
  void Load();
  // From now on serves the changes that the source reports (see
  // ConfigSource::Follow), each followed by the OnChange call.
  void Follow();

  // Serves one request (see above); the result is what the caller receives.
  ZQ_TAny Call(const ZQ_TDict& arguments);

  // From now on Set and Reload, which may wait for the source, are taken
  // one at a time in the order they come, and a Set's write runs on a
  // thread of the store's; `post` runs its end on the server's thread.
  void AnswerWritesLater(PostToServer post);
  // Answers a call served later, on the server's thread: with the result,
  // or the failure (non-null) Call would have thrown.
  using Answer = std::function<void(ZQ_TAny result, std::exception_ptr failure)>;
  // Serves one request as Call does into `result`, except that, after
  // AnswerWritesLater, a Set or Reload is answered through the function
  // `defer` returns.
  void Call(const ZQ_TDict& arguments, ZQ_TAny& result, const std::function<Answer()>& defer);

  // Reads the file again. A failure keeps the current configuration and
  // throws ZQM_EException with the reason (file, line and column).
  void Reload();
  // The same for SIGHUP, where nobody waits for an answer: a failure is
  // traced instead of thrown. True when the new file was taken; false as
  // well when it must wait for a Set (AnswerWritesLater), after which it
  // runs.
  bool ReloadOnSignal();

  ZQ_TAny Expand(const ZQ_TString& path, bool missingIsEmpty = false) const;
  ZQ_TList KeysAt(const ZQ_TString& path) const;
  void Set(const ZQ_TString& path, ZQ_TAny value);
  ZQ_TDict Freshness() const;

  // Called after every change of the served tree (a reload or a Set), so
  // that those who keep parts of it (the daemon keeps launch
  // configurations) can read them again.
  void OnChange(std::function<void()> changed) { changed_ = std::move(changed); }

  const ZQ_TTree& Tree() const { return tree_; }
  const std::string& Path() const { return path_; }

 private:
  void Trace(int level, const std::string& text) const;
  // Runs `work`; a failure is traced as the method's before it goes on.
  template <class Work>
  auto TracingFailure(const std::string& method, Work work);
  // A Set checked and prepared, whose source has yet to write it.
  struct PendingSet {
    ZQ_TString path;
    ZQ_TAny value;
    std::string traced;  // "path = value"
    std::unique_ptr<ConfigSource::PendingStore> store;
  };
  PendingSet BeginSet(const ZQ_TString& path, ZQ_TAny value);
  void EndSet(PendingSet& set);
  // A Set or Reload waiting its turn (the first one is under way).
  struct Waiting {
    ZQ_TDict arguments;
    Answer answer;  // none for a reload on a signal
  };
  void RunWaiting();
  // Runs the call, or starts a Set's write (true: it ends later).
  bool StartedLater(const Waiting& call);
  void Written(PendingSet& set, std::exception_ptr failure);

  std::unique_ptr<ConfigSource> source_;
  std::string path_;  // the source's name
  TraceSink trace_;
  std::function<void()> changed_;
  ZQ_TTree tree_;
  PostToServer post_;  // set: Sets and Reloads are answered later
  std::deque<Waiting> waiting_;
  std::thread writer_;
};

}  // namespace almanac
