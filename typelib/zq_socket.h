// ZQ_TSocket: host facts.
#pragma once

#include "typelib/zq_string.h"

class ZQ_TSocket {
 public:
  // The local host's name. `fullyQualified` false: the name as the kernel
  // knows it (gethostname); true: its canonical name from the resolver,
  // falling back to the plain name. Never throws for a resolver failure.
  static ZQ_TString HostName(bool fullyQualified);

  // Whether `host` names this host: empty, "localhost", a loopback address,
  // or the local host's name. Clients connect to such hosts over loopback.
  static bool IsLocalHost(const ZQ_TString& host);
};
