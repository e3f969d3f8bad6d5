#include "zqmd/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_listener.h"
#include "DEVUror/zqm_trace.h"
#include "tools/zqm_web_http.h"

namespace zqmd {

namespace {

std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string Escaped(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return escaped;
}

// Whether a Host header names a loopback address or "localhost", with or
// without a port: what a scraper on this host writes, and what a page of
// another site that had its name resolve to 127.0.0.1 cannot.
bool LoopbackHost(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.front() == '[') {
    name = name.substr(1, name.find(']') - 1);
  } else if (std::count(name.begin(), name.end(), ':') == 1) {
    name = name.substr(0, name.find(':'));
  }
  if (name == "localhost") return true;
  asio::error_code error;
  const auto address = asio::ip::make_address(name, error);
  return !error && address.is_loopback();
}

}  // namespace

std::pair<std::string, unsigned short> MetricsAddress(const std::string& given) {
  const std::size_t colon = given.rfind(':');
  std::string address =
      colon == std::string::npos ? std::string("127.0.0.1") : given.substr(0, colon);
  const std::string port = colon == std::string::npos ? given : given.substr(colon + 1);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  asio::error_code error;
  asio::ip::make_address(address, error);
  const bool digits = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string::npos;
  if (error || !digits || std::stoul(port) > 65535) {
    ZQM_EException wrong(
        ZQ_TString::Format("--metrics-listen %s: give PORT (loopback) or ADDRESS:PORT", given));
    ZQ_THROW_AT(wrong, __FILE__, __LINE__);
  }
  return {address, static_cast<unsigned short>(std::stoul(port))};
}

void MetricsText::Family(const std::string& name, const char* type, const std::string& help) {
  text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::Sample(const std::string& name, const Labels& labels, double value) {
  text_ += name;
  for (std::size_t at = 0; at < labels.size(); ++at) {
    text_ += (at == 0 ? "{" : ",") + labels[at].first + "=\"" + Escaped(labels[at].second) + "\"";
  }
  text_ += (labels.empty() ? " " : "} ") + Number(value) + "\n";
}

void MetricsText::Histogram(const std::string& name, const std::vector<double>& bounds,
                            const std::vector<std::uint64_t>& counts, double sum) {
  std::uint64_t cumulative = 0;
  for (std::size_t at = 0; at <= bounds.size(); ++at) {
    cumulative += counts[at];
    const double bound = at < bounds.size() ? bounds[at] : INFINITY;
    Sample(name + "_bucket", {{"le", Number(bound)}}, static_cast<double>(cumulative));
  }
  Sample(name + "_sum", {}, sum);
  Sample(name + "_count", {}, static_cast<double>(cumulative));
}

DurationHistogram::DurationHistogram(std::vector<double> boundsSeconds)
    : bounds_(std::move(boundsSeconds)), counts_(bounds_.size() + 1, 0) {}

void DurationHistogram::Observe(std::chrono::steady_clock::duration duration) {
  const double seconds = std::chrono::duration<double>(duration).count();
  std::size_t bucket = 0;
  while (bucket < bounds_.size() && seconds > bounds_[bucket])
    ++bucket;
  ++counts_[bucket];
  sum_ += seconds;
}

void DurationHistogram::Write(MetricsText& text, const std::string& name) const {
  text.Histogram(name, bounds_, counts_, sum_);
}

// One request, answered and closed; or closed at its deadline.
class MetricsConnection : public std::enable_shared_from_this<MetricsConnection> {
 public:
  MetricsConnection(MetricsListener& listener, asio::ip::tcp::socket socket)
      : listener_(listener), socket_(std::move(socket)) {}

  void Start() {
    std::weak_ptr<MetricsConnection> self = shared_from_this();
    deadline_ = listener_.deadlines_.After(std::chrono::milliseconds(kMetricsConnectionMs), [self] {
      if (auto connection = self.lock()) connection->Close();
    });
    Read();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    listener_.deadlines_.Cancel(deadline_);
    asio::error_code ignored;
    socket_.close(ignored);
    listener_.Forget(shared_from_this());
  }

 private:
  void Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(buffer_), [self](asio::error_code error, std::size_t got) {
      if (self->closed_) return;
      if (error) return self->Close();
      self->head_.append(self->buffer_.data(), got);
      const std::size_t end = self->head_.find("\r\n\r\n");
      if (end != std::string::npos) return self->Answer(self->head_.substr(0, end + 4));
      if (self->head_.size() > zqm_web::kMaxRequestHead)
        return self->Send(zqm_web::FormatResponse({431, "text/plain", "request too long\n"}, true));
      self->Read();
    });
  }

  void Answer(const std::string& head) {
    const std::optional<zqm_web::HttpRequest> request = zqm_web::ParseRequestHead(head);
    if (!request) return Send(zqm_web::FormatResponse({400, "text/plain", "bad request\n"}, true));
    if (request->method != "GET" && request->method != "HEAD")
      return Send(zqm_web::FormatResponse({405, "text/plain", "only GET is served\n"}, true));
    if (listener_.loopback_ && (!request->host || !LoopbackHost(*request->host))) {
      return Send(zqm_web::FormatResponse(
          {421, "text/plain", "on loopback, the Host must be a loopback address\n"}, true));
    }
    if (request->path != "/metrics")
      return Send(zqm_web::FormatResponse({404, "text/plain", "see /metrics\n"}, true));
    Send(zqm_web::FormatResponse(
        {200, "text/plain; version=0.0.4; charset=utf-8", listener_.render_()},
        request->method == "GET"));
  }

  void Send(std::string answer) {
    answer_ = std::move(answer);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(answer_),
                      [self](asio::error_code, std::size_t) { self->Close(); });
  }

  MetricsListener& listener_;
  asio::ip::tcp::socket socket_;
  std::array<char, 1024> buffer_{};
  std::string head_;
  std::string answer_;
  zqm_deadlines::Id deadline_ = 0;
  bool closed_ = false;
};

MetricsListener::MetricsListener(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                                 const std::string& address, unsigned short port,
                                 std::function<std::string()> render)
    : acceptor_(io), deadlines_(deadlines), render_(std::move(render)) {
  asio::error_code error;
  const auto where = asio::ip::make_address(address, error);
  std::optional<asio::ip::tcp::acceptor> opened;
  if (!error) opened = zqm_listener::OpenAcceptor(io, where, port, error);
  if (!opened) {
    ZQM_EException failed(ZQ_TString::Format("cannot serve metrics on %s port %d: %s", address,
                                             port, error.message()));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
  acceptor_ = std::move(*opened);
  loopback_ = where.is_loopback();
  port_ = acceptor_.local_endpoint().port();
  Accept();
}

MetricsListener::~MetricsListener() {
  closing_ = true;
  deadlines_.Cancel(retry_);
  asio::error_code ignored;
  acceptor_.close(ignored);
  for (const auto& connection : std::set<std::shared_ptr<MetricsConnection>>(open_))
    connection->Close();
}

void MetricsListener::Accept() {
  acceptor_.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || closing_) return;
    if (error) {
      // Out of descriptors, say: tried again later rather than at once.
      retry_ = deadlines_.After(std::chrono::milliseconds(kAcceptRetryMs), [this] {
        retry_ = 0;
        Accept();
      });
      return;
    }
    {
      if (open_.size() >= kMaxMetricsConnections) {
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        auto connection = std::make_shared<MetricsConnection>(*this, std::move(socket));
        open_.insert(connection);
        connection->Start();
      }
    }
    Accept();
  });
}

void MetricsListener::Forget(const std::shared_ptr<MetricsConnection>& connection) {
  open_.erase(connection);
}

}  // namespace zqmd
