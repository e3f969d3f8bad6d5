// The middleware's wire protocol, shared by clients, servers and the daemon.
//
// Every message is a frame: a 4-byte big-endian length, then that many
// bytes: one kind byte and a body. Bodies are packed type library values:
//   'H' hello    sent by the server as soon as it accepts a connection:
//                a ZQ_TDict {"Protocol": 2, "Name", "Instance", "PID",
//                "Auth": whether a handshake is required, and with it
//                "Nonce": 32 fresh random bytes as hex text}
//   'A' auth     the handshake, when the greeting asks for it: the client
//                sends {"Nonce": its own 32 fresh bytes as hex, "Proof":
//                ClientProof as hex} (zqm_auth.h); the server, once the
//                proof checks, answers {"Proof": ServerProof as hex}, which
//                the client checks before it sends any call. The proofs
//                cover the greeting body exactly as sent, so a recorded
//                answer fails against any other greeting.
//   'Q' request  a ZQ_TDict: "M" the method name, "P1", "P2", ... the
//                arguments
//   'R' result   the result value (a ZQ_TAny, possibly empty)
//   'E' failure  the exception the processor threw, as its own class
// A connection carries one call at a time: request, then result or failure.
// Frames longer than kMaxFrameBytes, empty frames, unknown kinds and bodies
// that do not unpack are protocol errors: the receiver closes the
// connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "DEVUror/zqm_exceptions.h"
#include "typelib/dodived.h"

namespace zqm_wire {

constexpr std::uint32_t kMaxFrameBytes = 8u * 1024 * 1024;
constexpr std::size_t kHeaderBytes = 4;
// Receivers grow a frame's buffer by at most this much at a time, as bytes
// arrive, so that an announced length alone allocates nothing.
constexpr std::size_t kReadChunkBytes = 64 * 1024;
constexpr std::uint32_t kProtocolVersion = 2;
// A peer that has not proved the key yet gets no more than this per frame:
// the handshake's frame is about 150 bytes.
constexpr std::uint32_t kMaxHandshakeFrameBytes = 1024;

enum class Kind : std::uint8_t {
  kHello = 'H',
  kAuth = 'A',
  kRequest = 'Q',
  kResult = 'R',
  kFailure = 'E'
};

struct Hello {
  ZQ_TString name;
  std::uint16_t instance = 0;
  std::uint32_t pid = 0;
  bool authenticate = false;  // the server wants a handshake
  std::string nonce{};        // kNonceBytes raw bytes when authenticating
};

// The client's half of the handshake.
struct ClientAuth {
  std::string nonce;  // raw bytes
  std::string proof;  // raw bytes
};

// The length announced by a frame header; throws ZQM_EProtocolError for 0 or
// more than kMaxFrameBytes.
std::uint32_t FrameLength(const unsigned char header[kHeaderBytes]);

// A whole frame (header included) of `kind` around `body`.
std::string Frame(Kind kind, std::string_view body);

// Splits a frame's payload (what follows the header) into kind and body;
// throws ZQM_EProtocolError for an unknown kind or one other than `expected`
// (and, for a reply, other than kFailure).
Kind PayloadKind(std::string_view payload);

std::string HelloFrame(const Hello& hello);
std::string RequestFrame(const ZQ_TDict& arguments);
std::string ResultFrame(const ZQ_TAny& result);
std::string FailureFrame(const ZQ_EException& failure);
std::string ClientAuthFrame(const ClientAuth& auth);
std::string ServerAuthFrame(std::string_view proof);

// Decoders take the body (payload without the kind byte) and throw
// ZQM_EProtocolError, whose message says what is wrong, for anything that is
// not a well-formed message of that kind.
Hello DecodeHello(std::string_view body);
ClientAuth DecodeClientAuth(std::string_view body);
// The server's proof (raw bytes).
std::string DecodeServerAuth(std::string_view body);
ZQ_TDict DecodeRequest(std::string_view body);
ZQ_TAny DecodeResult(std::string_view body);
// The exception carried by a failure, ready to be thrown with ZQ_Throw; the
// caller owns it.
ZQ_EException* DecodeFailure(std::string_view body);

// The method name of a decoded request ("" when absent).
ZQ_TString MethodOf(const ZQ_TDict& request);

}  // namespace zqm_wire
