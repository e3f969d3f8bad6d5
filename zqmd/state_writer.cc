#include "zqmd/state_writer.h"

#include <utility>

#include "platform/process_memory.h"
#include "platform/scheduling.h"

namespace zqmd {

StateWriter::StateWriter(std::string path, Written written)
    : path_(std::move(path)), written_(std::move(written)), thread_([this] { Run(); }) {}

StateWriter::~StateWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void StateWriter::Submit(std::vector<SavedInstance> snapshot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = std::move(snapshot);
  }
  wake_.notify_one();
}

void StateWriter::SetOperatorDown(std::vector<OperatorDown> marks) {
  std::lock_guard<std::mutex> lock(mutex_);
  down_ = std::move(marks);
}

void StateWriter::Run() {
  // Its writes wait for the loop to sleep, rather than preempting it.
  zq_platform::UseDefaultTimeSlice();
  for (;;) {
    std::vector<SavedInstance> snapshot;
    std::vector<OperatorDown> down;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return waiting_ || ending_; });
      if (!waiting_) return;  // ending, nothing left to write
      snapshot = std::move(*waiting_);
      waiting_.reset();
      down = down_;
    }
    std::string problem;
    SaveState(path_, snapshot, down, problem);
    written_(problem);
    // Writes follow the changes (at most one per 100 ms while they keep
    // coming): after one with nothing more waiting, what the changes since
    // allocated and freed goes back to the system.
    bool more = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      more = waiting_.has_value();
    }
    if (!more) zq_platform::ReturnFreeHeapPages();
  }
}

}  // namespace zqmd
