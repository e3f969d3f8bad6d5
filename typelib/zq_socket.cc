#include "typelib/zq_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <strings.h>
#include <climits>

#include <cstring>

ZQ_TString ZQ_TSocket::HostName(bool fullyQualified) {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) std::strcpy(name, "localhost");
  if (!fullyQualified) return ZQ_TString(name);

  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr)
    return ZQ_TString(name);
  ZQ_TString canonical(result->ai_canonname != nullptr ? result->ai_canonname : name);
  freeaddrinfo(result);
  return canonical;
}

bool ZQ_TSocket::IsLocalHost(const ZQ_TString& host) {
  // Host names are not case-sensitive.
  const auto same = [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
  };
  if (host.IsEmpty() || same(host.Text(), "localhost") || host == "::1") return true;
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return (ntohl(address.s_addr) >> 24) == 127;
  }
  // Only the plain name: asking the resolver here could stall a connect.
  return same(host.Text(), HostName(false).Text());
}
