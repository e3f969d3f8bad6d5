// The HTTP side of `zqm web`: a small HTTP/1.1 server for GET requests on
// a loopback port, for one reader who holds a random token.
//
// Each connection carries one request and is closed after the answer
// (Connection: close). A request head (request line and headers) longer
// than kMaxRequestHead is answered 431; a malformed head 400; a method
// other than GET or HEAD 405; a Host header missing or given twice 400, and
// one that does not name this server as a browser on this machine does
// ("127.0.0.1:PORT" or "localhost:PORT") 421, so that a page of another
// site whose name was made to resolve to 127.0.0.1 (DNS rebinding) learns
// nothing; a "token" query parameter missing or wrong 403. Only then is the
// handler asked, and only its answers carry data.
//
// At most kMaxConnections are open at once: a new one beyond that closes the
// oldest. Each is closed kConnectionTime after it was accepted, whatever it
// is doing. So idle or slow clients can neither hold descriptors nor keep
// the reader's browser out.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zqm_web {

constexpr std::size_t kMaxRequestHead = 8192;
constexpr std::chrono::seconds kConnectionTime{5};
constexpr std::size_t kMaxConnections = 64;

struct HttpRequest {
  std::string method;
  std::string path;                 // without the query
  std::string query;                // after '?', "" when none
  std::optional<std::string> host;  // nullopt when the Host header is absent or repeated
};

struct HttpResponse {
  int status = 200;
  std::string contentType;
  std::string body;
};

// The request in `head`, the bytes up to the blank line that ends the
// headers: a request line "METHOD TARGET HTTP/1.x", then header lines
// "Name: value", each ended by CRLF. nullopt when it is not one: a line
// without a name and a colon, a name with blanks, or a CR or LF that does
// not end a line.
std::optional<HttpRequest> ParseRequestHead(std::string_view head);

// Whether a Host header names this server at `port` as a browser on this
// machine writes it: "127.0.0.1:PORT" or "localhost:PORT" (on port 80, also
// without the port, which browsers leave out there).
bool IsOwnHost(std::string_view host, unsigned short port);

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

// The whole answer to `head` (as for ParseRequestHead) from a server on
// `port` that holds `token`: a refusal as above, or what `handler` says.
std::string Respond(std::string_view head, unsigned short port, std::string_view token,
                    const HttpHandler& handler);

class Connection;

// Listens on 127.0.0.1:`port` (0: a free port) and answers each request
// that holds `token` with `handler` (called on the io_context's thread).
// Throws std::system_error when it cannot listen.
class HttpServer {
 public:
  HttpServer(asio::io_context& io, unsigned short port, std::string token, HttpHandler handler);
  unsigned short Port() const;

 private:
  void Accept();
  void Admit(asio::ip::tcp::socket socket);
  void AcceptFailed(const std::error_code& error);

  asio::ip::tcp::acceptor acceptor_;
  const unsigned short port_;
  asio::steady_timer pause_;
  std::string token_;
  HttpHandler handler_;
  std::list<std::weak_ptr<Connection>> open_;  // oldest first
  bool crowded_ = false;        // connections were closed to make room, and it was said
  bool acceptFailing_ = false;  // accept fails, and it was said
};

}  // namespace zqm_web
