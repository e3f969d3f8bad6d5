// The middleware daemon: the registry of the middleware servers of this
// host, and the starter of configured instances.
//
// Methods:
//   "Register"(P1 {Name, Instance, PID, Port})  a server announces itself
//       (ZQM_TServer::Bind); refused while another live process holds that
//       instance.
//   "Locate"(P1 name, P2 instance, P3 mode)     where the instance listens:
//       {Port, PID}. Mode 0 starts a configured instance that is not
//       running and answers once it has bound; mode 1 only looks.
//   "Servers"(P1 name)                           the running instances of a
//       server (all servers for "*" or no P1): a list of dictionaries with
//       "Name", "Instance" (ZQ_TUInt16), "PID" (ZQ_TUInt32), "Port"
//       (ZQ_TUInt32, 0 when not bound), "State" ("running", "starting",
//       "unbound" or "plain"), "Started" (seconds since 1970), "Log".
//   "GetServerConfiguration"()                  the name of this host's
//       server configuration.
//   "ConfigurationChanged"()                    the configuration server's
//       tree has changed: launch configurations are read again.
// An instance leaves the registry the moment its process ends: each is
// watched through a pidfd, and every answer checks the instances it names.
//
// The daemon wakes only when a client, an instance's process or one of its
// own deadlines (start time-outs, the state file's write) has something to
// say: it uses no Asio timer, whose descriptor Asio re-arms every five
// minutes once used (see zqm_deadlines.h).
//
// The registry is kept in a state file, so that a restarted daemon adopts
// the instances that outlived its predecessor instead of starting them a
// second time.
//
// A server's launch configuration is read from the configuration server at
// its first start and kept, so that a restart spawns at once; it is read
// again after "ConfigurationChanged" (which the configuration server sends
// after every reload and change) and whenever the configuration server
// itself comes or goes.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DEVUror/zqm_deadlines.h"
#include "DEVUror/zqm_listener.h"
#include "DEVUror/zqmd/launch_config.h"
#include "DEVUror/zqmd/safe_files.h"
#include "typelib/dodived.h"

namespace zqmd {

struct Options {
  std::string listenAddress = "127.0.0.1";
  unsigned short port = 8088;
  std::string serverConfiguration;
  std::string logDirectory = DefaultLogDirectory();
  std::string configServer = "Almanac";
  // Where the registry is kept across restarts of the daemon; empty: the
  // file zqmd.state in the log folder.
  std::string stateFile = DefaultStateFile();
  // Connection limit and handshake time-out of the daemon's port.
  zqm_listener::Limits limits;
};

class Daemon {
 public:
  Daemon(asio::io_context& io, Options options);
  ~Daemon();

  // Listens; throws ZQM_EException when the address cannot be used.
  void Start();
  void Stop();
  unsigned short Port() const;

 private:
  enum class State { kFetching, kStarting, kUnbound, kBound, kPlain };
  using Key = std::pair<std::string, unsigned short>;
  struct Instance;

  // The RPC methods (daemon_methods.cc; Register in daemon_registration.cc).
  void Handle(const ZQ_TDict& request, zqm_listener::Reply reply);
  void Register(const ZQ_TDict& request, zqm_listener::Reply& reply);
  void Locate(const ZQ_TDict& request, zqm_listener::Reply& reply);
  void Servers(const ZQ_TDict& request, zqm_listener::Reply& reply);

  // The registry of instances (daemon_registry.cc).
  Instance* Find(const Key& key);
  Instance& Add(const Key& key, State state);
  void Watch(Instance& instance, int pidfd);
  void Ended(const Key& key);
  void FailWaiters(Instance& instance, const std::string& frame);
  std::string PlaceFrame(const Instance& instance) const;
  std::string Describe(const Instance& instance) const;

  // On-demand starts (daemon_starts.cc).
  void StartInstance(const Key& key);
  void FetchAndSpawn(const Key& key, unsigned short configServerPort);
  void ForgetLaunchConfigurations(const char* why);
  void Spawn(const Key& key, const ZQ_TTree& server);
  void ArmStartTimer(Instance& instance);
  std::string LogPath(const Key& key) const;

  // The state file and adoption (daemon_adoption.cc).
  void Adopt();
  void SaveSoon();
  void Save();

  // How long after a change the state file is written.
  static constexpr unsigned kSaveDelayMs = 10;

  asio::io_context& io_;
  Options options_;
  zqm_deadlines::DeadlineQueue deadlines_;  // before the instances, which cancel theirs
  std::optional<zqm_listener::Listener> listener_;
  std::map<Key, std::unique_ptr<Instance>> instances_;
  std::uint64_t generation_ = 0;
  // Server subtrees by server name, as last read from the configuration
  // server; the epoch changes whenever they are forgotten, so that a read
  // that was under way then is not kept.
  std::map<std::string, std::shared_ptr<const ZQ_TTree>> launchConfigurations_;
  std::uint64_t configurationEpoch_ = 0;
  bool savePending_ = false;
};

}  // namespace zqmd
