// ZQM_TProxy: typed access to the middleware daemon of a host (port 8088).
//
// A proxy is a ZQM_TClient and nothing more: its constructor connects, its
// calls are one round trip each, and every failure (connection, call or
// checked cast) reaches the caller unchanged.
#pragma once

#include "DEVUror/zqm_proxy_host.h"
#include "DEVUror/zqm_tclient.h"

class ZQM_TProxy : public ZQM_TClient {
 public:
  // The checked cast of GetServerConfiguration's reply is stamped with this
  // site: a stable identifier that failure reports show and callers compare
  // (the line the cast had in the proxy's original source), not a line of
  // this file.
  static constexpr const char* kSourceFile = "DEVUror/zqm_tproxy";
  static constexpr unsigned kServerConfigurationCastLine = 81;

  // Connects to the daemon on `host` (see ZQM_ProxyHost), port 8088.
  explicit ZQM_TProxy(const char* host) : ZQM_TClient() {
    const ZQ_TString chosen = ZQM_ProxyHost(host);
    Connect(chosen, kDaemonPort);
  }

  // The name of the server configuration in force on the daemon's host.
  // Throws the type library's cast failure when the reply is not a text.
  ZQ_TString GetServerConfiguration() {
    const ZQ_TString method("GetServerConfiguration");
    const ZQ_TAny reply = RPC(method);
    return ZQ_TString(reply.DynamicCast<ZQ_TString>(kSourceFile, kServerConfigurationCastLine));
  }
};
