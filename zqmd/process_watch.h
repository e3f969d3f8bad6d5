// Waiting on many processes at once, each through its pidfd, with one
// descriptor in the event loop.
//
// The pidfds are not handed to the event loop one by one: the loop hands out
// readiness in batches, and a descriptor closed while its readiness waits in
// the current batch would pass that readiness on to whatever descriptor the
// next watch gets (the loop's per-descriptor record is reused, and so is the
// number). Here the loop sees only one epoll descriptor that lives as long
// as the set; the pidfds sit in that epoll set under a watch id that is never
// reused. Readiness is fetched from the epoll set only when it is handled, so
// a watch that was released meanwhile is simply not found, and a new watch
// can never inherit an earlier one's readiness. Before an end is reported it
// is checked once more with the kernel.
//
// Every child of this process that the set was given is reaped when its
// watch is released: at once when it has ended, else once it ends. How it
// ended can be asked before, without reaping it, so that the caller chooses
// when to pay for the reap.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace zqmd {

// Whether the process behind `pidfd` has ended, without waiting.
bool PidfdEnded(int pidfd);

class ProcessWatchSet {
 public:
  using Id = std::uint64_t;  // never 0, never reused

  // Throws ZQM_EException when the epoll descriptor cannot be made.
  explicit ProcessWatchSet(asio::io_context& io);
  ~ProcessWatchSet();
  ProcessWatchSet(const ProcessWatchSet&) = delete;
  ProcessWatchSet& operator=(const ProcessWatchSet&) = delete;

  // Takes `pidfd` (closed by the set on every way out) and calls `ended`
  // once, on the io_context's thread, when the kernel confirms that the
  // process has ended. `child`: the process is a child of ours, so that its
  // end is confirmed with waitid and it is reaped. Throws ZQM_EException when
  // the pidfd cannot be added to the epoll set.
  Id Watch(int pidfd, bool child, std::function<void()> ended);

  // Stops watching: `ended` will not be called any more. An ended child is
  // reaped now; a child still running is kept, without a callback, until it
  // ends and is reaped then. Unknown ids (0 included) are ignored.
  void Release(Id id);

  // Whether the process of `id` has ended, asked of the kernel without
  // waiting; false for unknown ids.
  bool HasEnded(Id id) const;

  // How the process of `id` ended ("exit status 3", "killed by signal 9
  // (Killed)"), without reaping it; "" when it is not our child or has not
  // ended.
  std::string HowEnded(Id id);

  // Sends `signal` to the process of `id` through its pidfd, so that it can
  // never reach a process that took over the number; 0, or the errno
  // (ESRCH for unknown ids and ended processes).
  int Signal(Id id, int signal) const;

  // How many processes are watched (released children still running
  // included).
  std::size_t Count() const { return watches_.size(); }

 private:
  struct Entry {
    int pidfd = -1;
    bool child = false;
    bool released = false;
    std::function<void()> ended;
    // How a child ended (si_code, si_status), once seen; code 0: not yet.
    int endCode = 0;
    int endStatus = 0;
  };

  void Arm();
  void HandleReady();
  void Rearm(Id id);
  void Close(std::map<Id, Entry>::iterator entry);
  bool EndConfirmed(Entry& entry);

  asio::posix::stream_descriptor epoll_;
  std::map<Id, Entry> watches_;
  Id nextId_ = 1;
  bool armed_ = false;
};

}  // namespace zqmd
