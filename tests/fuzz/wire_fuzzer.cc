// Bytes from a peer, as every connection reads them: frames assembled from
// a stream that arrives in pieces of any size, before and after the
// handshake's limit, each payload decoded as the kind it claims, plain and
// through a sealed channel.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_frame_reader.h"
#include "DEVUror/zqm_wire.h"

namespace {

void Decode(std::string_view payload) {
  try {
    const std::string_view body = payload.substr(1);
    switch (zqm_wire::PayloadKind(payload)) {
      case zqm_wire::Kind::kHello:
        zqm_wire::DecodeHello(body);
        break;
      case zqm_wire::Kind::kAuth:
        zqm_wire::DecodeDict(body, "handshake");
        break;
      case zqm_wire::Kind::kRequest:
        zqm_wire::DecodeRequest(body);
        break;
      case zqm_wire::Kind::kResult:
        zqm_wire::DecodeResult(body);
        break;
      case zqm_wire::Kind::kFailure:
        std::unique_ptr<ZQ_EException>(zqm_wire::DecodeFailure(body));
        break;
    }
  } catch (const ZQ_EException&) {
  }
}

// A sealed channel's receiving end, as after a handshake; each input starts
// a new one, so that frames are opened from the first number on.
zqm_channel::Channel Receiver(bool aes) {
  zqm_channel::Keys keys{std::string(32, 'c'), std::string(32, 's'),
                         aes && zqm_crypto::FastestCipher() == zqm_crypto::Cipher::kAes256Gcm
                             ? zqm_crypto::Cipher::kAes256Gcm
                             : zqm_crypto::Cipher::kChaCha20Poly1305};
  return zqm_channel::Channel(keys, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte: the size of the pieces the stream arrives in, whether
  // the handshake's limit applies, and whether frames are sealed.
  const std::size_t piece = 1 + data[0] % 32;
  const bool handshake = (data[0] & 0x20) != 0;
  const bool sealed = (data[0] & 0x40) != 0;
  zqm_wire::FrameReader reader;
  if (handshake) reader.SetLimit(zqm_wire::kMaxHandshakeFrameBytes, "before the handshake");
  zqm_channel::Channel channel = sealed ? Receiver((data[0] & 0x80) != 0) : zqm_channel::Channel();
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    while (!rest.empty()) {
      const std::span<char> space = reader.Space();
      const std::size_t n = std::min({space.size(), piece, rest.size()});
      std::memcpy(space.data(), rest.data(), n);
      rest.remove_prefix(n);
      if (!reader.Received(n)) continue;
      Decode(channel.Open(reader.Take()));
    }
  } catch (const ZQ_EException&) {
    // A protocol error ends the connection: nothing more is read.
  }
  return 0;
}
