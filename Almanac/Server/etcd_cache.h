// The configuration server's own copy of the last tree it read from etcd,
// kept in a file so that a server started while etcd cannot be reached
// serves that copy (saying that it may be stale) instead of nothing.
//
// The file is a configuration file (config_file.h) that only this user may
// read (mode 0600): the tree may hold what other users must not see. It is
// replaced whole (written beside it, then renamed), so that a crash never
// leaves half a tree. Its time of change is when the copy was last saved.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "typelib/dodived.h"

namespace almanac::etcd {

// Where the copy of server `name` instance `instance` is kept by default:
// beside the middleware daemon's state, /var/lib/zqmd for root,
// $XDG_STATE_HOME/zqmd (by default ~/.local/state/zqmd) for other users.
// Empty when a user's home is not known.
std::string DefaultCacheFile(const std::string& name, unsigned instance);

// What the file held, and when it was saved.
struct SavedTree {
  ZQ_TTree tree;
  std::time_t saved = 0;
};

// Replaces the file at `path` with `tree`, creating its folder (mode 0700)
// when missing. Throws ZQM_EException naming the call, the path and the
// reason.
void SaveCopy(const std::string& path, const ZQ_TTree& tree);

// The copy at `path`; nullopt when there is none. Throws ZQM_EException
// when it exists but cannot be read or is not a configuration file.
std::optional<SavedTree> LoadCopy(const std::string& path);

}  // namespace almanac::etcd
