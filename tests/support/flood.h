// A flood of connections to a loopback port that never say a word, as a
// local user (or a host) with no key would send to starve a listener: made
// as fast as they can be, or at a given rate, by a thread of its own, which
// may take another user's identity for the sockets it makes. The last
// 2,000 are held open; the rest are closed as new ones come.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <thread>

namespace zq_test {

class Flood {
 public:
  // `perSecond` 0: as fast as connections are made. `uid`: the flooding
  // thread's user (needs the real root), else the process's.
  explicit Flood(unsigned short port, std::optional<uid_t> uid = std::nullopt,
                 unsigned perSecond = 0);
  ~Flood();
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

  // Ends the flood and closes its connections; how many it opened.
  unsigned Stop();

 private:
  void Run(unsigned short port, std::optional<uid_t> uid, unsigned perSecond);

  std::atomic<bool> flooding_{true};
  std::atomic<unsigned> opened_{0};
  int stop_ = -1;  // an eventfd that ends the pacing waits at once
  std::thread thread_;
};

}  // namespace zq_test
