// Starting instances without ever blocking the daemon's event loop.
//
// Launch() suspends its caller until the child has executed the program (the
// child shares the caller's memory until then), and a child whose working
// directory or program lies on a mount that does not answer (a hung FUSE or
// NFS mount) stays in chdir or execve for as long as the mount hangs. So each
// launch runs on a thread of its own, which only that launch holds: the loop
// goes on, and the outcome is handed to it once the launch has finished.
// Cancel() gives up on a launch: its child is killed, which ends even such a
// wait, and its thread ends then.
//
// Used on the event loop's thread only; `done` runs there.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "zqmd/launcher.h"
#include "zqmd/loop_mailbox.h"

namespace zqmd {

class Spawner {
 public:
  using Id = std::uint64_t;  // never 0

  // What became of a launch: a started process, or why none was.
  struct Outcome {
    pid_t pid = 0;
    Descriptor pidfd;  // the process's, when it started
    Descriptor log;    // the daemon's descriptor of its log, when asked for
    std::string problem;
  };
  using Done = std::function<void(Outcome& outcome)>;

  // Launches under way at the most: a start beyond is refused, so that
  // launches hung in a mount cannot pile up threads without bound.
  static constexpr std::size_t kMaxUnderWay = 64;

  explicit Spawner(asio::io_context& io);
  // Gives up on every launch under way; waits for none of their threads.
  ~Spawner();
  Spawner(const Spawner&) = delete;
  Spawner& operator=(const Spawner&) = delete;

  // Launches `launch` as `request` says on a thread of its own (`identity`
  // and `cgroupProcs`, taken, are the request's identity and cgroup
  // descriptors; -1 for none) and calls `done` with the
  // outcome, also when the launch was given up on (its child is killed
  // then, and the receiver reaps it). Throws ZQM_EException when
  // kMaxUnderWay launches are under way or no thread can be started.
  Id Start(LaunchConfig launch, LaunchRequest request, int identity, Done done,
           int cgroupProcs = -1);

  // Gives up on the launch: its child, if any, is killed (SIGKILL).
  void Cancel(Id id);
  void CancelAll();

  // The process id of the launch's child while it is under way (a process
  // that registers before the outcome has arrived is known by it); 0 when
  // there is none (yet), or for unknown ids.
  pid_t ChildOf(Id id) const;

 private:
  struct Job;
  struct Entry {
    std::shared_ptr<Job> job;
    Done done;
  };

  static void Run(const std::shared_ptr<Job>& job, const std::shared_ptr<LoopMailbox>& mailbox,
                  Spawner* spawner, Id id);
  void Deliver(Id id, Outcome& outcome);

  std::shared_ptr<LoopMailbox> mailbox_;
  std::map<Id, Entry> underWay_;
  Id next_ = 0;
};

}  // namespace zqmd
