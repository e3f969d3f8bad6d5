// The client side of a WebSocket (RFC 6455) to one etcd member: etcd's
// gateway carries a bidirectional stream there (/v3/watch), one JSON
// message per frame each way, so that the watch can ask for progress while
// its events arrive.
//
// A socket belongs to the thread of its transport. Every wait ends by the
// caller's deadline or when the transport is interrupted. Whatever the
// member sends is bounded: the answer to the opening handshake, and each
// message (maxMessageBytes), before memory is given to it. Failures throw
// ZQM_EException naming the URL and the reason.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Almanac/Server/etcd_transport.h"

namespace almanac::etcd {

class WebSocket {
 public:
  // Connects to the member at `endpoint` ("http://HOST:PORT") and opens a
  // WebSocket on `path`, by `until`.
  WebSocket(Transport& transport, const std::string& endpoint, const std::string& path,
            std::size_t maxMessageBytes, Deadline until);
  ~WebSocket();
  WebSocket(const WebSocket&) = delete;
  WebSocket& operator=(const WebSocket&) = delete;

  // Sends `text` as one message, by `until`.
  void Send(std::string_view text, Deadline until);

  // The next whole message, or nullopt when `until` passes first. Answers
  // the member's pings on the way. Throws when the member closes the
  // socket or sends what is not a WebSocket.
  std::optional<std::string> Receive(Deadline until);

 private:
  void Handshake(const std::string& endpoint, const std::string& path, Deadline until);
  void SendFrame(unsigned char opcode, std::string_view payload, Deadline until);
  // Takes the next frame out of `in_`: false when it has not all arrived.
  bool NextFrame(unsigned char& opcode, bool& final, std::string& payload);
  // Reads what has arrived, waiting until `until`; false when nothing came.
  bool Fill(Deadline until);
  [[noreturn]] void Fail(const std::string& why) const;

  Transport& transport_;
  std::string url_;
  std::size_t maxMessageBytes_;
  std::unique_ptr<Transport::Stream> stream_;
  std::string in_;           // received, not yet taken
  std::string message_;      // the message being put together from its frames
  bool assembling_ = false;  // a message's first frame has come, not its last
};

}  // namespace almanac::etcd
