// The two sides of the handshake (zqm_wire.h), with no I/O of their own, so
// that the blocking client, the daemon's asynchronous calls and the listener
// run the same steps and say the same things.
//
// Client, for every connection a program makes:
//   zqm_handshake::Client handshake(zqm_auth::Current(), "the server at 127.0.0.1:8088");
//   const zqm_wire::Hello& hello = handshake.ReadGreeting(greetingPayload);
//   ... check hello.name and hello.instance: whom we meant to reach ...
//   std::string proof = handshake.Prove();      // "" when both run insecure
//   if (!proof.empty()) { send(proof); handshake.CheckAnswer(answerPayload); }
//
// Server, for every connection a listener accepts:
//   zqm_handshake::Server handshake(credentials, hello);
//   send(handshake.Greeting());
//   if (handshake.Required()) send(handshake.Answer(clientPayload));
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
#include "DEVUror/zqm_wire.h"
#include "typelib/dodived.h"

namespace zqm_handshake {

class Client {
 public:
  // `server` names the peer in messages, e.g. "the server at 127.0.0.1:8088".
  Client(std::shared_ptr<const zqm_auth::Credentials> credentials, ZQ_TString server);

  // Takes the first frame's payload: it must be a greeting.
  const zqm_wire::Hello& ReadGreeting(std::string_view payload);

  // Checks that the server's mode matches ours and returns the frame that
  // proves our key over its greeting; "" when both run insecure (the
  // connection is then ready for calls).
  std::string Prove();

  // Takes the server's answer to our proof and checks that it proves the
  // key. Returns only when it does; the connection is then ready for calls.
  void CheckAnswer(std::string_view payload);

  // What to throw when the server closed the connection instead of
  // answering our proof: it did not accept it.
  [[noreturn]] void ProofRefused(const ZQ_EException& closed) const;

  const zqm_wire::Hello& Peer() const { return hello_; }

 private:
  std::shared_ptr<const zqm_auth::Credentials> credentials_;
  ZQ_TString server_;
  std::string greetingBody_;  // as received: what both proofs cover
  zqm_wire::Hello hello_;
  std::string nonce_;
};

class Server {
 public:
  // Greets as `hello`, whose handshake flag and nonce are filled in here.
  Server(std::shared_ptr<const zqm_auth::Credentials> credentials, zqm_wire::Hello hello);

  // The greeting frame to send first.
  const std::string& Greeting() const { return greeting_; }

  // Whether the client must prove the key before its first request.
  bool Required() const { return !credentials_->insecure; }

  // Takes the client's first frame (after the greeting) and returns the
  // answer that proves our key. Throws, with the reason as its message, for
  // anything but a valid proof.
  std::string Answer(std::string_view payload);

 private:
  std::shared_ptr<const zqm_auth::Credentials> credentials_;
  std::string greeting_;
  std::string greetingBody_;  // as sent
};

}  // namespace zqm_handshake
