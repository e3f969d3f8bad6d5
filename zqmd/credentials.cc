#include "zqmd/credentials.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <optional>

#include "DEVUror/zqm_exceptions.h"

namespace zqmd {

namespace {

// Bounds for what the user and group databases may hand us.
constexpr std::size_t kMaxEntryBuffer = 1 << 20;
constexpr int kMaxGroups = 65536;

[[noreturn]] void Refuse(const std::string& why) {
  ZQM_EException refused{ZQ_TString(why)};
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

std::optional<unsigned long> Number(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long value = std::stoul(text);
  if (value >= static_cast<unsigned long>(static_cast<uid_t>(-1))) return std::nullopt;
  return value;
}

// A passwd or group entry with the buffer its texts live in.
template <class Entry>
struct Found {
  Entry entry{};
  std::vector<char> buffer;
};

// Calls getpwnam_r, getpwuid_r, getgrnam_r or getgrgid_r with a buffer
// that grows while the entry does not fit; nullopt when there is no entry.
template <class Entry, class Key, class Lookup>
std::optional<Found<Entry>> LookUp(Lookup lookup, Key key, const char* what,
                                   const std::string& asked) {
  Found<Entry> found;
  found.buffer.resize(4096);
  for (;;) {
    Entry* result = nullptr;
    const int error = lookup(key, &found.entry, found.buffer.data(), found.buffer.size(), &result);
    if (error == ERANGE && found.buffer.size() < kMaxEntryBuffer) {
      found.buffer.resize(found.buffer.size() * 2);
      continue;
    }
    if (error != 0 && error != ENOENT && error != ESRCH && error != EBADF && error != EPERM)
      Refuse(std::string("cannot look up ") + what + " \"" + asked + "\": " + std::strerror(error));
    if (result == nullptr) return std::nullopt;
    return found;
  }
}

std::optional<Found<passwd>> UserByName(const std::string& name) {
  return LookUp<passwd>(getpwnam_r, name.c_str(), "user", name);
}
std::optional<Found<passwd>> UserById(uid_t uid) {
  return LookUp<passwd>(getpwuid_r, uid, "user", std::to_string(uid));
}
std::optional<Found<group>> GroupByName(const std::string& name) {
  return LookUp<group>(getgrnam_r, name.c_str(), "group", name);
}

// The supplementary groups `name` gets at login, `gid` among them.
std::vector<gid_t> GroupsOf(const char* name, gid_t gid) {
  int count = 64;
  std::vector<gid_t> groups;
  for (;;) {
    groups.resize(static_cast<std::size_t>(count));
    int found = count;
    if (getgrouplist(name, gid, groups.data(), &found) >= 0) {
      groups.resize(static_cast<std::size_t>(found));
      return groups;
    }
    if (found <= count || found > kMaxGroups)
      Refuse(std::string("cannot list the groups of user \"") + name + "\"");
    count = found;
  }
}

gid_t ResolveGroup(const std::string& group) {
  if (const auto number = Number(group)) return static_cast<gid_t>(*number);
  const auto found = GroupByName(group);
  if (!found) Refuse("unknown group \"" + group + "\"");
  return found->entry.gr_gid;
}

}  // namespace

Identity CurrentIdentity() {
  return Identity{geteuid(), getegid()};
}

Credentials ResolveCredentials(const std::string& user, const std::string& group,
                               const Identity& daemon) {
  Credentials credentials;
  if (!group.empty()) {
    credentials.changeGroup = true;
    credentials.gid = ResolveGroup(group);
  }
  if (!user.empty()) {
    std::optional<Found<passwd>> entry;
    if (const auto number = Number(user)) {
      credentials.uid = static_cast<uid_t>(*number);
      entry = UserById(credentials.uid);
    } else {
      entry = UserByName(user);
      if (!entry) Refuse("unknown user \"" + user + "\"");
      credentials.uid = entry->entry.pw_uid;
    }
    credentials.changeUser = true;
    if (!credentials.changeGroup) {
      if (!entry) Refuse("user " + user + " has no passwd entry: give \"Group\" as well");
      credentials.changeGroup = true;
      credentials.gid = entry->entry.pw_gid;
    }
    if (entry) {
      credentials.groups = GroupsOf(entry->entry.pw_name, credentials.gid);
      credentials.environment = {{"HOME", entry->entry.pw_dir},
                                 {"USER", entry->entry.pw_name},
                                 {"LOGNAME", entry->entry.pw_name}};
    } else {
      credentials.groups = {credentials.gid};
    }
  }
  if (daemon.uid == 0) return credentials;
  // Not root: only what the daemon already is, and nothing to change.
  if (credentials.changeUser && credentials.uid != daemon.uid) {
    Refuse("the daemon runs as uid " + std::to_string(daemon.uid) +
           ", not as root: it cannot start a server as user " + user + " (uid " +
           std::to_string(credentials.uid) + ")");
  }
  if (credentials.changeGroup && credentials.gid != daemon.gid) {
    Refuse("the daemon runs as gid " + std::to_string(daemon.gid) +
           ", not as root: it cannot start a server with group " +
           (group.empty() ? user + "'s group" : group) + " (gid " +
           std::to_string(credentials.gid) + ")");
  }
  credentials.changeUser = false;
  credentials.changeGroup = false;
  return credentials;
}

}  // namespace zqmd
