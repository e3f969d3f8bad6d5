// The HTTP side of `zqm web`: a small HTTP/1.1 server for GET requests on
// a loopback port, for one reader who holds a random token.
//
// Each connection carries one request and is closed after the answer
// (Connection: close). A request head (request line and headers) longer
// than kMaxRequestHead is answered 431, one that is not complete within
// kRequestTimeout is dropped, a method other than GET or HEAD is answered
// 405, a malformed request line 400, and a request whose "token" query
// parameter is missing or wrong 403; only then is the handler asked.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zqm_web {

constexpr std::size_t kMaxRequestHead = 8192;
constexpr std::chrono::seconds kRequestTimeout{10};

struct HttpRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // after '?', "" when none
};

struct HttpResponse {
  int status = 200;
  std::string contentType;
  std::string body;
};

// The request line of `head`: "METHOD TARGET HTTP/1.x"; nullopt when it is
// not one.
std::optional<HttpRequest> ParseRequestLine(std::string_view head);

// The value of `key` in a query ("a=1&token=..."), as it stands; "" when
// absent.
std::string QueryValue(std::string_view query, std::string_view key);

// Whether `given` is `token`, in time that does not depend on where they
// differ.
bool TokenMatches(std::string_view given, std::string_view token);

// The whole answer, headers and body; `withBody` false for HEAD.
std::string FormatResponse(const HttpResponse& response, bool withBody);

// A fresh token: 32 hexadecimal digits from the system's random source.
std::string NewToken();

using HttpHandler = std::function<HttpResponse(const HttpRequest& request)>;

// Listens on 127.0.0.1:`port` (0: a free port) and answers each request
// that holds `token` with `handler` (called on the io_context's thread).
// Throws std::system_error when it cannot listen.
class HttpServer {
 public:
  HttpServer(asio::io_context& io, unsigned short port, std::string token, HttpHandler handler);
  unsigned short Port() const;

 private:
  void Accept();

  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer pause_;
  std::string token_;
  HttpHandler handler_;
};

}  // namespace zqm_web
