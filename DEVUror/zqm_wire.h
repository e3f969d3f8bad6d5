// The middleware's wire protocol, shared by clients, servers and the daemon.
//
// Every message is a frame: a 4-byte big-endian length, then that many
// bytes: one kind byte and a body. Bodies are packed type library values:
//   'H' hello    sent by the server as soon as it accepts a connection:
//                a ZQ_TDict {"Protocol": 3, "Name", "Instance", "Auth":
//                whether a handshake is required, and with it "Nonce": 32
//                fresh random bytes as hex text, "Proves": how the server
//                will prove itself ("key" or "identity") and, for
//                "identity", "Certificate": its certificate as hex
//                (zqm_identity.h)}. It names no process: that comes only
//                with the server's proof.
//   'A' auth     the handshake, when the greeting asks for it: the client's
//                proof, then the server's (zqm_handshake.h).
//   'Q' request  a ZQ_TDict: "M" the method name, "P1", "P2", ... the
//                arguments
//   'R' result   the result value (a ZQ_TAny, possibly empty)
//   'E' failure  the exception the processor threw, as its own class
// After a handshake every frame is sealed (zqm_channel.h): its bytes after
// the length are the sealed kind and body. The daemon's local socket needs
// no handshake (the kernel names the peer) and carries plain frames.
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
constexpr std::uint32_t kProtocolVersion = 3;
// A peer that has not proved itself yet gets no more than this per frame:
// the largest handshake frame, with a certificate, is about 800 bytes.
constexpr std::uint32_t kMaxHandshakeFrameBytes = 4096;
// What a sealed frame adds to the plain one (zqm_channel.h); a plain frame
// is kept this much below kMaxFrameBytes so that it can always be sealed.
constexpr std::uint32_t kSealBytes = 16;
constexpr std::uint32_t kMaxPlainFrameBytes = kMaxFrameBytes - kSealBytes;

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
  std::uint32_t pid = 0;      // not sent: known once the server has proved itself
  bool authenticate = false;  // the server wants a handshake
  std::string nonce{};        // 32 raw bytes when authenticating
  std::string certificate{};  // the server's, when it proves itself by its identity
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
// A frame of `kind` whose body is the packed `dict`.
std::string DictFrame(Kind kind, const ZQ_TDict& dict);

// Decoders take the body (payload without the kind byte) and throw
// ZQM_EProtocolError, whose message says what is wrong, for anything that is
// not a well-formed message of that kind.
Hello DecodeHello(std::string_view body);
ZQ_TDict DecodeRequest(std::string_view body);
ZQ_TAny DecodeResult(std::string_view body);
// The exception carried by a failure, ready to be thrown with ZQ_Throw; the
// caller owns it.
ZQ_EException* DecodeFailure(std::string_view body);

// Reading the dictionaries of handshakes and identities: each throws
// ZQM_EProtocolError naming `what` (e.g. "greeting") and the entry.
ZQ_TDict DecodeDict(std::string_view packed, const char* what);
template <class T>
const T& Entry(const ZQ_TDict& dict, const char* key, const char* what);
// Raw bytes given as hex text of exactly `bytes` bytes.
std::string HexEntry(const ZQ_TDict& dict, const char* key, std::size_t bytes, const char* what);
// Raw bytes given as hex text of 1 to `maxBytes` bytes.
std::string HexEntryUpTo(const ZQ_TDict& dict, const char* key, std::size_t maxBytes,
                         const char* what);
// Sets `key` to `bytes` as hex text.
void SetHex(ZQ_TDict& dict, const char* key, std::string_view bytes);

// The method name of a decoded request ("" when absent).
ZQ_TString MethodOf(const ZQ_TDict& request);

}  // namespace zqm_wire
