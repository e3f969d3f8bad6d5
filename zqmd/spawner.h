// Starting instances without ever blocking the daemon's event loop.
//
// Launch() suspends its caller until the child has executed the program (the
// child shares the caller's memory until then), and a child whose working
// directory or program lies on a mount that does not answer (a hung FUSE or
// NFS mount) stays in chdir or execve for as long as the mount hangs. So each
// launch runs on a launch thread, which only that launch holds while it
// lasts: the loop goes on, and the outcome is handed to it once the launch
// has finished. Cancel() gives up on a launch: its child is killed, which
// ends even such a wait.
//
// A launch thread that is done waits for the next launch (a few are kept),
// so that a restart does not wait for a new thread. Each has a descriptor
// table of its own, holding only what its launch needs: the child's copy of
// it is made at every launch, and the daemon's own table grows with every
// instance it watches. The descriptors a launch takes (identity, cgroup) and
// hands back (process, log) pass through a socket between the two tables.
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
#include <vector>

#include "zqmd/launcher.h"

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
  class Worker;
  struct Entry {
    std::shared_ptr<LaunchControl> control;
    Done done;
    std::shared_ptr<Worker> worker;
  };

  // Idle launch threads kept for the next launches; one more is only
  // started while all of them are busy.
  static constexpr std::size_t kMaxIdleWorkers = 2;

  std::shared_ptr<Worker> TakeWorker();
  void Deliver(Id id);

  asio::io_context& io_;
  std::map<Id, Entry> underWay_;
  std::vector<std::shared_ptr<Worker>> idle_;
  Id next_ = 0;
};

}  // namespace zqmd
