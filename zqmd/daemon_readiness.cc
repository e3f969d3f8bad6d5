// Readiness: a start with a "Readiness" key is complete only once the
// instance says it is ready (notify) or answers a probe on loopback (tcp,
// http). Until then "Locate" keeps its callers waiting, so that a client,
// and the service's start-up order, wait for readiness as they wait for a
// bind; a start that is not ready within its StartTimeout fails as one that
// never bound.
#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

namespace {

// Between two readiness probes: a server ready within a few hundred
// milliseconds is found so at once, and a slow one costs ten probes a second.
constexpr unsigned kReadinessRetryMs = 100;
// One readiness probe waits this long for its answer at the most.
constexpr unsigned kReadinessProbeTimeoutMs = 1000;
// Notifications from processes of no instance: traced once per this period.
constexpr auto kStrangerTracePeriod = std::chrono::seconds(10);

const char* const kNotifySocketName = "notify.sock";

}  // namespace

bool Daemon::AwaitsReadiness(const Instance& instance) {
  return instance.ready == Instance::Ready::kWaiting;
}

void Daemon::AwaitReadiness(Instance& instance) {
  if (instance.readinessCheck.kind != Readiness::Kind::kProbe || !AwaitsReadiness(instance)) return;
  if (instance.readinessProbe != nullptr || instance.readinessRetry != 0) return;  // under way
  ProbeReadiness(Key{instance.name, instance.number}, instance.generation);
}

void Daemon::ProbeReadiness(Key key, std::uint64_t generation) {
  auto found = instances_.find(key);
  if (found == instances_.end() || found->second->generation != generation) return;
  Instance& instance = *found->second;
  instance.readinessRetry = 0;
  // Given up on with its start (StartTimeout): the next "Locate" probes again.
  if (!AwaitsReadiness(instance) || instance.startDeadline == 0) return;
  instance.readinessProbe = std::make_unique<ProbeRun>(
      io_, deadlines_, instance.readinessCheck.probe,
      std::chrono::milliseconds(kReadinessProbeTimeoutMs),
      [this, key, generation](bool passed, const std::string&) {
        auto probed = instances_.find(key);
        if (probed == instances_.end() || probed->second->generation != generation) return;
        Instance& it = *probed->second;
        std::unique_ptr<ProbeRun> done = std::move(it.readinessProbe);
        if (passed) return MarkReady(it, "it answers on loopback");
        it.readinessRetry =
            deadlines_.After(std::chrono::milliseconds(kReadinessRetryMs),
                             [this, key, generation] { ProbeReadiness(key, generation); });
      });
}

void Daemon::MarkReady(Instance& instance, const char* how) {
  if (!AwaitsReadiness(instance)) return;
  instance.ready = Instance::Ready::kReady;
  instance.readinessProbe.reset();
  deadlines_.Cancel(std::exchange(instance.readinessRetry, 0));
  zqm_trace::Line(0, ZQ_TString::Format("%s is ready: %s", Describe(instance), how).Text());
  // Not bound yet: its bind completes the start.
  if (instance.state == State::kBound || instance.state == State::kPlain) CompleteStart(instance);
}

void Daemon::CompleteStart(Instance& instance) {
  deadlines_.Cancel(std::exchange(instance.startDeadline, 0));
  NoteStarted(instance);
  ScheduleHealthCheck(instance);
  if (instance.state == State::kPlain) {
    return FailWaiters(instance,
                       FailureFrame<ZQM_ENotAnRpcServer>(ZQ_TString::Format(
                           "%s is a plain program and serves no RPC", Describe(instance))));
  }
  std::vector<zqm_listener::Reply> waiters = std::move(instance.waiters);
  instance.waiters.clear();
  const std::string place = PlaceFrame(instance);
  for (auto& waiter : waiters)
    waiter(place);
}

void Daemon::ReadinessTimedOut(Instance& instance) {
  instance.readinessProbe.reset();
  deadlines_.Cancel(std::exchange(instance.readinessRetry, 0));
  const std::string reason =
      ZQ_TString::Format("%s was not ready within %d ms; see %s", Describe(instance),
                         instance.startTimeoutMs, instance.logPath)
          .Text();
  zqm_trace::Line(0, reason);
  FailWaiters(instance, FailureFrame<ZQM_ETimeout>(reason.c_str()));
}

std::string Daemon::NotifySocketPath() {
  if (notifySocket_ == nullptr) {
    const std::size_t slash = options_.socketPath.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : options_.socketPath.substr(0, slash);
    notifySocket_ = std::make_unique<NotifySocket>(
        io_, folder + "/" + kNotifySocketName,
        [this](pid_t sender, const Notification& notification) { Notified(sender, notification); });
  }
  return notifySocket_->Path();
}

void Daemon::Notified(pid_t sender, const Notification& notification) {
  Instance* instance = NotifyingInstance(sender);
  if (instance == nullptr) {
    ++strangersDropped_;
    const auto now = zqm_deadlines::Clock::now();
    if (now - strangerTraced_ < kStrangerTracePeriod) return;
    strangerTraced_ = now;
    zqm_trace::Line(0, ZQ_TString::Format("Ignored %d notification(s): process %d is no process "
                                          "of an instance that was started with \"Readiness\": "
                                          "\"notify\"",
                                          std::exchange(strangersDropped_, 0), sender)
                           .Text());
    return;
  }
  if (notification.status) instance->statusText = *notification.status;
  if (notification.ready) MarkReady(*instance, "it sent READY=1");
}

// The sender is the instance's process, or a process of the session that
// process leads (every instance the daemon starts leads one): a helper it
// started (a shell's child, systemd-notify) may speak for it. A session
// cannot be joined, only left, so no process of another instance or user
// can be in it; and while the leader runs, its number, the session's id,
// is nobody else's.
Daemon::Instance* Daemon::NotifyingInstance(pid_t sender) {
  const std::vector<std::string> stat = StatFields(sender);
  const pid_t session = stat.size() > 3 ? static_cast<pid_t>(std::stol(stat[3])) : -1;
  for (const auto& [key, instance] : instances_) {
    if (instance->readinessCheck.kind != Readiness::Kind::kNotify) continue;
    const pid_t pid = instance->state == State::kLaunching ? spawner_.ChildOf(instance->launchJob)
                                                           : instance->pid;
    if (pid > 0 && (pid == sender || pid == session)) return instance.get();
  }
  return nullptr;
}

}  // namespace zqmd
