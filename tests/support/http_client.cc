#include "support/http_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "DEVUror/zqm_socket_io.h"

namespace zq_test {

HttpReply Http(unsigned short port, const std::string& request) {
  using Clock = std::chrono::steady_clock;
  int fd = zqm_io::Connect(zqm_io::Resolve("", port), zqm_io::After(3000));
  zqm_io::SendAll(fd, request, zqm_io::After(3000), "request");
  shutdown(fd, SHUT_WR);
  std::string answer;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (char buffer[4096];;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  zqm_io::Close(fd);
  HttpReply reply;
  const std::size_t split = answer.find("\r\n\r\n");
  reply.head = answer.substr(0, split);
  if (split != std::string::npos) reply.body = answer.substr(split + 4);
  if (answer.rfind("HTTP/1.1 ", 0) == 0) reply.status = std::stoi(answer.substr(9, 3));
  return reply;
}

HttpReply Get(unsigned short port, const std::string& target, const std::string& host) {
  return Http(port, "GET " + target + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                        "\r\n\r\n");
}

}  // namespace zq_test
