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
//       "unbound" or "plain"), "Started" (seconds since 1970), "Log",
//       "CPUSeconds" and "MemoryBytes" (decimal texts from its cgroup, ""
//       when it has none; see cgroups.h), for an instance it started
//       "LaunchDigest" (launch_digest.h), and for an instance whose launch
//       asked for them "Readiness" ("waiting", "ready"), "StatusText" (its
//       last STATUS=), "Health" ("healthy", "unhealthy") and
//       "HealthFailures" (ZQ_TUInt32, in a row now).
//   "GetServerConfiguration"()                  the name of this host's
//       server configuration.
//   "ConfigurationChanged"()                    the configuration server's
//       tree has changed: launch configurations are read again.
//   "LogPath"(P1 name, P2 instance)              the log file of an instance,
//       whether it runs or not (see instance_log.h).
//   "EndInstance"(P1 name, P2 instance, P3 grace)  ends a running instance:
//       SIGTERM to its process group when it leads one (every instance the
//       daemon starts leads a session), else to its process; SIGKILL once
//       the grace (milliseconds, default 5000, at most 3600000) has passed.
//       Answers once the kernel confirms the end: {"PID", "End" (as traced,
//       e.g. "killed by signal 15 (Terminated)"), "Forced" (SIGKILL was
//       needed)}. An instance the daemon does not list is refused.
//   "History"(P1 name)                           per instance (all for "*"
//       or no P1) that the daemon has started or seen end: "Name",
//       "Instance", "Starts" (how often this daemon started it), after an
//       end "LastEnd" (as traced), "Ended" (seconds since 1970) and
//       "ExitStatus" or "Signal", and "Backoff" (milliseconds left) while
//       it is held back.
//   "MarkDown"(P1 name)                          the operator took the
//       server down: none of its instances is started ("Locate" refuses
//       with ZQM_ENoSuchServer) until "ClearDown"; running ones are left
//       alone. Answers {"Name", "Since" (seconds since 1970, of the first
//       mark)}.
//   "ClearDown"(P1 name)                         ends such a mark: true, or
//       false when there was none.
//   "DownServers"()                              the marks: a list of
//       {"Name", "Since"}.
// An instance leaves the registry the moment its process ends: each is
// watched through a pidfd (see process_watch.h), an end is believed only
// once the kernel confirms it, and every child the daemon started is reaped.
//
// "Register" never displaces a live instance: an instance the daemon
// started may be registered only by its own process, a live registered one
// not by another process, and the registering process must be alive, be
// neither init nor the daemon, and hold a socket listening on the port it
// announces. Its start time is kept, so that a reused process id is never
// taken for it.
//
// The daemon wakes only when a client, an instance's process, one of its
// own deadlines (start time-outs, the state file's write) or one of its
// helper threads (a launch, a user lookup) has something to say: it uses no
// Asio timer, whose descriptor Asio re-arms every five minutes once used
// (see zqm_deadlines.h).
//
// Starting an instance never blocks the event loop: its user and group are
// resolved on a thread of their own (credential_cache.h) and its process is
// made on another (spawner.h), so that a user database or a mount that does
// not answer holds that start alone. A start that has not come through when
// its StartTimeout has passed fails as one that never binds; its process,
// if it has one, is killed then.
//
// The registry is kept in a state file, so that a restarted daemon adopts
// the instances that outlived its predecessor instead of starting them a
// second time: exactly the process each entry names (by process id and start
// time). Every instance the daemon starts carries marks in its environment
// (proc_inspect.h): the daemon's address, a random id of its launch (also
// kept in the file) and its configured program. A process that carries the
// marks of a launch the file names is never taken for the instance (a
// helper the instance started inherits every mark); other marked processes
// are, one per instance, when they run their launch's program (the oldest
// of several), so that a lost or stale file never leads to a second copy.
// The operator-down marks are kept in the same file.
//
// An instance whose launch configuration has "Readiness" has completed its
// start (and "Locate" answers) only once it is also ready: it sent READY=1
// to the daemon's notification socket (see notify_socket.h), or a probe on
// loopback passed. One with "HealthCheck" is checked on the daemon's
// deadlines from then on, and ended after that many failures in a row as
// "EndInstance" ends one (see daemon_health.cc).
//
// An instance whose launch configuration has "BackoffMinimumUptime" and
// that ends sooner after its start (unless asked to by "EndInstance") is
// held back: "Locate" refuses to start it for a pause that doubles with each
// such crash, from "BackoffInitialDelay" up to "BackoffMaximumDelay"; a run
// longer than the minimum uptime starts over. Each pause is traced once.
//
// A server's launch configuration is read from the configuration server at
// its first start and kept, so that a restart spawns at once. It is marked
// stale after "ConfigurationChanged" (which the configuration server sends
// after every reload and change) and whenever the configuration server
// itself comes or goes, and read again at the server's next start. While
// the configuration server cannot be asked, instances are started from the
// launch configuration kept (traced once per server), so that the
// configuration server is no single point of failure.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <asio.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DEVUror/zqm_deadlines.h"
#include "DEVUror/zqm_listener.h"
#include "DEVUror/zqm_local_socket.h"
#include "typelib/dodived.h"
#include "zqmd/cgroups.h"
#include "zqmd/credential_cache.h"
#include "zqmd/instance_log.h"
#include "zqmd/launch_config.h"
#include "zqmd/metrics.h"
#include "zqmd/notify_socket.h"
#include "zqmd/proc_inspect.h"
#include "zqmd/process_watch.h"
#include "zqmd/safe_files.h"
#include "zqmd/spawner.h"
#include "zqmd/state_file.h"
#include "zqmd/state_writer.h"

namespace zqmd {

struct Options {
  std::string listenAddress = "127.0.0.1";
  // Another address to listen on (this host's on the installation's
  // network); empty: none.
  std::string hostAddress;
  unsigned short port = 8088;
  std::string serverConfiguration;
  std::string logDirectory = DefaultLogDirectory();
  std::string configServer = "Almanac";
  // Where the registry is kept across restarts of the daemon; empty: the
  // file zqmd.state in the log folder.
  std::string stateFile = DefaultStateFile();
  // The local socket, through which every program of this host calls
  // (zqm_local_socket.h); its folder is made and checked like the log
  // folder, but may be entered by anyone.
  std::string socketPath = zqm_local::DaemonPath();
  // Members of this group are administrators on the local socket (besides
  // root and the daemon's user); "" or a group that does not exist: none.
  std::string administratorsGroup = "zqm";
  // Listening sockets handed over by the service manager (LISTEN_FDS): when
  // any are given, the daemon listens on these and binds nothing itself.
  std::vector<int> inheritedSockets;
  // Connection limits and handshake time-out of the daemon's sockets.
  zqm_listener::Limits limits;
  // The folder below which each instance gets a cgroup of its own
  // (cgroups.h); "": the daemon's own cgroup when it was delegated.
  std::string cgroup;
  // Where the metrics for Prometheus are served ("PORT" or
  // "ADDRESS:PORT", metrics.h); "": nowhere.
  std::string metricsListen;
  // The descriptor limit instances start with (the one the daemon was given
  // before it raised its own); empty: the daemon's.
  std::optional<rlimit> instanceDescriptorLimit;
};

// A start or an end of an instance, as "History" lists the last ones.
struct InstanceEvent {
  std::chrono::system_clock::time_point at;
  pid_t pid = 0;
  std::string end;  // "" for a start; the end as traced
  int exitStatus = -1;
  int signal = 0;
};

class Daemon {
 public:
  Daemon(asio::io_context& io, Options options);
  ~Daemon();

  // Listens; throws ZQM_EException when the address cannot be used.
  void Start();
  // The folder of the instances' cgroups; "" when there is none.
  const std::string& CgroupRoot() const { return cgroups_.Root(); }
  // Stops listening and lets go of the instances (they keep running); a
  // start under way is given up on and its process killed. Never waits for
  // a launch or a lookup.
  void Stop();
  unsigned short Port() const;
  // The port of the metrics; 0 when they are not served.
  unsigned short MetricsPort() const { return metrics_ ? metrics_->Port() : 0; }

  // The last steps of an end (reaping the process, the end marker in its
  // log) are put off, so that the restart its server asks for right after
  // does not wait behind them. They are taken once a launch has been handed
  // over, before a launch's outcome is taken (so that the log holds the end
  // before the next start), and by the loop: when it has had nothing to do
  // for kEndGrace, and after a batch of handlers once they are that old.
  static constexpr std::chrono::milliseconds kEndGrace{1};
  bool HasEndsToFinish() const { return !endsToFinish_.empty(); }
  void FinishEnds();
  void FinishOverdueEnds();

 private:
  // kFetching: its launch configuration is read; kLaunching: its user is
  // resolved and its process made; kStarting: its process runs and has not
  // bound yet.
  enum class State { kFetching, kLaunching, kStarting, kUnbound, kBound, kPlain };
  using Key = std::pair<std::string, unsigned short>;
  struct Instance;

  // The RPC methods (daemon_methods.cc; Register in daemon_registration.cc).
  void Handle(const ZQ_TDict& request, zqm_roles::Caller caller, zqm_listener::Reply reply);
  // A caller on the local socket who is no administrator is a server when
  // its process is one of the instances.
  void KnowServer(zqm_roles::Caller& caller) const;
  void Register(const ZQ_TDict& request, const zqm_roles::Caller& caller,
                zqm_listener::Reply& reply);
  void Locate(const ZQ_TDict& request, const zqm_roles::Caller& caller, zqm_listener::Reply& reply);
  void Servers(const ZQ_TDict& request, zqm_listener::Reply& reply);
  void LogPathOf(const ZQ_TDict& request, zqm_listener::Reply& reply);

  // Ending instances, and what the daemon remembers of each across its
  // processes: starts, the last end, the back-off (daemon_control.cc).
  struct Record {
    unsigned starts = 0;
    std::vector<InstanceEvent> recent;  // the last starts and ends, oldest first
    std::string lastEnd;                // as traced; "" until a process of it has ended
    std::chrono::system_clock::time_point endedAt;
    int exitStatus = -1;  // or
    int signal = 0;
    unsigned restarts = 0;   // starts after an end of it was seen
    unsigned backoffMs = 0;  // the current pause after a crash; 0: none
    unsigned livedMs = 0;    // how long the crashed process ran
    unsigned minimumUptimeMs = 0;
    std::chrono::steady_clock::time_point heldUntil;
  };
  void EndInstance(const ZQ_TDict& request, zqm_listener::Reply& reply);
  void History(const ZQ_TDict& request, zqm_listener::Reply& reply);
  // Sends `signal` to the instance (its group when it leads one); on a
  // failure other than its end, fails the "EndInstance" calls waiting.
  bool SendEnd(Instance& instance, int signal);
  void NoteStart(Instance& instance, const Backoff& backoff);
  // Records the end of `instance` (`how` as traced), answers the
  // "EndInstance" calls waiting for it and starts a back-off after a crash.
  void NoteEnd(Instance& instance, const std::string& how);
  // Why `key` may not be started now, or "" when it may.
  std::string BackoffRefusal(const Key& key) const;
  Record& RecordOf(const Key& key);

  // Keys are taken by value wherever an instance can leave the registry on
  // the way (Find, Ended and all that call them): a reference into the
  // registry would dangle.

  // The registry of instances (daemon_registry.cc).
  Instance* Find(Key key);
  Instance& Add(const Key& key, State state);
  void Watch(Instance& instance, int pidfd, bool child);
  void Ended(Key key);
  struct EndToFinish {
    ProcessWatchSet::Id watch = 0;
    LogWatchSet::Id log = 0;
    std::string marker;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<EndToFinish> endsToFinish_;
  void FailWaiters(Instance& instance, const std::string& frame);
  std::string PlaceFrame(const Instance& instance) const;
  // The answer to a Locate of a plain program's instance.
  std::string PlainRefusal(const Instance& instance) const;
  std::string Describe(const Instance& instance) const;

  // Registration checks (daemon_registration.cc): why `pid` may not
  // register `key` on `port`, or "" when it may.
  std::string RegistrationRefusal(const Key& key, pid_t pid, unsigned short port);
  // The instance has bound to `port`: `reply` (if any) and its waiters are answered.
  void Bound(Instance& instance, unsigned short port, zqm_listener::Reply* reply);

  // On-demand starts (daemon_starts.cc): the launch configuration, then the
  // credentials, then the process, each step checking that the instance
  // still waits for it (Launching).
  void StartInstance(Key key);
  void FetchAndSpawn(Key key, unsigned short configServerPort);
  // `digest` is LaunchDigest(server), kept with it.
  void Spawn(Key key, const ZQ_TTree& server, std::string digest);
  void LaunchResolved(Key key, LaunchConfig launch, const Credentials& credentials);
  void LaunchFinished(Key key, std::uint64_t generation, Spawner::Outcome& outcome,
                      const LaunchConfig& launch, const std::string& commandLine);
  Instance* Launching(const Key& key, std::uint64_t generation);
  // Sets the marks of a new launch of `instance` in `launch`'s environment.
  void Mark(LaunchConfig& launch, Instance& instance) const;
  // A launch that finished after it was given up on: its process is killed
  // and reaped once it has ended.
  void Abandon(Spawner::Outcome& outcome);
  void LaunchTimedOut(Instance& instance);
  void StartFailed(const Key& key, const ZQ_EException& failure);
  void StartFailed(const Key& key, const std::string& reason, const std::string& frame = "");
  void ArmStartTimer(Instance& instance);
  std::string LogPath(const Key& key) const;
  // Listens on `address`:`port`; throws ZQM_EException saying why it cannot.
  void Listen(const std::string& address, unsigned short port);
  // Listens on the local socket (daemon_local_socket.cc).
  void ListenLocally();
  void ResolveAdministratorsGroup();
  // Serves the listening socket `fd` (taken).
  void Serve(int fd);
  // Writes `opening` (the start marker) to the instance's log (its
  // descriptor `fd`, taken), keeps the log within `limits` and lets the end
  // marker be written to it; an adopted instance's log is opened here (fd
  // -1) and kept within the default limits.
  void WatchLog(Instance& instance, int fd, const LogLimits& limits = {},
                const std::string& opening = {});
  // The metrics (daemon_metrics.cc): served when asked for, and the start
  // of `instance` that has come through, for the start-latency histogram.
  void ServeMetrics();
  std::string RenderMetrics() const;
  void WriteInstanceMetrics(MetricsText& text) const;
  void WriteDaemonMetrics(MetricsText& text) const;
  void NoteStarted(Instance& instance);
  // Finds the instances' cgroups (cgroups.h) and traces the outcome.
  void OpenCgroups();
  // The descriptor through which `instance`'s process joins its cgroup for
  // `launch`; -1 when it gets none. Traces what cannot be applied.
  int PrepareCgroup(Instance& instance, const LaunchConfig& launch);
  // The adopted `instance` gets its cgroup back when its process is in it.
  void FindCgroup(Instance& instance);
  // The value of ZQM_DAEMON in every instance this daemon starts.
  std::string DaemonMark() const;
  // A sealed descriptor holding a new identity for `key` (zqm_identity.h),
  // owned by the caller; -1 when the daemon runs insecure.
  int IdentityDescriptor(const Key& key) const;

  // Readiness (daemon_readiness.cc): a start with a "Readiness" key is
  // complete once the instance is ready, besides bound (or plain).
  // Whether `instance`'s start waits for its readiness still.
  static bool AwaitsReadiness(const Instance& instance);
  // Its process runs: probing begins (or, for "notify", the wait).
  void AwaitReadiness(Instance& instance);
  void ProbeReadiness(Key key, std::uint64_t generation);
  void MarkReady(Instance& instance, const char* how);
  // The start is complete: the waiters are answered and checks begin.
  void CompleteStart(Instance& instance);
  void ReadinessTimedOut(Instance& instance);
  // The notification socket's path, made at its first use; throws
  // ZQM_EException when it cannot be made.
  std::string NotifySocketPath();
  void Notified(pid_t sender, const Notification& notification);
  Instance* NotifyingInstance(pid_t sender);

  // Health checks (daemon_health.cc), from the completed start until the end.
  void ScheduleHealthCheck(Instance& instance);
  void RunHealthCheck(Key key, std::uint64_t generation);
  void HealthChecked(Key key, std::uint64_t generation, bool passed, const std::string& why);
  void EndUnhealthy(Instance& instance, const std::string& why);
  // Ends `instance`: SIGTERM, then SIGKILL after `graceMs`; `line` is
  // traced once (daemon_control.cc).
  void BeginEnd(Instance& instance, unsigned graceMs, const std::string& line);

  // Servers the operator took down (daemon_operator_down.cc).
  void MarkDown(const ZQ_TDict& request, zqm_listener::Reply& reply);
  void ClearDown(const ZQ_TDict& request, zqm_listener::Reply& reply);
  void DownServers(zqm_listener::Reply& reply);
  // Why no instance of `name` may be started, or "" when it may.
  std::string OperatorDownRefusal(const std::string& name) const;
  // Reads the marks from the state file, at start.
  void LoadOperatorDown();
  // Hands the marks to the state writer, for every following write.
  void KeepOperatorDown();

  // Launch configurations kept (daemon_launch_configurations.cc).
  struct KeptConfiguration {
    std::shared_ptr<const ZQ_TTree> server;
    std::string digest;  // LaunchDigest of server, made once, not at every start
    std::chrono::system_clock::time_point readAt;
    bool stale = false;           // to be read again at the next start
    bool fallbackTraced = false;  // its use without the configuration server was traced
  };
  void MarkLaunchConfigurationsStale(const char* why);
  void KeepLaunchConfiguration(const std::string& name, std::shared_ptr<const ZQ_TTree> server);
  // Spawns `key` from the kept launch configuration when there is one,
  // tracing `why` (once per server while the configuration server is away,
  // every time otherwise); false when none is kept.
  bool SpawnFromKept(const Key& key, const std::string& why, bool once);

  // The state file, adoption and reconciliation with the running processes
  // (daemon_adoption.cc).
  // What the state file names: the instances it keeps, and the launches
  // whose processes are known by it alone.
  struct Recorded {
    std::set<Key> instances;
    std::set<std::string> launches;
  };
  void Adopt();
  Recorded AdoptFromStateFile();
  void AdoptSaved(const SavedInstance& entry);
  void AdoptMarkedProcesses(const Recorded& recorded);
  // Whether `process` may be taken for its instance, as far as the state
  // file and its program say; traces why not.
  bool MayAdopt(const MarkedProcess& process, const Recorded& recorded) const;
  void AdoptMarked(const MarkedProcess& process, const char* how);
  bool AdoptCandidate(const Key& key, const Credentials& credentials);
  void SaveSoon();
  // Writes a change that SaveSoon still holds back, at once.
  void SaveNow();
  void Save();
  // On the event loop's thread after each write of the state file; `problem`
  // is "" when it was written.
  void Saved(const std::string& problem);

  // How long after a change the state file is written, and how long at
  // least between two writes while changes keep coming (a start of many
  // instances changes the registry every millisecond or two, and each write
  // of a large registry is a new file with two fsyncs).
  static constexpr unsigned kSaveDelayMs = 10;
  static constexpr unsigned kSaveIntervalMs = 100;

  asio::io_context& io_;
  Options options_;
  zqm_deadlines::DeadlineQueue deadlines_;  // before the instances, which cancel theirs
  ProcessWatchSet watches_;                 // before the instances, which release theirs
  LogWatchSet logs_;                        // likewise
  CredentialCache credentials_;
  Spawner spawner_;
  Cgroups cgroups_;
  // The local socket's, then one per TCP address (the listen address, then
  // the host's).
  std::vector<std::unique_ptr<zqm_listener::Listener>> listeners_;
  std::map<Key, std::unique_ptr<Instance>> instances_;
  // Outlives the instances' processes; bounded (see RecordOf).
  std::map<Key, Record> records_;
  std::uint64_t generation_ = 0;
  // Server subtrees by server name, as last read from the configuration
  // server; the epoch changes whenever they are marked stale, so that a read
  // that was under way then is kept as stale.
  std::map<std::string, KeptConfiguration> launchConfigurations_;
  std::uint64_t configurationEpoch_ = 0;
  // Marked processes of other users that a daemon running as root found at
  // start-up: adopted once their server's launch configuration names their
  // user, dropped otherwise.
  std::map<Key, MarkedProcess> candidates_;
  // Operator-down servers: name, and since when (seconds since 1970).
  std::map<std::string, std::int64_t> operatorDown_;
  // From a request for a start to its bind (or, for a plain program, its
  // process); calls refused by role; crashes held back.
  DurationHistogram startDurations_{{0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30}};
  std::uint64_t refusedCalls_ = 0;
  std::uint64_t backoffs_ = 0;
  std::unique_ptr<MetricsListener> metrics_;
  bool savePending_ = false;
  zqm_deadlines::Id saveDeadline_ = 0;
  std::chrono::steady_clock::time_point lastSave_{};
  bool saveFailing_ = false;  // the last write of the state file failed
  // Expires with the daemon, so that a write's report posted to the event
  // loop after the daemon has gone is dropped.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // Made at the first launch that needs it (see NotifySocketPath).
  std::unique_ptr<NotifySocket> notifySocket_;
  // Notifications from processes of no instance are traced at most this
  // often, with how many were dropped in between.
  zqm_deadlines::Clock::time_point strangerTraced_{};
  unsigned strangersDropped_ = 0;
  std::unique_ptr<StateWriter> stateWriter_;  // last: written out first at the end
};

}  // namespace zqmd
