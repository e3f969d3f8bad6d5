// The daemon's end of the service-manager notification protocol: one unix
// datagram socket, named to instances with "Readiness": "notify" in their
// NOTIFY_SOCKET, to which they send lines such as "READY=1" and
// "STATUS=...". Anybody may send to it: each datagram carries its sender's
// process id as the kernel vouches for it (SO_PASSCRED), and the daemon
// decides by that whose it is. Datagrams longer than kMaxNotifyBytes are
// dropped, descriptors passed along are closed unread, and at most
// kNotifyBatch datagrams are read per turn of the event loop.
//
// Used on the event loop's thread only; `receive` runs there.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zqmd {

constexpr std::size_t kMaxNotifyBytes = 4096;
constexpr unsigned kNotifyBatch = 64;
// The most of a STATUS= text kept: one line of a status table.
constexpr std::size_t kMaxStatusTextBytes = 200;

// What one datagram says, as far as the daemon acts on it.
struct Notification {
  bool ready = false;                 // READY=1
  std::optional<std::string> status;  // STATUS=..., control characters replaced, bounded
};

// Reads the newline-separated assignments of a datagram; others are ignored.
Notification ParseNotification(std::string_view datagram);

class NotifySocket {
 public:
  using Receive = std::function<void(pid_t sender, const Notification& notification)>;

  // Binds `path` (a socket an earlier daemon left there is replaced), lets
  // anybody send to it, and calls `receive` for each datagram that carries
  // its sender. Throws ZQM_EException naming the path and the reason.
  NotifySocket(asio::io_context& io, std::string path, Receive receive);
  // Closes the socket and removes its name.
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Path() const { return path_; }

 private:
  void Wait();
  void ReadBatch();
  // One datagram; false when none is waiting.
  bool ReadOne();

  asio::posix::stream_descriptor socket_;
  std::string path_;
  Receive receive_;
};

}  // namespace zqmd
