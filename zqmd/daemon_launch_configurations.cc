// The launch configurations the daemon keeps: read from the configuration
// server at a server's first start, marked stale when the configuration
// changes or the configuration server comes or goes, and used while the
// configuration server cannot be asked.
#include <cctype>
#include <ctime>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"
#include "zqmd/launch_digest.h"

namespace zqmd {

namespace {

std::string LocalTime(std::chrono::system_clock::time_point when) {
  return zqm_trace::LocalTime(std::chrono::system_clock::to_time_t(when));
}

}  // namespace

void Daemon::MarkLaunchConfigurationsStale(const char* why) {
  ++configurationEpoch_;
  bool marked = false;
  for (auto& [name, kept] : launchConfigurations_) {
    marked = marked || !kept.stale;
    kept.stale = true;
    kept.fallbackTraced = false;  // a new episode: its first fallback is traced again
  }
  if (marked) zqm_trace::Line(1, std::string("Launch configurations will be read again: ") + why);
}

void Daemon::KeepLaunchConfiguration(const std::string& name,
                                     std::shared_ptr<const ZQ_TTree> server) {
  KeptConfiguration& kept = launchConfigurations_[name];
  kept.digest = LaunchDigest(*server);
  kept.server = std::move(server);
  kept.readAt = std::chrono::system_clock::now();
  kept.stale = false;
  kept.fallbackTraced = false;
}

bool Daemon::SpawnFromKept(const Key& key, const std::string& why, bool once) {
  auto found = launchConfigurations_.find(key.first);
  if (found == launchConfigurations_.end()) return false;
  KeptConfiguration& kept = found->second;
  if (!once || !kept.fallbackTraced) {
    std::string reason = why;
    if (!reason.empty()) reason[0] = static_cast<char>(std::toupper(reason[0]));
    zqm_trace::Line(0, ZQ_TString::Format(
                           "%s; starting %s instance %d from the launch configuration read at %s",
                           reason, key.first, key.second, LocalTime(kept.readAt))
                           .Text());
  }
  if (once) kept.fallbackTraced = true;
  const std::shared_ptr<const ZQ_TTree> server = kept.server;
  Spawn(key, *server, kept.digest);
  return true;
}

}  // namespace zqmd
