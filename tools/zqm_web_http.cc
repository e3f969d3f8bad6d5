#include "tools/zqm_web_http.h"

#include <sodium.h>

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
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Internal Server Error";
  }
}

HttpResponse Plain(int status, std::string text) {
  return {status, "text/plain; charset=utf-8", std::move(text) + "\n"};
}

// One connection: reads one request head, answers it, closes.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, const std::string& token, const HttpHandler& handler)
      : socket_(std::move(socket)),
        head_(kMaxRequestHead),
        timer_(socket_.get_executor()),
        token_(token),
        handler_(handler) {}

  void Start() {
    auto self = shared_from_this();
    timer_.expires_after(kRequestTimeout);
    timer_.async_wait([self](const std::error_code& error) {
      if (!error) self->Close();
    });
    asio::async_read_until(
        socket_, head_, "\r\n\r\n",
        [self](const std::error_code& error, std::size_t size) { self->OnHead(error, size); });
  }

 private:
  void OnHead(const std::error_code& error, std::size_t size) {
    if (error == asio::error::not_found) {
      Send(Plain(431, "the request is longer than " + std::to_string(kMaxRequestHead) + " bytes"),
           true);
      return;
    }
    if (error) {
      Close();
      return;
    }
    const std::string head(asio::buffers_begin(head_.data()),
                           asio::buffers_begin(head_.data()) + static_cast<std::ptrdiff_t>(size));
    const std::optional<HttpRequest> request = ParseRequestLine(head);
    if (!request) {
      Send(Plain(400, "not an HTTP request"), true);
    } else if (request->method != "GET" && request->method != "HEAD") {
      Send(Plain(405, "only GET is served"), true);
    } else if (!TokenMatches(QueryValue(request->query, "token"), token_)) {
      Send(Plain(403, "open the address that zqm web printed, with its token"), true);
    } else {
      Send(handler_(*request), request->method == "GET");
    }
  }

  void Send(const HttpResponse& response, bool withBody) {
    reply_ = FormatResponse(response, withBody);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(reply_),
                      [self](const std::error_code& error, std::size_t) {
                        if (error) return self->Close();
                        std::error_code ignored;
                        self->socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                        self->Drain();
                      });
  }

  // Reads what the client still sends until it closes (or the request's
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

  void Close() {
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
  }

  asio::ip::tcp::socket socket_;
  asio::streambuf head_;
  asio::steady_timer timer_;
  const std::string& token_;
  const HttpHandler& handler_;
  std::string reply_;
  char scratch_[4096];
};

}  // namespace

std::optional<HttpRequest> ParseRequestLine(std::string_view head) {
  const std::string_view line = head.substr(0, head.find("\r\n"));
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
      pause_(io),
      token_(std::move(token)),
      handler_(std::move(handler)) {
  Accept();
}

unsigned short HttpServer::Port() const {
  return acceptor_.local_endpoint().port();
}

void HttpServer::Accept() {
  acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (!error) {
      std::make_shared<Connection>(std::move(socket), token_, handler_)->Start();
      Accept();
      return;
    }
    // Out of descriptors or memory: take a breath instead of spinning.
    std::cerr << "zqm: web: accept on 127.0.0.1:" << Port() << ": " << error.message() << "\n";
    pause_.expires_after(std::chrono::milliseconds(100));
    pause_.async_wait([this](const std::error_code& waited) {
      if (!waited) Accept();
    });
  });
}

}  // namespace zqm_web
