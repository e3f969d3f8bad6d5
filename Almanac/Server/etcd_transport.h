// The network side of the etcd client, through libcurl: one POST at a time
// to one member's URL, and connections of the client's own protocol (the
// watch's WebSocket, etcd_websocket.h), with every wait interruptible.
//
// A transport belongs to one thread, except Interrupt, which any thread may
// call. Every wait is a poll(2) inside libcurl, bounded by the caller's time
// limit and a short limit on connecting, and Interrupt ends it at once and
// for good. The transport knows nothing of members or of what the bodies
// mean; failures throw ZQM_EException naming the URL and the reason.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace almanac::etcd {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// Milliseconds from now until `deadline`, at least 1 when it is still ahead
// and 0 once it has passed.
long MillisecondsUntil(Deadline deadline);

class Transport {
 public:
  // Receives the body of an answer as it arrives; false refuses the rest
  // (the transfer ends without an error of its own).
  using Sink = std::function<bool(const char*, std::size_t)>;

  // Throws ZQM_EException when libcurl cannot be set up.
  Transport();
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // POSTs the JSON `body` to `url`, handing the answer to `sink`;
  // `timeoutMs` bounds the whole request. Sets `status` to the HTTP status,
  // 0 when nobody answered, before it returns or throws. Throws when
  // interrupted or when the transfer fails (a time-out says "timed out").
  // Every request asks etcd to refuse at once ("no leader") rather than
  // wait when its member has lost the cluster's leader.
  void Post(const std::string& url, const std::string& body, long timeoutMs, const Sink& sink,
            long& status);

  // A connection to the host and port of a URL (TLS for https), carrying
  // the caller's bytes; closed by its destructor. Neither Send nor Receive
  // waits: Wait does, interruptibly.
  class Stream {
   public:
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Sends what the connection takes of `bytes` now; the count sent.
    std::size_t Send(std::string_view bytes);
    // Appends what has arrived, at most `most` bytes, to `into`; false when
    // nothing has. Throws when the peer has closed or the connection failed.
    bool Receive(std::string& into, std::size_t most);
    // Waits until the connection can take bytes (`sending`) or has some,
    // or `until` passes (false). Throws when interrupted.
    bool Wait(bool sending, Deadline until);

   private:
    friend class Transport;
    Stream(Transport& transport, void* easy, std::string url);
    [[noreturn]] void Fail(const std::string& why) const;

    Transport& transport_;
    void* easy_;  // CURL*
    std::string url_;
    long socket_ = -1;
  };

  // Connects to `url`'s host within `timeoutMs`; throws when it cannot.
  std::unique_ptr<Stream> Connect(const std::string& url, long timeoutMs);

  // Waits `milliseconds` or until interrupted; false when interrupted.
  bool Pause(unsigned milliseconds);

  // Ends the current and every later wait at once. Safe from any thread.
  void Interrupt();
  bool Interrupted() const { return interrupted_.load(); }

 private:
  // Drives the transfer of `easy` until it is done or interrupted; its result.
  int Perform(void* easy);

  void* multi_ = nullptr;  // CURLM*
  std::atomic<bool> interrupted_{false};
};

}  // namespace almanac::etcd
