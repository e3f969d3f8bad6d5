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
// alone allocates nothing. Beyond its first chunk, a frame's buffer is
// charged to one budget for the whole process (kDefaultFrameBudgetBytes,
// or ZQM_FRAME_BUDGET_BYTES): a reader whose frame would pass it fails,
// so that many peers sending large frames at once cost a bounded amount of
// memory. Not thread-safe; one reader per connection (the budget is).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "DEVUror/zqm_wire.h"

namespace zqm_wire {

constexpr std::size_t kDefaultFrameBudgetBytes = 64u * 1024 * 1024;

class FrameReader {
 public:
  explicit FrameReader(std::uint32_t limit = kMaxFrameBytes) : limit_(limit) {}
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // The largest frame accepted from the next header on. `what` names the
  // limit in the error, e.g. "before the handshake".
  void SetLimit(std::uint32_t limit, const char* what = nullptr) {
    limit_ = limit;
    limitName_ = what;
  }

  // Where the next bytes of the stream go; never empty. Throws
  // ZQM_EProtocolError when the frame's next chunk would pass the budget.
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
  std::size_t charged_ = 0;  // of the process's budget
};

}  // namespace zqm_wire
