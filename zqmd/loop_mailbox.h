// Hands results from the daemon's helper threads to its event loop, for as
// long as the receiver lives. A helper thread may outlive its receiver (one
// blocked in a lookup that does not answer is never joined), so it holds
// the mailbox, not the receiver: once the receiver has closed the mailbox,
// nothing more is posted, and what was posted before is dropped unrun.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace zqmd {

class LoopMailbox : public std::enable_shared_from_this<LoopMailbox> {
 public:
  // `io` must outlive every Close() of a mailbox on it.
  static std::shared_ptr<LoopMailbox> Make(asio::io_context& io) {
    return std::shared_ptr<LoopMailbox>(new LoopMailbox(io));
  }

  // Any thread: runs `work` on the loop's thread unless the mailbox is
  // closed by then; false when it is closed already.
  bool Post(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (io_ == nullptr) return false;
    asio::post(*io_, [self = shared_from_this(), work = std::move(work)] {
      if (self->Open()) work();
    });
    return true;
  }

  // The loop's thread: nothing posted runs from now on.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    io_ = nullptr;
  }

 private:
  explicit LoopMailbox(asio::io_context& io) : io_(&io) {}
  bool Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return io_ != nullptr;
  }

  std::mutex mutex_;
  asio::io_context* io_;
};

}  // namespace zqmd
