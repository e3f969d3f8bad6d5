// The two sides of the handshake over the network, with no I/O of their
// own, so that the blocking client, the daemon's asynchronous calls and the
// listener run the same steps and say the same things.
//
// The server greets first (zqm_wire.h): its name and instance, a fresh
// nonce, and how it will prove itself: by the installation key ("key"), or
// by the identity its daemon issued ("identity", with its certificate).
// The client checks that the greeting names whom it meant to reach before
// it proves anything, then proves itself in one frame; the server checks
// that proof and answers with its own, which the client checks before it
// sends any call. Both proofs cover the greeting as sent and the client's
// frame, so neither can be replayed on another connection, relayed to
// another server, or reflected.
//
// Which secret the proofs use follows from what the two sides hold:
//   both the installation key                HMAC under the key
//   the key, and a server's identity         HMAC under that instance's key,
//                                            which the key holder works out
//                                            from the certificate
//   two identities                           Ed25519 signatures over the
//                                            certificates the installation
//                                            signed, and X25519 agreement
// From the handshake both sides derive one key per direction, and every
// later frame is sealed (zqm_channel.h). The server learns who the client
// is (zqm_roles::Caller): an administrator (it proved the key, or the
// server's own instance key, which only key holders can work out), or a
// server with the name and instance its certificate names.
//
// Client, for every connection a program makes:
//   zqm_handshake::Client handshake(zqm_auth::Current(), "the server at 127.0.0.1:8088");
//   const zqm_wire::Hello& hello = handshake.ReadGreeting(greetingPayload);
//   ... check hello.name and hello.instance: whom we meant to reach ...
//   std::string proof = handshake.Prove();      // "" when both run insecure
//   if (!proof.empty()) { send(proof); handshake.CheckAnswer(answerPayload); }
//   zqm_channel::Channel channel = handshake.TakeChannel();
//
// Server, for every connection a listener accepts:
//   zqm_handshake::Server handshake(credentials, hello);
//   send(handshake.Greeting());
//   if (handshake.Required()) send(handshake.Answer(clientPayload));
//   ... handshake.Caller(), handshake.TakeChannel() ...
//
// Failures throw ZQM_EAuthenticationFailed (another key or mode: retrying
// will not help) or ZQM_EProtocolError (not a well-formed handshake), each
// with a message that says what to do about it. Not thread-safe; one object
// per connection.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_roles.h"
#include "DEVUror/zqm_wire.h"
#include "typelib/dodived.h"

namespace zqm_handshake {

// Which secret a handshake uses (see above).
enum class Mode { kInsecure, kKey, kServerInstanceKey, kClientInstanceKey, kSigned };

class Client {
 public:
  // `server` names the peer in messages, e.g. "the server at 127.0.0.1:8088".
  Client(std::shared_ptr<const zqm_auth::Credentials> credentials, ZQ_TString server);

  // Takes the first frame's payload: it must be a greeting.
  const zqm_wire::Hello& ReadGreeting(std::string_view payload);

  // Checks that the server's mode matches ours (and that a certificate in
  // the greeting names the instance the greeting names) and returns the
  // frame that proves us; "" when both run insecure (the connection is then
  // ready for calls).
  std::string Prove();

  // Takes the server's answer to our proof and checks that it proves the
  // server. Returns only when it does; the connection is then ready for
  // calls, and Peer().pid is the server's process.
  void CheckAnswer(std::string_view payload);

  // What to throw when the server closed the connection instead of
  // answering our proof: it did not accept it.
  [[noreturn]] void ProofRefused(const ZQ_EException& closed) const;

  const zqm_wire::Hello& Peer() const { return hello_; }

  // The connection's channel once the handshake is done: sealed, or plain
  // when both run insecure.
  zqm_channel::Channel TakeChannel();

 private:
  std::string Secret() const;

  std::shared_ptr<const zqm_auth::Credentials> credentials_;
  ZQ_TString server_;
  std::string greetingBody_;  // as received: what both proofs cover
  zqm_wire::Hello hello_;
  Mode mode_ = Mode::kInsecure;
  std::string transcript_;
  zqm_crypto::AgreeKeys agree_;
  zqm_channel::Keys keys_;
};

class Server {
 public:
  // Greets as `hello`, whose handshake fields are filled in here.
  Server(std::shared_ptr<const zqm_auth::Credentials> credentials, zqm_wire::Hello hello);

  // The greeting frame to send first.
  const std::string& Greeting() const { return greeting_; }

  // Whether the client must prove itself before its first request.
  bool Required() const { return !credentials_->insecure; }

  // Takes the client's first frame (after the greeting) and returns the
  // answer that proves us. Throws, with the reason as its message, for
  // anything but a valid proof.
  std::string Answer(std::string_view payload);

  // Who proved itself (an administrator, when no handshake is required).
  const zqm_roles::Caller& Caller() const { return caller_; }

  zqm_channel::Channel TakeChannel();

 private:
  std::shared_ptr<const zqm_auth::Credentials> credentials_;
  std::string greeting_;
  std::string greetingBody_;  // as sent
  std::uint32_t pid_;
  zqm_roles::Caller caller_;
  zqm_channel::Keys keys_;
  bool sealed_ = false;
};

}  // namespace zqm_handshake
