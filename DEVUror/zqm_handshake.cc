#include "DEVUror/zqm_handshake.h"

namespace zqm_handshake {

namespace {

template <class E>
[[noreturn]] void Fail(const ZQ_TString& message) {
  E failure(message);
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

constexpr char kSameKeyAdvice[] =
    "give every program of the installation the same key (--key PATH or ZQM_KEY_FILE; made by "
    "zqmd --init-key)";

}  // namespace

Client::Client(std::shared_ptr<const zqm_auth::Credentials> credentials, ZQ_TString server)
    : credentials_(std::move(credentials)), server_(std::move(server)) {}

const zqm_wire::Hello& Client::ReadGreeting(std::string_view payload) {
  if (zqm_wire::PayloadKind(payload) != zqm_wire::Kind::kHello) {
    Fail<ZQM_EProtocolError>("greeting of " + server_ + ": the first frame is not a greeting");
  }
  greetingBody_ = payload.substr(1);
  hello_ = zqm_wire::DecodeHello(greetingBody_);
  return hello_;
}

std::string Client::Prove() {
  if (credentials_->insecure && hello_.authenticate) {
    Fail<ZQM_EAuthenticationFailed>(
        server_ + " requires authentication, but this program runs without a key (" +
        credentials_->source.c_str() + "): " + kSameKeyAdvice);
  }
  if (!credentials_->insecure && !hello_.authenticate) {
    Fail<ZQM_EAuthenticationFailed>(
        server_ + " runs without authentication (insecure), but this program has a key (" +
        credentials_->source.c_str() +
        "): start that server with the installation's key, or this program with --insecure or "
        "ZQM_INSECURE=1");
  }
  if (credentials_->insecure) return {};
  zqm_wire::ClientAuth auth;
  auth.nonce = zqm_auth::RandomBytes(zqm_auth::kNonceBytes);
  auth.proof = zqm_auth::ClientProof(*credentials_, greetingBody_, auth.nonce);
  nonce_ = auth.nonce;
  return zqm_wire::ClientAuthFrame(auth);
}

void Client::CheckAnswer(std::string_view payload) {
  if (zqm_wire::PayloadKind(payload) != zqm_wire::Kind::kAuth) {
    Fail<ZQM_EProtocolError>("handshake with " + server_ +
                             ": the server answered the handshake with another frame");
  }
  const std::string proof = zqm_wire::DecodeServerAuth(payload.substr(1));
  if (!zqm_auth::SameProof(zqm_auth::ServerProof(*credentials_, greetingBody_, nonce_), proof)) {
    Fail<ZQM_EAuthenticationFailed>(server_ +
                                    " could not prove that it holds our key: its key differs "
                                    "from ours (" +
                                    credentials_->source.c_str() + "); " + kSameKeyAdvice);
  }
}

void Client::ProofRefused(const ZQ_EException& closed) const {
  Fail<ZQM_EAuthenticationFailed>(server_ + " refused our proof (" + closed.ZQ_Message() +
                                  "): its key differs from ours (" + credentials_->source.c_str() +
                                  "); " + kSameKeyAdvice);
}

Server::Server(std::shared_ptr<const zqm_auth::Credentials> credentials, zqm_wire::Hello hello)
    : credentials_(std::move(credentials)) {
  hello.authenticate = !credentials_->insecure;
  if (hello.authenticate) hello.nonce = zqm_auth::RandomBytes(zqm_auth::kNonceBytes);
  greeting_ = zqm_wire::HelloFrame(hello);
  greetingBody_ = greeting_.substr(zqm_wire::kHeaderBytes + 1);
}

std::string Server::Answer(std::string_view payload) {
  const zqm_wire::Kind kind = zqm_wire::PayloadKind(payload);
  if (kind == zqm_wire::Kind::kRequest) {
    Fail<ZQM_EAuthenticationFailed>(
        "a request before the handshake (does the peer run without a key?)");
  }
  if (kind != zqm_wire::Kind::kAuth) {
    Fail<ZQM_EProtocolError>("a frame other than the handshake");
  }
  const zqm_wire::ClientAuth auth = zqm_wire::DecodeClientAuth(payload.substr(1));
  if (!zqm_auth::SameProof(zqm_auth::ClientProof(*credentials_, greetingBody_, auth.nonce),
                           auth.proof)) {
    Fail<ZQM_EAuthenticationFailed>("authentication failed: the peer's key differs from ours");
  }
  return zqm_wire::ServerAuthFrame(zqm_auth::ServerProof(*credentials_, greetingBody_, auth.nonce));
}

}  // namespace zqm_handshake
