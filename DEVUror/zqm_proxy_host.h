// The host a proxy connects to: the given host, or, when none is given (null
// or empty), the environment variable ZQ_SERVER when it is set (even when it
// is empty); else the empty string, which the client takes as this host.
#pragma once

#include <cstdlib>

#include "typelib/dodived.h"

inline ZQ_TString ZQM_ProxyHost(const char* host) {
  if (host == nullptr || *host == 0) {
    if (const char* server = std::getenv("ZQ_SERVER")) return ZQ_TString(server);
    return ZQ_TString();
  }
  return ZQ_TString(host);
}
