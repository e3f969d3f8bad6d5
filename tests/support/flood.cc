#include "support/flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <deque>

namespace zq_test {

namespace {

constexpr std::size_t kHeld = 2000;

int ConnectTo(unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

Flood::Flood(unsigned short port, std::optional<uid_t> uid, unsigned perSecond)
    : stop_(eventfd(0, EFD_CLOEXEC)),
      thread_([this, port, uid, perSecond] { Run(port, uid, perSecond); }) {}

Flood::~Flood() {
  Stop();
  close(stop_);
}

unsigned Flood::Stop() {
  flooding_ = false;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(stop_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  return opened_;
}

void Flood::Run(unsigned short port, std::optional<uid_t> uid, unsigned perSecond) {
  // This thread alone: the kernel keeps credentials per thread. Without the
  // right to change, the flood comes from the process's user.
  if (uid) syscall(SYS_setresuid, *uid, *uid, *uid);
  // Paced by a timer, so that the rate holds however long a connect takes.
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (perSecond > 0) {
    const long interval = 1000000000L / perSecond;
    const itimerspec every{{interval / 1000000000L, interval % 1000000000L},
                           {interval / 1000000000L, interval % 1000000000L}};
    timerfd_settime(timer, 0, &every, nullptr);
  }
  std::deque<int> held;
  while (flooding_) {
    std::uint64_t due = 1;
    if (perSecond > 0) {
      pollfd waits[2] = {{timer, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(waits, 2, -1) <= 0 || (waits[1].revents & POLLIN) != 0) break;
      if (read(timer, &due, sizeof due) != sizeof due) continue;
    }
    for (std::uint64_t i = 0; i < due && flooding_; ++i) {
      const int fd = ConnectTo(port);
      if (fd < 0) continue;
      ++opened_;
      held.push_back(fd);
      if (held.size() > kHeld) {
        close(held.front());
        held.pop_front();
      }
    }
  }
  for (const int fd : held)
    close(fd);
  close(timer);
}

}  // namespace zq_test
