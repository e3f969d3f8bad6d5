// Whose credentials an instance runs with: the launch keys "User" and
// "Group" resolved, in the daemon, into the ids and supplementary groups
// that the child sets before it executes the program.
//
// A root daemon starts the instance as "User" (a name, or a number), with
// that user's groups: the supplementary groups of a named user (or of a
// number with a passwd entry) as initgroups would set them, "Group" or the
// user's primary group as its group. A number without a passwd entry needs
// "Group" as well: the instance would otherwise keep the daemon's group.
// "Group" alone changes the group only. A daemon that is not root can only
// start instances as itself: naming another user, or a group other than
// its own, is refused.
//
// Names are resolved here, before any fork: the child of a multi-threaded
// daemon may call no library function that could take a lock.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace zqmd {

// The user and group a process runs as.
struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The daemon's effective ids.
Identity CurrentIdentity();

struct Credentials {
  bool changeUser = false;  // set groups, gid and uid; drop capabilities
  bool changeGroup = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // the supplementary groups, when changeUser
  // HOME, USER and LOGNAME of a user with a passwd entry; empty otherwise.
  std::vector<std::pair<std::string, std::string>> environment;
};

// The credentials for `user` and `group` ("" when not configured; a text of
// digits is a number) for a daemon running as `daemon`. Throws
// ZQM_EException for an unknown name, a number without what it needs, or
// ids that `daemon` may not take.
Credentials ResolveCredentials(const std::string& user, const std::string& group,
                               const Identity& daemon);

}  // namespace zqmd
