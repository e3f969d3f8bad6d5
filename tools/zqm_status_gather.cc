#include "tools/zqm_status_gather.h"

#include "Almanac/Server/almanac_tproxy.h"
#include "DEVUror/zqm_tproxy.h"

namespace {

// Makes the greeting and the next call of `client` wait until `deadline` at
// most; throws ZQM_ETimeout once it has passed.
void BoundWaits(ZQM_TClient& client, StatusDeadline deadline) {
  if (deadline == StatusDeadline::max()) return;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) {
    ZQM_ETimeout late(ZQ_TString("no answer in the time given"));
    ZQ_THROW_AT(late, __FILE__, __LINE__);
  }
  client.SetGreetingTimeout(static_cast<unsigned>(left));
  client.SetCallTimeout(static_cast<unsigned>(left));
}

// The daemon's operator-down marks; none from a daemon that keeps none.
ZQ_TList OperatorDown(ZQM_TClient& daemon) {
  try {
    return daemon.RPC(ZQ_TString("DownServers")).DynamicCast<ZQ_TList>(__FILE__, __LINE__);
  } catch (const ZQM_ENoSuchServerMethod&) {
    return ZQ_TList();
  }
}

}  // namespace

StatusSources GatherStatus(const std::string& host) {
  StatusSources sources;
  GatherRunning(host, sources);
  try {
    Almanac_TProxy almanac(host.empty() ? nullptr : host.c_str());
    const ZQ_TAny tree = almanac.Expand("Servers/ZQMD/Servers/");
    sources.servers = tree.DynamicCast<ZQ_TTree>(__FILE__, __LINE__);
  } catch (const ZQ_EException& failure) {
    sources.configurationProblem =
        "the configuration server cannot be asked: " + failure.ZQ_Message().Text();
  }
  return sources;
}

void GatherRunning(const std::string& host, StatusSources& sources, StatusDeadline deadline) {
  try {
    ZQM_TClient daemon;
    BoundWaits(daemon, deadline);
    daemon.Connect(ZQM_ProxyHost(host.c_str()), ZQM_TClient::kDaemonPort);
    BoundWaits(daemon, deadline);
    sources.serverConfiguration =
        daemon.RPC("GetServerConfiguration")
            .DynamicCast<ZQ_TString>(ZQM_TProxy::kSourceFile,
                                     ZQM_TProxy::kServerConfigurationCastLine)
            .Text();
    BoundWaits(daemon, deadline);
    sources.running = daemon.RPC(ZQ_TString("Servers"), ZQ_TAny(ZQ_TString("*")))
                          .DynamicCast<ZQ_TList>(__FILE__, __LINE__);
    BoundWaits(daemon, deadline);
    sources.history = daemon.RPC(ZQ_TString("History"), ZQ_TAny(ZQ_TString("*")))
                          .DynamicCast<ZQ_TList>(__FILE__, __LINE__);
    BoundWaits(daemon, deadline);
    sources.operatorDown = OperatorDown(daemon);
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() = "the middleware daemon cannot be reached: " + failure.ZQ_Message();
    throw;
  }
  try {
    ZQM_TClient service;
    BoundWaits(service, deadline);
    try {
      service.Connect(host, ZQ_TString("Custodel"), 1, ZQM_TClient::kLocateOnly);
    } catch (ZQ_EException& failure) {
      failure.ZQ_Message() = "the Custodel service cannot be reached: " + failure.ZQ_Message();
      throw;
    }
    BoundWaits(service, deadline);
    sources.monitors = service.Call(ZQ_TString("ListMonitors"), ZQ_TList())
                           .DynamicCast<ZQ_TList>(__FILE__, __LINE__);
  } catch (const ZQ_EException& failure) {
    sources.monitorsProblem = failure.ZQ_Message().Text();
  }
}
