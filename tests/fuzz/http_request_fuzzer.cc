// Feeds arbitrary request heads to `zqm web`'s request reader, as the
// server does once it has read through the blank line: the bytes up to and
// including the first CRLF CRLF (the rest of an input is what a client sent
// beyond it, which the server never reads as the head).
//
// Any head must get one well-formed answer; the handler's data (a secret
// body) may only go to a GET or HEAD whose Host names this server and whose
// query holds the token, and to such a request always.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/zqm_web_http.h"

namespace {

constexpr unsigned short kPort = 8090;
constexpr std::string_view kToken = "0123456789abcdef0123456789abcdef";
constexpr std::string_view kSecret = "the fleet, for the token's holder";

[[noreturn]] void Finding(const char* what, std::string_view head, const std::string& answer) {
  std::fprintf(stderr, "http_request_fuzzer: %s\nhead: %.*s\nanswer: %s\n", what,
               static_cast<int>(head.size()), head.data(), answer.c_str());
  std::abort();
}

// Whether the request should reach the handler, judged apart from the
// reader: the query's token parameter and a single, own Host.
bool Entitled(const zqm_web::HttpRequest& request) {
  return (request.method == "GET" || request.method == "HEAD") && request.host &&
         zqm_web::IsOwnHost(*request.host, kPort) &&
         zqm_web::QueryValue(request.query, "token") == kToken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view head(reinterpret_cast<const char*>(data), size);
  const std::size_t end = head.find("\r\n\r\n");
  if (end == std::string_view::npos || end + 4 > zqm_web::kMaxRequestHead) return 0;
  head = head.substr(0, end + 4);

  bool asked = false;
  const std::string answer =
      zqm_web::Respond(head, kPort, kToken, [&](const zqm_web::HttpRequest&) {
        asked = true;
        return zqm_web::HttpResponse{200, "text/plain", std::string(kSecret)};
      });
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.find("\r\n\r\n") == std::string::npos)
    Finding("not an HTTP answer", head, answer);
  const bool leaked = answer.find(kSecret) != std::string::npos;
  if (leaked && !asked) Finding("the handler's data without the handler", head, answer);

  const std::optional<zqm_web::HttpRequest> request = zqm_web::ParseRequestHead(head);
  const bool entitled = request && Entitled(*request);
  if (asked != entitled)
    Finding(asked ? "answered a request without right" : "refused a right request", head, answer);
  if (asked && request->method == "GET" && !leaked) Finding("a GET without its body", head, answer);
  if (asked && request->method == "HEAD" && leaked) Finding("a HEAD with a body", head, answer);
  return 0;
}
