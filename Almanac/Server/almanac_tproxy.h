// Almanac_TProxy: typed access to the configuration server, the middleware
// server "Almanac", instance 0, found through the daemon of a host.
//
// A proxy is a ZQM_TClient and nothing more: its constructor connects, its
// calls are one round trip each, and every failure (connection, call or
// checked cast) reaches the caller unchanged.
#pragma once

#include "DEVUror/zqm_proxy_host.h"
#include "DEVUror/zqm_tclient.h"

class Almanac_TProxy : public ZQM_TClient {
 public:
  // The checked cast of KeysAt's reply is stamped with this site: a stable
  // identifier that failure reports show and callers compare (the line the
  // cast had in the proxy's original source), not a line of this file.
  static constexpr const char* kSourceFile = "Almanac/Server/almanac_tproxy";
  static constexpr unsigned kKeysAtCastLine = 50;

  // Connects to "Almanac" instance 0 on `host` (see ZQM_ProxyHost),
  // located through that host's daemon, which starts it when it is
  // configured and not running.
  explicit Almanac_TProxy(const char* host) : ZQM_TClient() {
    const ZQ_TString chosen = ZQM_ProxyHost(host);
    const ZQ_TString serverName("Almanac");
    Connect(chosen, serverName, 0, static_cast<ZQM_TClient::TLocationMode>(0));
  }

  // The value at `path` as the server sends it: for a subtree, a ZQ_TTree.
  ZQ_TAny Expand(const ZQ_TString& path) {
    const ZQ_TAny pathArgument(path);
    const ZQ_TString method("Expand");
    return RPC(method, pathArgument);
  }

  // The value stored at `path`, as the server sends it.
  ZQ_TAny Element(const ZQ_TString& path, bool flag) {
    const ZQ_TAny flagArgument(flag);
    const ZQ_TAny pathArgument(path);
    const ZQ_TString method("[]");
    return RPC(method, pathArgument, flagArgument);
  }

  // The keys directly below `path`. Throws the type library's cast failure
  // when the reply is not a list.
  ZQ_TList KeysAt(const ZQ_TString& path) {
    const ZQ_TAny pathArgument(path);
    const ZQ_TString method("KeysAt");
    const ZQ_TAny reply = RPC(method, pathArgument);
    return ZQ_TList(reply.DynamicCast<ZQ_TList>(kSourceFile, kKeysAtCastLine));
  }
};
