#include "DEVUror/zqm_channel.h"

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_wire.h"

namespace zqm_channel {

namespace {

void WriteLength(char* header, std::size_t length) {
  for (std::size_t i = 0; i < zqm_wire::kHeaderBytes; ++i)
    header[i] = static_cast<char>((length >> (8 * (zqm_wire::kHeaderBytes - 1 - i))) & 0xFF);
}

}  // namespace

Keys::~Keys() {
  zqm_crypto::Wipe(clientToServer);
  zqm_crypto::Wipe(serverToClient);
}

Channel::Channel(const Keys& keys, bool client)
    : sendKey_(keys.cipher, client ? keys.clientToServer : keys.serverToClient),
      receiveKey_(keys.cipher, client ? keys.serverToClient : keys.clientToServer) {}

std::string Channel::Seal(std::string frame) {
  if (!Sealed()) return frame;
  // In place: the plain bytes become the sealed ones, the tag follows.
  const std::size_t plain = frame.size() - zqm_wire::kHeaderBytes;
  frame.resize(frame.size() + zqm_crypto::kSealTagBytes);
  WriteLength(frame.data(), plain + zqm_crypto::kSealTagBytes);
  sendKey_.Seal(sent_++, std::string_view(frame.data(), zqm_wire::kHeaderBytes),
                frame.data() + zqm_wire::kHeaderBytes, plain,
                frame.data() + zqm_wire::kHeaderBytes + plain);
  return frame;
}

std::string Channel::Open(std::string payload) {
  if (!Sealed()) return payload;
  char header[zqm_wire::kHeaderBytes];
  WriteLength(header, payload.size());
  const std::size_t plain = payload.size() - zqm_crypto::kSealTagBytes;
  if (payload.size() <= zqm_crypto::kSealTagBytes ||
      !receiveKey_.Open(received_, std::string_view(header, sizeof header), payload.data(), plain,
                        payload.data() + plain)) {
    ZQM_EProtocolError broken(ZQ_TString::Format(
        "frame %d does not open: changed, replayed, reordered or injected", received_));
    ZQ_THROW_AT(broken, __FILE__, __LINE__);
  }
  ++received_;
  payload.resize(plain);
  return payload;
}

}  // namespace zqm_channel
