// Starting an instance as a process of its own.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zqmd/credentials.h"
#include "zqmd/launch_config.h"

namespace zqmd {

// A descriptor closed on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct Launched {
  pid_t pid = 0;
  int pidfd = -1;  // owned by the caller
  int log = -1;    // owned by the caller; only when asked for
};

// Lets another thread give up on a launch that has not finished: its child
// may hang for as long as a mount does not answer, in chdir to its working
// directory or in execve of a program on such a mount. The child publishes
// its process id before its first step, and is reaped by the launching
// thread only under the lock, so Cancel() never signals a process id that
// was reused.
class LaunchControl {
 public:
  // Any thread: a child that exists and was not reaped is killed (SIGKILL);
  // one not created yet ends before its first step.
  void Cancel();
  bool Cancelled() const { return cancelled_.load(); }
  // The child's process id once it runs; 0 before, -1 once reaped.
  pid_t Child() const { return child_.load(); }

  // For the launcher: the child's first act, in the child. False when the
  // launch was given up on already (the child then ends).
  bool Begin(pid_t child);
  // For the launcher: before the launching thread reaps the child.
  void Reaping();

 private:
  std::mutex mutex_;
  std::atomic<pid_t> child_{0};
  std::atomic<bool> cancelled_{false};
};

// What a start needs besides its launch configuration.
struct LaunchRequest {
  std::string name;
  unsigned instance = 0;
  std::string logPath;
  // The instance's identity (see below), borrowed; -1 for none.
  int identityFd = -1;
  // Hand back the daemon's own descriptor of the log in Launched::log.
  bool keepLog = false;
  // "User" and "Group" resolved beforehand (they may take the user
  // database's time); empty: resolved by Launch.
  std::optional<Credentials> credentials;
  // The descriptor limit (RLIMIT_NOFILE) the instance starts with; empty:
  // the daemon's own.
  std::optional<rlimit> descriptorLimit;
  LaunchControl* control = nullptr;  // borrowed; may be null
  // The cgroup.procs of the instance's cgroup (cgroups.h), borrowed: the
  // child joins it before anything else; -1 for none.
  int cgroupProcs = -1;
  // /dev/null opened for reading (close-on-exec), borrowed, for a caller
  // that starts many; -1: Launch opens it.
  int devNull = -1;
};

// Starts `launch` as instance `instance` of `name`: in a session of its own
// (so that it outlives the daemon and is not hit by the daemon's terminal
// signals), standard input from /dev/null, standard output and error
// appended to `logPath` (opened by the daemon, so it works whatever the
// instance's user; see OpenLogFile), no descriptor of the daemon inherited
// but `identityFd` as descriptor 3 with ZQM_IDENTITY_FD=3 when it is >= 0
// (zqm_identity.h), none of the daemon's key variables, default
// signal dispositions and an empty signal mask, ZQM_SERVER_NAME and
// ZQM_SERVER_INSTANCE set, and the credentials of the launch keys "User"
// and "Group" (credentials.h). A program without '/' is looked up in the
// daemon's PATH. Throws ZQM_EException naming the program or file and the
// reason (unknown user, not found, not executable, log not writable, ...).
// With `keepLog`, the daemon's own descriptor of the log (O_APPEND) is
// handed back in Launched::log, for the daemon's marker lines.
//
// Blocks until the child has executed the program or failed (the child
// shares the caller's memory until then): a caller that must not wait for a
// hung mount calls it on a thread of its own, with a LaunchControl.
Launched Launch(const LaunchConfig& launch, const LaunchRequest& request);
Launched Launch(const LaunchConfig& launch, const std::string& name, unsigned instance,
                const std::string& logPath, int identityFd, bool keepLog = false);

// Where the program `program` is looked for, in order: itself when it holds
// a '/', else in each folder of the daemon's PATH, as execvp would.
std::vector<std::string> ProgramCandidates(const std::string& program);

// /dev/null for reading, close-on-exec, numbered high enough for
// LaunchRequest::devNull; -1 with errno set on failure.
int OpenDevNull();

// Opens a pidfd for `pid` (close-on-exec); -1 with errno set on failure.
int OpenPidfd(pid_t pid);

// How a child ended, from waitid's si_code and si_status: "exit status 3",
// "killed by signal 9 (Killed)".
std::string DescribeEnd(int code, int status);

// Reaps `pidfd`'s process when it is a child of this process and has ended;
// returns a description of how it ended ("exit status 3", "killed by signal
// 9"), or "" when it is not our child.
std::string Reap(int pidfd);

}  // namespace zqmd
