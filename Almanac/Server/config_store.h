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
//                       kept in memory only, until the next reload
//   Reload()            reads the file again; a file that cannot be loaded
//                       leaves the current configuration in place
//
// Every failure throws a ZQM_EException saying what is wrong; an unknown
// method throws ZQM_ENoSuchServerMethod whose message is the method name.
//
// Not synchronised: the server runs calls and signal handlers one at a time
// on its event loop's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "typelib/dodived.h"

namespace almanac {

// Where trace lines go: the server's DBG_Type in the program.
using TraceSink = std::function<void(int level, const std::string& text)>;

class ConfigStore {
 public:
  ConfigStore(std::string path, TraceSink trace);

  // The first load, before the server offers any method: a failure throws
  // and leaves the store empty.
  void Load();

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

  // Called after every change of the served tree (a reload or a Set), so
  // that those who keep parts of it (the daemon keeps launch
  // configurations) can read them again.
  void OnChange(std::function<void()> changed) { changed_ = std::move(changed); }

  const ZQ_TTree& Tree() const { return tree_; }
  const std::string& Path() const { return path_; }

 private:
  void Trace(int level, const std::string& text) const;

  std::string path_;
  TraceSink trace_;
  std::function<void()> changed_;
  ZQ_TTree tree_;
};

}  // namespace almanac
