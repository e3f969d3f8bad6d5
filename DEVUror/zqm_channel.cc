#include "DEVUror/zqm_channel.h"

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_wire.h"

namespace zqm_channel {

namespace {

std::string Header(std::size_t length) {
  std::string header(zqm_wire::kHeaderBytes, '\0');
  for (std::size_t i = 0; i < zqm_wire::kHeaderBytes; ++i)
    header[i] = static_cast<char>((length >> (8 * (zqm_wire::kHeaderBytes - 1 - i))) & 0xFF);
  return header;
}

}  // namespace

Keys::~Keys() {
  zqm_crypto::Wipe(clientToServer);
  zqm_crypto::Wipe(serverToClient);
}

Channel::Channel(const Keys& keys, bool client)
    : sendKey_(client ? keys.clientToServer : keys.serverToClient),
      receiveKey_(client ? keys.serverToClient : keys.clientToServer) {}

Channel::~Channel() {
  zqm_crypto::Wipe(sendKey_);
  zqm_crypto::Wipe(receiveKey_);
}

std::string Channel::Seal(std::string frame) {
  if (!Sealed()) return frame;
  const std::string_view payload = std::string_view(frame).substr(zqm_wire::kHeaderBytes);
  const std::string header = Header(payload.size() + zqm_crypto::kSealTagBytes);
  return header + zqm_crypto::Seal(sendKey_, sent_++, header, payload);
}

std::string Channel::Open(std::string payload) {
  if (!Sealed()) return payload;
  std::string plain;
  if (payload.size() <= zqm_crypto::kSealTagBytes ||
      !zqm_crypto::Open(receiveKey_, received_, Header(payload.size()), payload, plain)) {
    ZQM_EProtocolError broken(ZQ_TString::Format(
        "frame %d does not open: changed, replayed, reordered or injected", received_));
    ZQ_THROW_AT(broken, __FILE__, __LINE__);
  }
  ++received_;
  return plain;
}

}  // namespace zqm_channel
