#include "Almanac/Server/etcd_websocket.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/etcd_answers.h"

namespace almanac::etcd {
namespace {

// The answer to the opening handshake is a status line and a few headers.
constexpr std::size_t kMaxHandshakeBytes = 16 * 1024;
// Bytes read from the connection at a time.
constexpr std::size_t kReadBytes = 64 * 1024;

enum Opcode : unsigned char {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

// "HOST:PORT" of "http://HOST:PORT/...".
std::string Authority(const std::string& endpoint) {
  const std::size_t start = endpoint.find("//");
  const std::size_t from = start == std::string::npos ? 0 : start + 2;
  return endpoint.substr(from, endpoint.find('/', from) - from);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The frame header and masked payload of one client frame: a client masks
// every frame it sends.
std::string ClientFrame(unsigned char opcode, std::string_view payload) {
  std::string frame(1, static_cast<char>(0x80 | opcode));
  const std::size_t size = payload.size();
  if (size < 126) {
    frame += static_cast<char>(0x80 | size);
  } else if (size <= 0xFFFF) {
    frame += static_cast<char>(0x80 | 126);
    for (int shift = 8; shift >= 0; shift -= 8)
      frame += static_cast<char>((size >> shift) & 0xFF);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      frame += static_cast<char>((static_cast<std::uint64_t>(size) >> shift) & 0xFF);
  }
  unsigned char mask[4];
  randombytes_buf(mask, sizeof mask);
  frame.append(reinterpret_cast<const char*>(mask), sizeof mask);
  for (std::size_t i = 0; i < size; ++i)
    frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return frame;
}

}  // namespace

WebSocket::WebSocket(Transport& transport, const std::string& endpoint, const std::string& path,
                     std::size_t maxMessageBytes, Deadline until)
    : transport_(transport), url_(endpoint + path), maxMessageBytes_(maxMessageBytes) {
  stream_ = transport_.Connect(endpoint, std::max(1L, MillisecondsUntil(until)));
  Handshake(endpoint, path, until);
}

WebSocket::~WebSocket() {
  // A polite close when the connection takes it at once; the socket is
  // closed either way.
  try {
    stream_->Send(ClientFrame(kClose, {}));
  } catch (const ZQ_EException&) {
  }
}

void WebSocket::Fail(const std::string& why) const {
  ALMANAC_THROW(ZQM_EException, "etcd " + url_ + ": " + why);
}

void WebSocket::Handshake(const std::string& endpoint, const std::string& path, Deadline until) {
  unsigned char nonce[16];
  randombytes_buf(nonce, sizeof nonce);
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + Authority(endpoint) +
      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
      "Sec-WebSocket-Key: " +
      Base64(std::string_view(reinterpret_cast<const char*>(nonce), sizeof nonce)) + "\r\n\r\n";
  for (std::string_view left = request; !left.empty();) {
    left.remove_prefix(stream_->Send(left));
    if (!left.empty() && !stream_->Wait(true, until)) Fail("timed out sending the handshake");
  }
  std::size_t end = std::string::npos;
  while ((end = in_.find("\r\n\r\n")) == std::string::npos) {
    if (in_.size() > kMaxHandshakeBytes) Fail("an answer to the handshake without an end");
    if (!Fill(until)) Fail("timed out waiting for the answer to the handshake");
  }
  const std::string head = Lower(in_.substr(0, end));
  in_.erase(0, end + 4);
  const std::size_t space = head.find(' ');
  if (space == std::string::npos || head.compare(space + 1, 3, "101") != 0)
    Fail("refused the WebSocket: " + head.substr(0, head.find('\r')));
  // The accept key only proves that no cache between answered for the
  // member; members are reached directly (no proxy), so it is not checked.
  if (head.find("\r\nupgrade: websocket") == std::string::npos)
    Fail("answered the handshake without upgrading to a WebSocket");
}

void WebSocket::SendFrame(unsigned char opcode, std::string_view payload, Deadline until) {
  const std::string frame = ClientFrame(opcode, payload);
  for (std::string_view left = frame; !left.empty();) {
    left.remove_prefix(stream_->Send(left));
    if (!left.empty() && !stream_->Wait(true, until)) Fail("timed out sending");
  }
}

void WebSocket::Send(std::string_view text, Deadline until) {
  SendFrame(kText, text, until);
}

bool WebSocket::Fill(Deadline until) {
  for (;;) {
    if (stream_->Receive(in_, kReadBytes)) return true;
    if (!stream_->Wait(false, until)) return false;
  }
}

bool WebSocket::NextFrame(unsigned char& opcode, bool& final, std::string& payload) {
  if (in_.size() < 2) return false;
  const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(in_[i]); };
  if ((byte(0) & 0x70) != 0) Fail("a frame with reserved bits set");
  if ((byte(1) & 0x80) != 0) Fail("a masked frame from the member");
  final = (byte(0) & 0x80) != 0;
  opcode = byte(0) & 0x0F;
  std::uint64_t size = byte(1) & 0x7F;
  std::size_t header = 2;
  if (size >= 126) {
    const std::size_t bytes = size == 126 ? 2 : 8;
    if (in_.size() < 2 + bytes) return false;
    size = 0;
    for (std::size_t i = 0; i < bytes; ++i)
      size = (size << 8) | byte(2 + i);
    header += bytes;
  }
  const bool control = (opcode & 0x8) != 0;
  if (control && (size > 125 || !final)) Fail("a control frame that is fragmented or too long");
  if (!control && size > maxMessageBytes_ - std::min(maxMessageBytes_, message_.size()))
    Fail("a watch message larger than " + std::to_string(maxMessageBytes_) + " bytes");
  if (in_.size() - header < size) return false;
  payload.assign(in_, header, static_cast<std::size_t>(size));
  in_.erase(0, header + static_cast<std::size_t>(size));
  return true;
}

std::optional<std::string> WebSocket::Receive(Deadline until) {
  for (;;) {
    unsigned char opcode = 0;
    bool final = false;
    std::string payload;
    while (NextFrame(opcode, final, payload)) {
      if (opcode == kPing) {
        SendFrame(kPong, payload, until);
      } else if (opcode == kClose) {
        Fail("the member closed the WebSocket");
      } else if (opcode == kText || opcode == kBinary || opcode == kContinuation) {
        if ((opcode == kContinuation) != assembling_) Fail("a message frame out of order");
        message_ += payload;
        assembling_ = !final;
        if (final) return std::exchange(message_, {});
      } else if (opcode != kPong) {
        Fail("a frame of unknown kind " + std::to_string(opcode));
      }
    }
    if (!Fill(until)) return std::nullopt;
  }
}

}  // namespace almanac::etcd
