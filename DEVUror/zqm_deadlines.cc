#include "DEVUror/zqm_deadlines.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zqm_deadlines {

namespace {

int MakeTimer() {
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  return fd;
}

timespec ToTimespec(Clock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
  timespec value{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
  // A zero time disarms a timerfd; a deadline at the clock's origin is long past anyway.
  if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;
  return value;
}

}  // namespace

DeadlineQueue::DeadlineQueue(asio::io_context& io) : timer_(io, MakeTimer()) {}

DeadlineQueue::~DeadlineQueue() {
  asio::error_code ignored;
  timer_.close(ignored);
}

Id DeadlineQueue::After(std::chrono::milliseconds delay, std::function<void()> callback) {
  const Clock::time_point when = Clock::now() + delay;
  const Id id = ++next_;
  pending_.emplace(Key{when, id}, std::move(callback));
  byId_.emplace(id, when);
  Arm();
  return id;
}

void DeadlineQueue::Cancel(Id id) {
  auto found = byId_.find(id);
  if (found == byId_.end()) return;
  pending_.erase(Key{found->second, id});
  byId_.erase(found);
  Arm();
}

void DeadlineQueue::Arm() {
  const Clock::time_point earliest =
      pending_.empty() ? Clock::time_point{} : pending_.begin()->first.first;
  if (earliest == armedFor_) return;
  itimerspec setting{};
  if (!pending_.empty()) setting.it_value = ToTimespec(earliest);
  timerfd_settime(timer_.native_handle(), TFD_TIMER_ABSTIME, &setting, nullptr);
  armedFor_ = earliest;
  if (!pending_.empty()) Wait();
}

void DeadlineQueue::Wait() {
  if (waiting_) return;
  waiting_ = true;
  timer_.async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code error) {
    waiting_ = false;
    if (error) return;
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n =
        read(timer_.native_handle(), &expirations, sizeof expirations);
    RunDue();
  });
}

void DeadlineQueue::RunDue() {
  // Callbacks may add and cancel deadlines: take the due ones out first.
  std::vector<std::function<void()>> due;
  const Clock::time_point now = Clock::now();
  while (!pending_.empty() && pending_.begin()->first.first <= now) {
    byId_.erase(pending_.begin()->first.second);
    due.push_back(std::move(pending_.begin()->second));
    pending_.erase(pending_.begin());
  }
  armedFor_ = Clock::time_point{-Clock::duration(1)};  // make Arm set the descriptor again
  Arm();
  for (auto& callback : due)
    callback();
}

}  // namespace zqm_deadlines
