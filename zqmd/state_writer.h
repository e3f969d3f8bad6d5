// Writes the daemon's state file on a thread of its own, so that the event
// loop that restarts instances never waits for the disk: a durable write
// (two fsyncs) can take tens of milliseconds on a busy host, and under a
// storm of restarts there is one after nearly every change.
//
// Writes are coalesced: a snapshot submitted while another is being written
// replaces any snapshot still waiting, so the file always ends up holding
// the latest one and the writer never falls behind.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zqmd/state_file.h"

namespace zqmd {

class StateWriter {
 public:
  // `written` is called on the writer's thread after each write, with the
  // problem ("" when the write succeeded).
  using Written = std::function<void(const std::string& problem)>;

  StateWriter(std::string path, Written written);
  // Writes what is still waiting, then ends the thread.
  ~StateWriter();
  StateWriter(const StateWriter&) = delete;
  StateWriter& operator=(const StateWriter&) = delete;

  void Submit(std::vector<SavedInstance> snapshot);
  // The operator-down marks that every following write carries (none until
  // set); writes nothing by itself.
  void SetOperatorDown(std::vector<OperatorDown> marks);

 private:
  void Run();

  const std::string path_;
  const Written written_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::vector<SavedInstance>> waiting_;
  std::vector<OperatorDown> down_;
  bool ending_ = false;
  std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace zqmd
