// Whole process trees through cgroup v2: one cgroup per instance, below a
// folder the daemon may write.
//
// That folder is either given (--cgroup PATH, made when missing) or the
// daemon's own cgroup when the service manager delegated it (systemd's
// Delegate=yes marks it with the extended attribute trusted.delegate or
// user.delegate; a cgroup owned by a daemon that does not run as root
// counts too). A daemon that lives in the folder moves itself into its
// leaf "zqmd" first, so that the folder holds instances only.
//
// Instance cgroups are named "<server>@<instance>", the server name with
// every byte but letters, digits, '_', '-' and '.' written as "%XX", so that
// no name can climb out of the folder or meet the daemon's leaf or a file
// of the kernel; a restarted daemon finds them again by the same name.
//
// The processes of an instance join its cgroup before they run the program
// (the launcher writes the child into cgroup.procs), so that every process
// the program makes, in a session of its own or double-forked, belongs to
// it. Ending an instance kills whatever is left in its cgroup (cgroup.kill,
// or freezing it and killing every member where the kernel has no
// cgroup.kill); an empty cgroup is removed, at once or, when its killed
// members have not gone yet, once the kernel reports it empty
// (cgroup.events, through inotify: no polling).
//
// Accounting is read only when asked for, and a cgroup's at most once per
// kUsageFreshFor: every start's lookup lists the whole server, which would
// otherwise read two files per instance per start. Used on the event loop's
// thread.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "zqmd/launch_config.h"

namespace zqmd {

// What the kernel accounts for an instance's cgroup.
struct CgroupUsage {
  std::optional<std::uint64_t> cpuMicroseconds;  // cpu.stat usage_usec
  std::optional<std::uint64_t> memoryBytes;      // memory.current (memory controller)
};

// How long an instance's accounting, once read, answers for it.
constexpr std::chrono::milliseconds kUsageFreshFor{1000};

// The daemon's leaf when it lives in its own folder.
constexpr const char* kDaemonCgroupLeaf = "zqmd";

class Cgroups {
 public:
  // No folder: every call below does nothing (Active() is false).
  explicit Cgroups(asio::io_context& io);
  ~Cgroups();
  Cgroups(const Cgroups&) = delete;
  Cgroups& operator=(const Cgroups&) = delete;

  // Uses `folder` (made when missing; it must lie on a cgroup2 file
  // system), or with "" the daemon's own delegated cgroup. Throws
  // ZQM_EException when a given folder cannot be used; without one, returns
  // why no cgroup is used ("" when one is).
  std::string Open(const std::string& folder);
  bool Active() const { return !root_.empty(); }
  const std::string& Root() const { return root_; }
  // The controllers enabled for the instances' cgroups, e.g. "cpu memory pids".
  const std::string& Controllers() const { return controllers_; }

  // The cgroup of instance `instance` of `name` (a path; "" when inactive).
  std::string PathOf(const std::string& name, unsigned instance) const;

  // Makes the instance's cgroup for a new start: what an earlier run left
  // in it is killed, `limits` are written. Returns a descriptor of its
  // cgroup.procs (close-on-exec, owned by the caller) through which the
  // child joins it; -1 when inactive. Throws ZQM_EException saying which
  // file could not be made or written. `problems` gets a line per limit the
  // kernel does not offer (its controller is missing).
  int Prepare(const std::string& path, const CgroupLimits& limits, std::string& problems);

  // Kills every process left in the cgroup and removes it once empty.
  void End(const std::string& path);
  // Sends `signal` to every process in the cgroup but `signalled` and the
  // members of its process group, which were sent it already (some
  // programs take a second SIGTERM as "hurry"); false when it cannot be
  // read.
  bool Signal(const std::string& path, int signal, pid_t signalled) const;
  // Whether `pid` is a member of the cgroup at `path`.
  bool Holds(const std::string& path, pid_t pid) const;
  CgroupUsage Usage(const std::string& path) const;
  // Removes the instances' cgroups that are empty and not in `keep`
  // (left by instances that ended while no daemon watched them).
  void RemoveEmpty(const std::set<std::string>& keep);

 private:
  // Offers cpu, memory and pids to the folder's children, where it can.
  void EnableControllers(const std::string& root);
  void OpenEvents(const std::string& root);
  bool Kill(const std::string& path) const;
  void RemoveWhenEmpty(const std::string& path);
  void WaitForEvents();
  void ReadEvents();

  std::string root_;
  std::string controllers_;
  // inotify on cgroup.events of cgroups waiting to be empty: watch -> path.
  std::unique_ptr<asio::posix::stream_descriptor> events_;
  std::map<int, std::string> emptying_;
  // Accounting as last read, per cgroup; dropped when the cgroup is made
  // for a new start or ended.
  struct ReadUsage {
    std::chrono::steady_clock::time_point at;
    CgroupUsage usage;
  };
  mutable std::map<std::string, ReadUsage> usage_;
  bool waiting_ = false;
  asio::io_context& io_;
};

// The cgroup `pid` is a member of, as a path from the cgroup2 root ("/..."),
// from /proc/PID/cgroup; "" when unknown.
std::string CgroupOfProcess(pid_t pid);

// The instance cgroup's name for `name` and `instance` (see above).
std::string CgroupName(const std::string& name, unsigned instance);

}  // namespace zqmd
