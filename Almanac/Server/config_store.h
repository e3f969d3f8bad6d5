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
// on its event loop's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Almanac/Server/config_source.h"
#include "typelib/dodived.h"

namespace almanac {

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
  ~ConfigStore();

  // The first load, before the server offers any method: a failure throws
  // and leaves the store empty.
  void Load();
  // From now on serves the changes that the source reports (see
  // ConfigSource::Follow), each followed by the OnChange call.
  void Follow();

  // Serves one request (see above); the result is what the caller receives.
  ZQ_TAny Call(const ZQ_TDict& arguments);

  // Reads the file again. A failure keeps the current configuration and
  // throws ZQM_EException with the reason (file, line and column).
  void Reload();
  // The same for SIGHUP, where nobody waits for an answer: a failure is
  // traced instead of thrown. True when the new file was taken.
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

  std::unique_ptr<ConfigSource> source_;
  std::string path_;  // the source's name
  TraceSink trace_;
  std::function<void()> changed_;
  ZQ_TTree tree_;
};

}  // namespace almanac
