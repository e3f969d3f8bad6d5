// A plain HTTP/1.1 client for tests of the project's small HTTP servers
// (zqm web, the daemon's metrics): one request, read to the server's end.
#pragma once

#include <string>

namespace zq_test {

struct HttpReply {
  int status = 0;  // 0: no HTTP answer
  std::string head;
  std::string body;
};

// Sends `request` as it stands to 127.0.0.1:`port` and reads the answer to
// the server's end of it (at most 10 s).
HttpReply Http(unsigned short port, const std::string& request);

// GET `target` with the Host header "`host`:`port`".
HttpReply Get(unsigned short port, const std::string& target,
              const std::string& host = "127.0.0.1");

}  // namespace zq_test
