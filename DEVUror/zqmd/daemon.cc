#include "DEVUror/zqmd/daemon.h"

#include <poll.h>
#include <unistd.h>
#include <filesystem>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqm_wire.h"
#include "DEVUror/zqmd/config_fetch.h"
#include "DEVUror/zqmd/launcher.h"
#include "DEVUror/zqmd/state_file.h"

namespace zqmd {

struct Daemon::Instance {
  explicit Instance(zqm_deadlines::DeadlineQueue& queue) : deadlines(queue) {}
  ~Instance() { deadlines.Cancel(startDeadline); }

  std::string name;
  unsigned short number = 0;
  State state = State::kFetching;
  std::uint64_t generation = 0;
  pid_t pid = 0;
  std::unique_ptr<asio::posix::stream_descriptor> pidfd;
  unsigned short port = 0;
  std::string logPath;
  std::chrono::system_clock::time_point started = std::chrono::system_clock::now();
  std::uint64_t startTicks = 0;  // when the process started, against pid reuse
  unsigned startTimeoutMs = kDefaultStartTimeoutMs;
  std::vector<zqm_listener::Reply> waiters;
  zqm_deadlines::DeadlineQueue& deadlines;
  zqm_deadlines::Id startDeadline = 0;  // while starting: when to give up waiting for its bind
};

namespace {

template <class E>
std::string FailureFrame(const ZQ_TString& message) {
  E failure(message);
  return zqm_wire::FailureFrame(failure.__PREPARE_FOR_THROW__(__LINE__, __FILE__));
}

const char* StateName(int state) {
  static const char* const names[] = {"starting", "starting", "unbound", "running", "plain"};
  return names[state];
}

// The parameter `key` of a request as T, or null.
template <class T>
const T* Parameter(const ZQ_TDict& request, const char* key) {
  const ZQ_TAny* value = request.Find(key);
  return value != nullptr ? value->As<T>() : nullptr;
}

// An instance number given as ZQ_TUInt16, or as a ZQ_TUInt32 that fits.
bool InstanceParameter(const ZQ_TDict& request, const char* key, unsigned short& number) {
  if (const ZQ_TUInt16* small = Parameter<ZQ_TUInt16>(request, key)) {
    number = small->Value();
    return true;
  }
  const ZQ_TUInt32* large = Parameter<ZQ_TUInt32>(request, key);
  if (large == nullptr || large->Value() > 0xFFFF) return false;
  number = static_cast<unsigned short>(large->Value());
  return true;
}

bool ProcessEnded(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}

}  // namespace

Daemon::Daemon(asio::io_context& io, Options options)
    : io_(io), options_(std::move(options)), deadlines_(io) {
  if (options_.stateFile.empty()) options_.stateFile = options_.logDirectory + "/zqmd.state";
}

Daemon::~Daemon() {
  Stop();
}

void Daemon::Start() {
  asio::error_code error;
  const auto address = asio::ip::make_address(options_.listenAddress, error);
  asio::ip::tcp::acceptor acceptor(io_);
  if (!error) acceptor.open(address.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(asio::ip::tcp::endpoint(address, options_.port), error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    ZQM_EException failed(ZQ_TString::Format(
        "cannot listen on %s port %d: %s", options_.listenAddress, options_.port, error.message()));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
  const zqm_wire::Hello hello{"ZQMD", 0, static_cast<std::uint32_t>(getpid())};
  listener_.emplace(
      std::move(acceptor), hello,
      [this](const ZQ_TDict& request, zqm_listener::Reply reply) {
        Handle(request, std::move(reply));
      },
      options_.limits);
  listener_->Start();
  zqm_trace::Line(
      0, ZQ_TString::Format(
             "Middleware daemon listening on %s:%d; server configuration \"%s\"; logs in %s",
             options_.listenAddress, listener_->Port(), options_.serverConfiguration,
             options_.logDirectory)
             .Text());
  std::error_code ignored;
  std::filesystem::create_directories(options_.logDirectory, ignored);
  Adopt();
}

void Daemon::Stop() {
  if (listener_) listener_->Close();
  // Children that have ended but whose end was not handled yet are reaped
  // now, so that they do not linger as zombies once we are gone.
  for (const auto& [key, instance] : instances_) {
    if (instance->pidfd && ProcessEnded(instance->pidfd->native_handle())) {
      Reap(instance->pidfd->native_handle());
    }
  }
  // The instances keep running: dropping the registry closes only our pidfds.
  instances_.clear();
}

unsigned short Daemon::Port() const {
  return listener_ ? listener_->Port() : 0;
}

void Daemon::Handle(const ZQ_TDict& request, zqm_listener::Reply reply) {
  const ZQ_TString method = zqm_wire::MethodOf(request);
  try {
    if (method == "Register") return Register(request, reply);
    if (method == "Locate") return Locate(request, reply);
    if (method == "Servers") return Servers(request, reply);
    if (method == "ConfigurationChanged") {
      ForgetLaunchConfigurations("the configuration has changed");
      return reply(zqm_wire::ResultFrame(ZQ_TAny(true)));
    }
    if (method == "GetServerConfiguration") {
      return reply(zqm_wire::ResultFrame(ZQ_TAny(ZQ_TString(options_.serverConfiguration))));
    }
    reply(FailureFrame<ZQM_ENoSuchServerMethod>(method));
  } catch (const ZQ_EException& failure) {
    reply(zqm_wire::FailureFrame(failure));
  }
}

std::string Daemon::Describe(const Instance& instance) const {
  return instance.pid != 0
             ? ZQ_TString::Format("%s instance %d (pid %d)", instance.name, instance.number,
                                  instance.pid)
                   .Text()
             : ZQ_TString::Format("%s instance %d", instance.name, instance.number).Text();
}

Daemon::Instance* Daemon::Find(const Key& key) {
  auto found = instances_.find(key);
  if (found == instances_.end()) return nullptr;
  Instance& instance = *found->second;
  // The pidfd's own wake-up may not have been handled yet: look now, so that
  // no answer ever names a process that has ended.
  if (instance.pidfd && ProcessEnded(instance.pidfd->native_handle())) {
    Ended(key);
    return nullptr;
  }
  return &instance;
}

Daemon::Instance& Daemon::Add(const Key& key, State state) {
  auto instance = std::make_unique<Instance>(deadlines_);
  instance->name = key.first;
  instance->number = key.second;
  instance->state = state;
  instance->generation = ++generation_;
  Instance& added = *instance;
  instances_[key] = std::move(instance);
  return added;
}

void Daemon::Watch(Instance& instance, int pidfd) {
  instance.pidfd = std::make_unique<asio::posix::stream_descriptor>(io_, pidfd);
  if (instance.startTicks == 0) instance.startTicks = ProcessStartTicks(instance.pid).value_or(0);
  SaveSoon();
  const Key key{instance.name, instance.number};
  const std::uint64_t generation = instance.generation;
  instance.pidfd->async_wait(
      asio::posix::stream_descriptor::wait_read, [this, key, generation](asio::error_code error) {
        if (error) return;
        auto found = instances_.find(key);
        if (found != instances_.end() && found->second->generation == generation) Ended(key);
      });
}

void Daemon::Ended(const Key& key) {
  auto found = instances_.find(key);
  if (found == instances_.end()) return;
  std::unique_ptr<Instance> instance = std::move(found->second);
  instances_.erase(found);
  SaveSoon();
  if (key == Key{options_.configServer, 0})
    ForgetLaunchConfigurations("the configuration server has ended");
  std::string how = instance->pidfd ? Reap(instance->pidfd->native_handle()) : "";
  if (how.empty()) how = "ended";
  zqm_trace::Line(0, ZQ_TString::Format("%s %s", Describe(*instance), how).Text());
  if (!instance->waiters.empty()) {
    std::string reason = Describe(*instance) + " " + how + " before it bound";
    if (!instance->logPath.empty()) reason += "; see " + instance->logPath;
    FailWaiters(*instance, FailureFrame<ZQM_EConnectionFailed>(reason.c_str()));
  }
}

void Daemon::FailWaiters(Instance& instance, const std::string& frame) {
  std::vector<zqm_listener::Reply> waiters = std::move(instance.waiters);
  instance.waiters.clear();
  for (auto& waiter : waiters)
    waiter(frame);
}

std::string Daemon::PlaceFrame(const Instance& instance) const {
  ZQ_TDict place;
  place.Set("Port", ZQ_TAny(ZQ_TUInt32(instance.port)));
  place.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(instance.pid))));
  return zqm_wire::ResultFrame(ZQ_TAny(place));
}

std::string Daemon::LogPath(const Key& key) const {
  return options_.logDirectory + "/" + key.first + "-" + std::to_string(key.second) + ".log";
}

void Daemon::Register(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TDict* registration = Parameter<ZQ_TDict>(request, "P1");
  const ZQ_TString* name = registration ? Parameter<ZQ_TString>(*registration, "Name") : nullptr;
  const ZQ_TUInt32* pid = registration ? Parameter<ZQ_TUInt32>(*registration, "PID") : nullptr;
  const ZQ_TUInt32* port = registration ? Parameter<ZQ_TUInt32>(*registration, "Port") : nullptr;
  unsigned short number = 0;
  if (name == nullptr || name->IsEmpty() || pid == nullptr || pid->Value() == 0 ||
      port == nullptr || port->Value() == 0 || port->Value() > 0xFFFF ||
      !InstanceParameter(*registration, "Instance", number)) {
    return reply(FailureFrame<ZQM_EException>(
        "Register needs a dictionary with Name, Instance, PID and Port"));
  }
  const Key key{name->Text(), number};
  Instance* instance = Find(key);
  if (instance != nullptr && instance->pid != 0 &&
      instance->pid != static_cast<pid_t>(pid->Value())) {
    return reply(FailureFrame<ZQM_EException>(
        ZQ_TString::Format("%s is already running", Describe(*instance))));
  }
  if (instance == nullptr || instance->pid == 0) {
    const int pidfd = OpenPidfd(static_cast<pid_t>(pid->Value()));
    if (pidfd < 0) {
      return reply(FailureFrame<ZQM_EException>(
          ZQ_TString::Format("Register: there is no process %d", pid->Value())));
    }
    std::vector<zqm_listener::Reply> waiters;
    if (instance != nullptr) waiters = std::move(instance->waiters);
    instance = &Add(key, State::kBound);
    instance->waiters = std::move(waiters);
    instance->pid = static_cast<pid_t>(pid->Value());
    Watch(*instance, pidfd);
  }
  if (key == Key{options_.configServer, 0})
    ForgetLaunchConfigurations("the configuration server has started");
  deadlines_.Cancel(instance->startDeadline);
  instance->state = State::kBound;
  instance->port = static_cast<unsigned short>(port->Value());
  zqm_trace::Line(
      1, ZQ_TString::Format("%s bound to port %d", Describe(*instance), instance->port).Text());
  reply(zqm_wire::ResultFrame(ZQ_TAny(true)));
  SaveSoon();
  std::vector<zqm_listener::Reply> waiters = std::move(instance->waiters);
  instance->waiters.clear();
  const std::string place = PlaceFrame(*instance);
  for (auto& waiter : waiters)
    waiter(place);
}

void Daemon::Locate(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TString* name = Parameter<ZQ_TString>(request, "P1");
  unsigned short number = 0;
  if (name == nullptr || name->IsEmpty() || !InstanceParameter(request, "P2", number)) {
    return reply(FailureFrame<ZQM_EException>(
        "Locate needs a server name (P1) and an instance number (P2)"));
  }
  const ZQ_TUInt32* mode = Parameter<ZQ_TUInt32>(request, "P3");
  const Key key{name->Text(), number};
  Instance* instance = Find(key);
  if (instance == nullptr) {
    if (mode != nullptr && mode->Value() != 0) {
      return reply(FailureFrame<ZQM_ENoSuchServer>(
          ZQ_TString::Format("%s instance %d is not running", key.first, number)));
    }
    if (key.first.find('/') != std::string::npos) {
      return reply(FailureFrame<ZQM_ENoSuchServer>(
          ZQ_TString::Format("\"%s\" is not a server name", key.first)));
    }
    Add(key, State::kFetching).waiters.push_back(std::move(reply));
    return StartInstance(key);
  }
  switch (instance->state) {
    case State::kBound:
      return reply(PlaceFrame(*instance));
    case State::kPlain:
      return reply(FailureFrame<ZQM_ENotAnRpcServer>(
          ZQ_TString::Format("%s is a plain program and serves no RPC", Describe(*instance))));
    case State::kUnbound:
      instance->state = State::kStarting;
      ArmStartTimer(*instance);
      [[fallthrough]];
    case State::kFetching:
    case State::kStarting:
      instance->waiters.push_back(std::move(reply));
      return;
  }
}

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
    const LaunchConfig launch = ReadLaunchConfig(server, key.first, key.second);
    instance.logPath = LogPath(key);
    instance.startTimeoutMs = launch.startTimeoutMs;
    zqm_trace::Line(0, ZQ_TString::Format("Starting %s instance %d: %s", key.first, key.second,
                                          CommandLine(launch))
                           .Text());
    const Launched launched = Launch(launch, key.first, key.second, instance.logPath);
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

void Daemon::Servers(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TString* name = Parameter<ZQ_TString>(request, "P1");
  const bool all = name == nullptr || *name == "*";
  std::vector<Key> keys;
  for (const auto& [key, instance] : instances_) {
    if ((all || key.first == name->Text()) && instance->pid != 0) keys.push_back(key);
  }
  ZQ_TList list;
  for (const Key& key : keys) {
    const Instance* instance = Find(key);
    if (instance == nullptr) continue;
    ZQ_TDict entry;
    entry.Set("Name", ZQ_TAny(ZQ_TString(instance->name)));
    entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(instance->number)));
    entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(instance->pid))));
    entry.Set("Port", ZQ_TAny(ZQ_TUInt32(instance->port)));
    entry.Set("State", ZQ_TAny(StateName(static_cast<int>(instance->state))));
    entry.Set("Started", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(
                             std::chrono::system_clock::to_time_t(instance->started)))));
    entry.Set("Log", ZQ_TAny(ZQ_TString(instance->logPath)));
    list.Append(ZQ_TAny(entry));
  }
  reply(zqm_wire::ResultFrame(ZQ_TAny(list)));
}

void Daemon::SaveSoon() {
  // Written a little later, so that the changes of one start (spawn, bind)
  // make one write, and no write delays the answers of a restart.
  if (savePending_) return;
  savePending_ = true;
  deadlines_.After(std::chrono::milliseconds(kSaveDelayMs), [this] {
    savePending_ = false;
    Save();
  });
}

void Daemon::Save() {
  std::vector<SavedInstance> saved;
  for (const auto& [key, instance] : instances_) {
    if (instance->pid == 0) continue;
    SavedInstance entry;
    entry.name = key.first;
    entry.instance = key.second;
    entry.pid = instance->pid;
    entry.port = instance->state == State::kBound ? instance->port : 0;
    entry.state = instance->state == State::kBound   ? "running"
                  : instance->state == State::kPlain ? "plain"
                                                     : "unbound";
    entry.started = std::chrono::system_clock::to_time_t(instance->started);
    entry.logPath = instance->logPath;
    entry.startTicks = instance->startTicks;
    saved.push_back(entry);
  }
  std::string problem;
  if (!SaveState(options_.stateFile, saved, problem)) {
    zqm_trace::Line(0, "Cannot keep the registry: " + problem);
  }
}

void Daemon::Adopt() {
  std::string problem;
  const std::vector<SavedInstance> saved = LoadState(options_.stateFile, problem);
  if (!problem.empty()) zqm_trace::Line(0, "Ignoring the kept registry: " + problem);
  for (const SavedInstance& entry : saved) {
    // Only the very process that was registered: a pid reused since then by
    // another process has another start time.
    const std::optional<std::uint64_t> ticks = ProcessStartTicks(entry.pid);
    if (!ticks || *ticks != entry.startTicks || entry.startTicks == 0) continue;
    const int pidfd = OpenPidfd(entry.pid);
    if (pidfd < 0) continue;
    const State state = entry.state == "running" ? State::kBound
                        : entry.state == "plain" ? State::kPlain
                                                 : State::kUnbound;
    Instance& instance = Add(Key{entry.name, entry.instance}, state);
    instance.pid = entry.pid;
    instance.port = entry.port;
    instance.logPath = entry.logPath;
    instance.started =
        std::chrono::system_clock::from_time_t(static_cast<std::time_t>(entry.started));
    instance.startTicks = entry.startTicks;
    Watch(instance, pidfd);
    zqm_trace::Line(
        0, ZQ_TString::Format("Adopted %s, left running by an earlier daemon", Describe(instance))
               .Text());
  }
  SaveSoon();
}

}  // namespace zqmd
