// The middleware's wire protocol, shared by clients, servers and the daemon.
//
// Every message is a frame: a 4-byte big-endian length, then that many
// bytes: one kind byte and a body. Bodies are packed type library values:
//   'H' hello    sent by the server as soon as it accepts a connection:
//                a ZQ_TDict {"Protocol": 1, "Name", "Instance", "PID"}
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
constexpr std::uint32_t kProtocolVersion = 1;

enum class Kind : std::uint8_t { kHello = 'H', kRequest = 'Q', kResult = 'R', kFailure = 'E' };

struct Hello {
  ZQ_TString name;
  std::uint16_t instance = 0;
  std::uint32_t pid = 0;
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

// Decoders take the body (payload without the kind byte) and throw
// ZQM_EProtocolError, whose message says what is wrong, for anything that is
// not a well-formed message of that kind.
Hello DecodeHello(std::string_view body);
ZQ_TDict DecodeRequest(std::string_view body);
ZQ_TAny DecodeResult(std::string_view body);
// The exception carried by a failure, ready to be thrown with ZQ_Throw; the
// caller owns it.
ZQ_EException* DecodeFailure(std::string_view body);

// The method name of a decoded request ("" when absent).
ZQ_TString MethodOf(const ZQ_TDict& request);

}  // namespace zqm_wire
