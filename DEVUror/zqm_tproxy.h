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

  // Ends a running instance: SIGTERM, then SIGKILL once `graceMs` (a
  // ZQ_TUInt32; empty: the daemon's default of 5000) has passed. Returns
  // {"PID", "End", "Forced"} once the process has ended.
  ZQ_TDict EndInstance(const ZQ_TString& name, unsigned short instance,
                       const ZQ_TAny& graceMs = ZQ_TAny()) {
    ZQ_TList arguments;
    arguments.Append(ZQ_TAny(name));
    arguments.Append(ZQ_TAny(ZQ_TUInt16(instance)));
    arguments.Append(graceMs);
    const ZQ_TAny reply = Call(ZQ_TString("EndInstance"), arguments);
    return ZQ_TDict(reply.DynamicCast<ZQ_TDict>(kSourceFile, __LINE__));
  }

  // Starts, last end and back-off of the instances of `name` ("*": all).
  ZQ_TList History(const ZQ_TString& name) {
    const ZQ_TAny reply = RPC(ZQ_TString("History"), ZQ_TAny(name));
    return ZQ_TList(reply.DynamicCast<ZQ_TList>(kSourceFile, __LINE__));
  }
};
