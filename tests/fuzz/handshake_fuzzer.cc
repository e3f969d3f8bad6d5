// A handshake with a peer that may send anything: the server's side takes
// a client's frame, the client's side a greeting and then an answer, for
// each kind of credentials a program can hold (the installation key, a
// server's identity). Nothing a peer sends may crash, leak or hang either
// side; only a valid proof may complete a handshake.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_identity.h"

namespace {

using Credentials = std::shared_ptr<const zqm_auth::Credentials>;

const Credentials& Key() {
  static const Credentials key = zqm_auth::FromKey(std::string(32, 'k'), "fuzz key");
  return key;
}

const Credentials& Identity() {
  static const Credentials identity = [] {
    auto credentials = std::make_shared<zqm_auth::Credentials>();
    credentials->identity.emplace(zqm_identity::Issue(
        Key()->key, {Key()->installationPublicKey, Key()->installationSecretKey}, "Fuzz", 1,
        "fuzz-host"));
    credentials->installationPublicKey = Key()->installationPublicKey;
    return Credentials(credentials);
  }();
  return identity;
}

void AsServer(const Credentials& credentials, std::string_view clientFrame) {
  zqm_handshake::Server server(credentials, {ZQ_TString("Fuzz"), 1});
  try {
    server.Answer(clientFrame);
    server.TakeChannel();
  } catch (const ZQ_EException&) {
  }
}

void AsClient(const Credentials& credentials, std::string_view greeting,
              std::string_view answer) {
  zqm_handshake::Client client(credentials, "the fuzzed server");
  try {
    client.ReadGreeting(greeting);
    client.Prove();
    client.CheckAnswer(answer);
    client.TakeChannel();
  } catch (const ZQ_EException&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // The first byte chooses side and credentials; the next two the length
  // of the first frame, the rest is the second.
  const Credentials& credentials = (data[0] & 1) != 0 ? Identity() : Key();
  const std::size_t split = std::min<std::size_t>(size - 3, (data[1] << 8) | data[2]);
  const std::string_view first(reinterpret_cast<const char*>(data) + 3, split);
  const std::string_view second(reinterpret_cast<const char*>(data) + 3 + split, size - 3 - split);
  if ((data[0] & 2) != 0) {
    AsServer(credentials, first);
  } else {
    AsClient(credentials, first, second);
  }
  return 0;
}
