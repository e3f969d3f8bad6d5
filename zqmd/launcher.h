// Starting an instance as a process of its own.
#pragma once

#include <sys/types.h>

#include <unistd.h>

#include <string>
#include <utility>

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
Launched Launch(const LaunchConfig& launch, const std::string& name, unsigned instance,
                const std::string& logPath, int identityFd, bool keepLog = false);

// Opens a pidfd for `pid` (close-on-exec); -1 with errno set on failure.
int OpenPidfd(pid_t pid);

// Reaps `pidfd`'s process when it is a child of this process and has ended;
// returns a description of how it ended ("exit status 3", "killed by signal
// 9"), or "" when it is not our child.
std::string Reap(int pidfd);

}  // namespace zqmd
