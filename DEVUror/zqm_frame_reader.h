// Assembling frames (zqm_wire.h) from the bytes of a stream, with no I/O of
// its own, so that the blocking client, the listener's sessions and the
// daemon's asynchronous calls read frames one way.
//
//   zqm_wire::FrameReader reader;
//   while (!reader.Received(read(fd, reader.Space().data(), reader.Space().size())))
//     ;
//   std::string payload = reader.Take();
//
// Space() never reaches past the end of the frame being read, so bytes of
// the next frame stay in the socket. The buffer grows by at most
// kReadChunkBytes ahead of the bytes that have arrived: an announced length
// alone allocates nothing. Not thread-safe; one reader per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "DEVUror/zqm_wire.h"

namespace zqm_wire {

class FrameReader {
 public:
  explicit FrameReader(std::uint32_t limit = kMaxFrameBytes) : limit_(limit) {}

  // The largest frame accepted from the next header on. `what` names the
  // limit in the error, e.g. "before the handshake".
  void SetLimit(std::uint32_t limit, const char* what = nullptr) {
    limit_ = limit;
    limitName_ = what;
  }

  // Where the next bytes of the stream go; never empty.
  std::span<char> Space();

  // `n` bytes (at most Space().size()) have been written to Space(). Returns
  // true when a frame is whole. Throws ZQM_EProtocolError for a header that
  // announces an empty frame or one above the limit; the reader is then
  // unusable.
  bool Received(std::size_t n);

  // The whole frame's payload (kind byte and body); the reader begins the
  // next frame.
  std::string Take();

  // Whether some but not all bytes of a frame have arrived, and whether
  // they stop in its header (for the message of a connection that closes).
  bool Partial() const { return headerDone_ > 0; }
  bool InHeader() const { return headerDone_ < kHeaderBytes; }

 private:
  std::uint32_t limit_;
  const char* limitName_ = nullptr;
  unsigned char header_[kHeaderBytes] = {};
  std::size_t headerDone_ = 0;
  std::uint32_t length_ = 0;
  std::size_t payloadDone_ = 0;
  std::string payload_;
};

}  // namespace zqm_wire
