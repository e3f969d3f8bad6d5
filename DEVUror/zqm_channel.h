// The frames of one connection after its handshake: sealed, each with the
// next number of its direction, so that a frame that was changed, replayed,
// reordered, dropped or injected fails to open and ends the connection.
//
// A sealed frame is a frame (zqm_wire.h) whose bytes after the length are
// the plain frame's kind and body, sealed in place with the cipher the
// handshake chose (AES-256-GCM, or ChaCha20-Poly1305), under the direction's
// key, with the direction's frame counter as its nonce and the length
// header as associated data, followed by the tag. A plain channel (the daemon's local
// socket, insecure mode) passes frames unchanged.
//
// Not thread-safe: one channel per connection, used by whoever reads and
// writes it in turn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "DEVUror/zqm_crypto.h"

namespace zqm_channel {

// The two keys a handshake derives: one per direction.
struct Keys {
  std::string clientToServer;
  std::string serverToClient;
  zqm_crypto::Cipher cipher = zqm_crypto::Cipher::kChaCha20Poly1305;
  ~Keys();
};

class Channel {
 public:
  // A plain channel.
  Channel() = default;
  // A sealed channel of the client's end (`client` true) or the server's.
  Channel(const Keys& keys, bool client);
  Channel(Channel&&) noexcept = default;
  Channel& operator=(Channel&&) noexcept = default;

  bool Sealed() const { return !sendKey_.Empty(); }

  // `frame`, a whole plain frame as zqm_wire makes it, ready to send.
  std::string Seal(std::string frame);

  // The plain payload (kind and body) of a received frame's payload. Throws
  // ZQM_EProtocolError when it does not open.
  std::string Open(std::string payload);

 private:
  zqm_crypto::SealingKey sendKey_;
  zqm_crypto::SealingKey receiveKey_;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
};

}  // namespace zqm_channel
