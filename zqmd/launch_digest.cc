#include "zqmd/launch_digest.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_crypto.h"
#include "DEVUror/zqm_wire.h"

namespace zqmd {

namespace {

// Changing these changes when or how often the service starts a server, not
// what an instance runs.
constexpr std::array<std::string_view, 5> kServiceKeys = {
    "AlwaysRunning", "Configurations", "StartupOrder", "DelayAfterStartup", "NrOfInstances"};

bool IsServiceKey(const std::string& key) {
  for (const std::string_view serviceKey : kServiceKeys)
    if (key == serviceKey) return true;
  return false;
}

constexpr std::size_t kDigestBytes = 16;

}  // namespace

std::string LaunchDigest(const ZQ_TTree& server) {
  ZQ_TTree launch;
  for (const auto& [key, value] : server.Entries())
    if (!IsServiceKey(key.Text())) launch.SetChild(key, value);
  const std::string hash = zqm_crypto::Hash({zqm_wire::ResultFrame(ZQ_TAny(launch))});
  return zqm_auth::ToHex(std::string_view(hash).substr(0, kDigestBytes));
}

}  // namespace zqmd
