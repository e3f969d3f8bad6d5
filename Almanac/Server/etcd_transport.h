// The HTTP side of the etcd client: one POST at a time to one member's URL,
// through libcurl, with every wait interruptible.
//
// A transport belongs to one thread, except Interrupt, which any thread may
// call. Every wait is a poll(2) inside libcurl, bounded by the request's
// time limit and a short limit on connecting, and Interrupt ends it at once
// and for good. The transport knows nothing of members or of what the
// bodies mean; failures throw ZQM_EException naming the URL and the reason.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

namespace almanac::etcd {

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
  // `timeoutMs` bounds the whole request (0: no bound, for streams). Sets
  // `status` to the HTTP status, 0 when nobody answered, before it returns
  // or throws. Throws when interrupted or when the transfer fails.
  void Post(const std::string& url, const std::string& body, long timeoutMs, const Sink& sink,
            long& status);

  // Waits `milliseconds` or until interrupted; false when interrupted.
  bool Pause(unsigned milliseconds);

  // Ends the current and every later wait at once. Safe from any thread.
  void Interrupt();
  bool Interrupted() const { return interrupted_.load(); }

 private:
  void* multi_ = nullptr;  // CURLM*
  std::atomic<bool> interrupted_{false};
};

}  // namespace almanac::etcd
