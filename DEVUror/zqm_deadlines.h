// Deadlines for an Asio event loop without Asio's timers.
//
// Asio keeps its timers in one timerfd, and once any timer has been used it
// re-arms that descriptor for at most five minutes ahead whenever it runs:
// an idle loop then wakes every five minutes, for ever. This queue keeps its
// own timerfd, armed for the earliest pending deadline and disarmed when
// none is pending, so a loop with nothing to do sleeps until the kernel has
// something to say.
//
// Used on the loop's thread only; callbacks run on it.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

namespace zqm_deadlines {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timerfd
using Id = std::uint64_t;

class DeadlineQueue {
 public:
  explicit DeadlineQueue(asio::io_context& io);
  ~DeadlineQueue();
  DeadlineQueue(const DeadlineQueue&) = delete;
  DeadlineQueue& operator=(const DeadlineQueue&) = delete;

  // Runs `callback` once `delay` has passed; the id serves to cancel it.
  Id After(std::chrono::milliseconds delay, std::function<void()> callback);
  // Forgets a pending deadline; an id that has run or was cancelled does
  // nothing.
  void Cancel(Id id);
  bool Empty() const { return byId_.empty(); }

 private:
  using Key = std::pair<Clock::time_point, Id>;

  void Arm();
  void Wait();
  void RunDue();

  asio::posix::stream_descriptor timer_;
  std::map<Key, std::function<void()>> pending_;
  std::unordered_map<Id, Clock::time_point> byId_;
  Id next_ = 0;
  Clock::time_point armedFor_{};
  bool waiting_ = false;
};

}  // namespace zqm_deadlines
