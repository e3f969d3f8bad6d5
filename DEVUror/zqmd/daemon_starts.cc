// On-demand starts: reading and keeping launch configurations, spawning an
// instance, and giving up on one that does not bind in time.
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqmd/config_fetch.h"
#include "DEVUror/zqmd/daemon_internal.h"
#include "DEVUror/zqmd/launcher.h"

namespace zqmd {

void Daemon::ForgetLaunchConfigurations(const char* why) {
  ++configurationEpoch_;
  if (launchConfigurations_.empty()) return;
  launchConfigurations_.clear();
  zqm_trace::Line(1, std::string("Launch configurations will be read again: ") + why);
}

void Daemon::StartInstance(const Key& key) {
  if (auto cached = launchConfigurations_.find(key.first); cached != launchConfigurations_.end()) {
    const std::shared_ptr<const ZQ_TTree> server = cached->second;
    return Spawn(key, *server);
  }
  auto configServer = instances_.find(Key{options_.configServer, 0});
  Instance* config = configServer != instances_.end() ? Find(configServer->first) : nullptr;
  if (config == nullptr || config->state != State::kBound) {
    Instance& instance = *instances_.at(key);
    FailWaiters(instance,
                FailureFrame<ZQM_ENoSuchServer>(ZQ_TString::Format(
                    "%s instance %d is not running, and it cannot be started: the configuration "
                    "server \"%s\" instance 0 is not running",
                    key.first, key.second, options_.configServer)));
    instances_.erase(key);
    return;
  }
  FetchAndSpawn(key, config->port);
}

void Daemon::FetchAndSpawn(const Key& key, unsigned short configServerPort) {
  const std::uint64_t generation = instances_.at(key)->generation;
  const std::uint64_t epoch = configurationEpoch_;
  FetchServerConfiguration(
      io_, deadlines_, configServerPort, key.first,
      [this, key, generation, epoch](std::unique_ptr<ZQ_TTree> server, std::string error) {
        std::shared_ptr<const ZQ_TTree> kept(std::move(server));
        if (kept != nullptr && epoch == configurationEpoch_)
          launchConfigurations_[key.first] = kept;
        auto found = instances_.find(key);
        if (found == instances_.end() || found->second->generation != generation ||
            found->second->state != State::kFetching) {
          return;  // registered by itself meanwhile, or gone
        }
        if (kept == nullptr) {
          zqm_trace::Line(
              0, ZQ_TString::Format("Cannot start %s instance %d: %s", key.first, key.second, error)
                     .Text());
          FailWaiters(*found->second,
                      FailureFrame<ZQM_ENoSuchServer>(ZQ_TString::Format(
                          "%s instance %d is not running, and its configuration cannot be read: %s",
                          key.first, key.second, error)));
          instances_.erase(found);
          return;
        }
        Spawn(key, *kept);
      });
}

void Daemon::Spawn(const Key& key, const ZQ_TTree& server) {
  Instance& instance = *instances_.at(key);
  try {
    LaunchConfig launch = ReadLaunchConfig(server, key.first, key.second);
    // A server proves the installation key with the daemon's own, handed over
    // as a descriptor, and an insecure daemon starts insecure servers. A plain
    // program serves no RPC and is not given the key.
    const int keyFd = launch.plain ? -1 : zqm_auth::ChildKeyDescriptor();
    if (!launch.plain && keyFd < 0) launch.environment.emplace_back("ZQM_INSECURE", "1");
    instance.logPath = LogPath(key);
    instance.startTimeoutMs = launch.startTimeoutMs;
    zqm_trace::Line(0, ZQ_TString::Format("Starting %s instance %d: %s", key.first, key.second,
                                          CommandLine(launch))
                           .Text());
    const Launched launched = Launch(launch, key.first, key.second, instance.logPath, keyFd);
    instance.pid = launched.pid;
    instance.started = std::chrono::system_clock::now();
    Watch(instance, launched.pidfd);
    zqm_trace::Line(
        0, ZQ_TString::Format("Started %s; output in %s", Describe(instance), instance.logPath)
               .Text());
    if (launch.plain) {
      instance.state = State::kPlain;
      SaveSoon();
      FailWaiters(instance, FailureFrame<ZQM_ENotAnRpcServer>(ZQ_TString::Format(
                                "%s is a plain program and serves no RPC", Describe(instance))));
    } else {
      instance.state = State::kStarting;
      ArmStartTimer(instance);
    }
  } catch (const ZQ_EException& failure) {
    zqm_trace::Line(0, ZQ_TString::Format("Cannot start %s instance %d: %s", key.first, key.second,
                                          failure.ZQ_Message())
                           .Text());
    FailWaiters(instance, zqm_wire::FailureFrame(failure));
    instances_.erase(key);
  }
}

void Daemon::ArmStartTimer(Instance& instance) {
  const Key key{instance.name, instance.number};
  const std::uint64_t generation = instance.generation;
  deadlines_.Cancel(instance.startDeadline);
  instance.startDeadline =
      deadlines_.After(std::chrono::milliseconds(instance.startTimeoutMs), [this, key, generation] {
        auto found = instances_.find(key);
        if (found == instances_.end() || found->second->generation != generation ||
            found->second->state != State::kStarting) {
          return;
        }
        Instance& late = *found->second;
        late.state = State::kUnbound;
        SaveSoon();
        const std::string reason =
            ZQ_TString::Format("%s did not bind within %d ms; see %s", Describe(late),
                               late.startTimeoutMs, late.logPath)
                .Text();
        zqm_trace::Line(0, reason);
        FailWaiters(late, FailureFrame<ZQM_ETimeout>(reason.c_str()));
      });
}

std::string Daemon::LogPath(const Key& key) const {
  return LogFilePath(options_.logDirectory, key.first, key.second);
}

}  // namespace zqmd
