// The daemon's metrics for Prometheus: the text exposition format (version
// 0.0.4) on an address of its own, opt-in (--metrics-listen).
//
// The listener answers "GET /metrics" (and HEAD) and nothing else (404,
// 405, 400 as zqm web does, with the same parser of request heads). On a
// loopback address it answers only requests whose Host names a loopback
// address or localhost (else 421), so that no web page can read it through
// a name made to resolve to 127.0.0.1. It reads
// data only, needs no key and changes nothing, which is why it has no
// handshake; it listens on loopback unless an address is given. Each
// connection carries one request of at most zqm_web::kMaxRequestHead bytes
// and is closed after the answer, or kMetricsConnectionMs after it was
// accepted, whatever it is doing; at most kMaxMetricsConnections are open
// at once, and one more is closed at once. The figures are gathered only
// when a request asks for them: an idle daemon does not wake for them.
//
// Used on the event loop's thread only.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DEVUror/zqm_deadlines.h"

namespace zqmd {

constexpr std::size_t kMaxMetricsConnections = 8;
// A scrape is answered at once; this only bounds a client that sends
// nothing or reads nothing.
constexpr unsigned kMetricsConnectionMs = 5000;
constexpr unsigned kAcceptRetryMs = 1000;

// "PORT" (loopback) or "ADDRESS:PORT" ("[v6]:PORT") as an address and a
// port; throws ZQM_EException naming the value when it is neither.
std::pair<std::string, unsigned short> MetricsAddress(const std::string& given);

// Writes one metric family after another: HELP and TYPE once, then its
// samples. Label values are escaped as the format requires.
class MetricsText {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;
  // `type`: "counter", "gauge" or "histogram".
  void Family(const std::string& name, const char* type, const std::string& help);
  void Sample(const std::string& name, const Labels& labels, double value);
  // A histogram's buckets (upper bounds and cumulative counts), sum and
  // count, under the family last begun.
  void Histogram(const std::string& name, const std::vector<double>& bounds,
                 const std::vector<std::uint64_t>& counts, double sum);
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// Durations observed into fixed buckets.
class DurationHistogram {
 public:
  explicit DurationHistogram(std::vector<double> boundsSeconds);
  void Observe(std::chrono::steady_clock::duration duration);
  void Write(MetricsText& text, const std::string& name) const;

 private:
  std::vector<double> bounds_;
  std::vector<std::uint64_t> counts_;  // per bucket, not cumulative; the last: above all
  double sum_ = 0;
};

class MetricsConnection;

class MetricsListener {
 public:
  // Listens on `address`:`port`; throws ZQM_EException saying why it
  // cannot. `render` makes the answer's body.
  MetricsListener(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                  const std::string& address, unsigned short port,
                  std::function<std::string()> render);
  ~MetricsListener();
  unsigned short Port() const { return port_; }

 private:
  friend class MetricsConnection;
  void Accept();
  void Forget(const std::shared_ptr<MetricsConnection>& connection);

  asio::ip::tcp::acceptor acceptor_;
  zqm_deadlines::DeadlineQueue& deadlines_;
  std::function<std::string()> render_;
  unsigned short port_ = 0;
  bool loopback_ = false;
  std::set<std::shared_ptr<MetricsConnection>> open_;
  zqm_deadlines::Id retry_ = 0;
  bool closing_ = false;
};

}  // namespace zqmd
