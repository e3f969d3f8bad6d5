#include "tools/zqm_web_http.h"

#include <sodium.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>

namespace zqm_web {

namespace {

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Internal Server Error";
  }
}

std::string Refusal(int status, std::string text) {
  return FormatResponse({status, "text/plain; charset=utf-8", std::move(text) + "\n"}, true);
}

bool SameLetters(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

std::optional<HttpRequest> ParseRequestLine(std::string_view line) {
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
    return std::nullopt;
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (method.empty() || target.empty() || target.front() != '/' ||
      (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    return std::nullopt;
  }
  HttpRequest request;
  request.method = method;
  const std::size_t question = target.find('?');
  request.path = target.substr(0, question);
  if (question != std::string_view::npos) request.query = target.substr(question + 1);
  return request;
}

// Reads the header lines that follow the request line, through the blank
// line, into `request`; false when one is malformed. Only Host matters here.
bool ParseHeaders(std::string_view lines, HttpRequest& request) {
  bool hostSeen = false;
  for (;;) {
    const std::size_t end = lines.find("\r\n");
    if (end == std::string_view::npos) return false;  // no blank line
    const std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end + 2);
    if (line.empty()) return lines.empty();
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        line.find_first_of("\r\n") != std::string_view::npos ||
        line.substr(0, colon).find_first_of(" \t") != std::string_view::npos) {
      return false;
    }
    if (!SameLetters(line.substr(0, colon), "Host")) continue;
    // A second Host makes the request ambiguous: it names no host.
    if (hostSeen)
      request.host.reset();
    else
      request.host = std::string(Trimmed(line.substr(colon + 1)));
    hostSeen = true;
  }
}

}  // namespace

// One connection: reads one request head, answers it, closes.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, unsigned short port, const std::string& token,
             const HttpHandler& handler)
      : socket_(std::move(socket)),
        head_(kMaxRequestHead),
        timer_(socket_.get_executor()),
        port_(port),
        token_(token),
        handler_(handler) {}

  void Start() {
    auto self = shared_from_this();
    timer_.expires_after(kConnectionTime);
    timer_.async_wait([self](const std::error_code& error) {
      if (!error) self->Close();
    });
    asio::async_read_until(
        socket_, head_, "\r\n\r\n",
        [self](const std::error_code& error, std::size_t size) { self->OnHead(error, size); });
  }

  bool IsOpen() const { return socket_.is_open(); }

  void Close() {
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
  }

 private:
  void OnHead(const std::error_code& error, std::size_t size) {
    if (error == asio::error::not_found) {
      Send(
          Refusal(431, "the request is longer than " + std::to_string(kMaxRequestHead) + " bytes"));
      return;
    }
    if (error) {
      Close();
      return;
    }
    const std::string head(asio::buffers_begin(head_.data()),
                           asio::buffers_begin(head_.data()) + static_cast<std::ptrdiff_t>(size));
    Send(Respond(head, port_, token_, handler_));
  }

  void Send(std::string reply) {
    reply_ = std::move(reply);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(reply_),
                      [self](const std::error_code& error, std::size_t) {
                        if (error) return self->Close();
                        std::error_code ignored;
                        self->socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                        self->Drain();
                      });
  }

  // Reads what the client still sends until it closes (or the connection's
  // time is up): closing with unread bytes would reset the connection and
  // could take the answer with it.
  void Drain() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(scratch_),
                            [self](const std::error_code& error, std::size_t) {
                              if (error) return self->Close();
                              self->Drain();
                            });
  }

  asio::ip::tcp::socket socket_;
  asio::streambuf head_;
  asio::steady_timer timer_;
  const unsigned short port_;
  const std::string& token_;
  const HttpHandler& handler_;
  std::string reply_;
  char scratch_[4096];
};

std::optional<HttpRequest> ParseRequestHead(std::string_view head) {
  const std::size_t end = head.find("\r\n");
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view line = head.substr(0, end);
  if (line.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  std::optional<HttpRequest> request = ParseRequestLine(line);
  if (!request || !ParseHeaders(head.substr(end + 2), *request)) return std::nullopt;
  return request;
}

bool IsOwnHost(std::string_view host, unsigned short port) {
  const std::string suffix = ":" + std::to_string(port);
  for (const std::string_view name : {"127.0.0.1", "localhost"}) {
    if (SameLetters(host, std::string(name) + suffix) || (port == 80 && SameLetters(host, name)))
      return true;
  }
  return false;
}

std::string QueryValue(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    if (pair.size() > key.size() && pair.substr(0, key.size()) == key && pair[key.size()] == '=')
      return std::string(pair.substr(key.size() + 1));
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return "";
}

bool TokenMatches(std::string_view given, std::string_view token) {
  // The length of the token is no secret: every token has 32 digits.
  return !token.empty() && given.size() == token.size() &&
         sodium_memcmp(given.data(), token.data(), token.size()) == 0;
}

std::string FormatResponse(const HttpResponse& response, bool withBody) {
  std::ostringstream out;
  out << "HTTP/1.1 " << response.status << " " << Reason(response.status) << "\r\n"
      << "Content-Type: " << response.contentType << "\r\n"
      << "Content-Length: " << response.body.size() << "\r\n"
      << "Cache-Control: no-store\r\n"
      // The address holds the token: it must not travel on in a Referer.
      << "Referrer-Policy: no-referrer\r\n"
      << "X-Content-Type-Options: nosniff\r\n"
      << "X-Frame-Options: DENY\r\n"
      << "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
         "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; frame-ancestors 'none'\r\n"
      << "Connection: close\r\n\r\n";
  if (withBody) out << response.body;
  return out.str();
}

std::string Respond(std::string_view head, unsigned short port, std::string_view token,
                    const HttpHandler& handler) {
  const std::optional<HttpRequest> request = ParseRequestHead(head);
  if (!request) return Refusal(400, "not an HTTP request");
  if (request->method != "GET" && request->method != "HEAD")
    return Refusal(405, "only GET is served");
  if (!request->host) return Refusal(400, "the request must name its host (Host) once");
  if (!IsOwnHost(*request->host, port)) {
    return Refusal(421, "this server answers to 127.0.0.1:" + std::to_string(port) +
                            " and localhost:" + std::to_string(port) + " only");
  }
  if (!TokenMatches(QueryValue(request->query, "token"), token))
    return Refusal(403, "open the address that zqm web printed, with its token");
  return FormatResponse(handler(*request), request->method == "GET");
}

std::string NewToken() {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init failed: no random source");
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  char hex[sizeof bytes * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

HttpServer::HttpServer(asio::io_context& io, unsigned short port, std::string token,
                       HttpHandler handler)
    : acceptor_(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port)),
      port_(acceptor_.local_endpoint().port()),
      pause_(io),
      token_(std::move(token)),
      handler_(std::move(handler)) {
  Accept();
}

unsigned short HttpServer::Port() const {
  return port_;
}

void HttpServer::Accept() {
  acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (error) return AcceptFailed(error);
    acceptFailing_ = false;
    Admit(std::move(socket));
    Accept();
  });
}

void HttpServer::Admit(asio::ip::tcp::socket socket) {
  open_.remove_if([](const std::weak_ptr<Connection>& connection) {
    const auto alive = connection.lock();
    return !alive || !alive->IsOpen();
  });
  if (open_.size() <= kMaxConnections / 2) crowded_ = false;
  while (open_.size() >= kMaxConnections) {
    if (!crowded_) {
      std::cerr << "zqm: web: " << kMaxConnections
                << " connections open, as many as it keeps: the oldest are closed to make room"
                << std::endl;
      crowded_ = true;
    }
    if (const auto oldest = open_.front().lock()) oldest->Close();
    open_.pop_front();
  }
  auto connection = std::make_shared<Connection>(std::move(socket), port_, token_, handler_);
  connection->Start();
  open_.push_back(connection);
}

// Out of descriptors or memory: take a breath instead of spinning, and say
// so once until an accept succeeds again.
void HttpServer::AcceptFailed(const std::error_code& error) {
  if (!acceptFailing_) {
    std::cerr << "zqm: web: accept on 127.0.0.1:" << port_ << ": " << error.message()
              << "; trying again every 100 ms" << std::endl;
    acceptFailing_ = true;
  }
  pause_.expires_after(std::chrono::milliseconds(100));
  pause_.async_wait([this](const std::error_code& waited) {
    if (!waited) Accept();
  });
}

}  // namespace zqm_web
