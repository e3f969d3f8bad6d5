// The registry of instances: adding, finding and watching them, and
// forgetting each the moment its process ends.
#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

std::string Daemon::Describe(const Instance& instance) const {
  return instance.pid != 0
             ? ZQ_TString::Format("%s instance %d (pid %d)", instance.name, instance.number,
                                  instance.pid)
                   .Text()
             : ZQ_TString::Format("%s instance %d", instance.name, instance.number).Text();
}

Daemon::Instance* Daemon::Find(Key key) {
  auto found = instances_.find(key);
  if (found == instances_.end()) return nullptr;
  Instance& instance = *found->second;
  // The process's own report may not have been handled yet: ask the kernel
  // now, so that no answer ever names a process that has ended.
  if (watches_.HasEnded(instance.watch)) {
    Ended(std::move(key));
    return nullptr;
  }
  return &instance;
}

Daemon::Instance& Daemon::Add(const Key& key, State state) {
  auto instance = std::make_unique<Instance>(deadlines_, watches_, logs_);
  instance->name = key.first;
  instance->number = key.second;
  instance->state = state;
  instance->generation = ++generation_;
  Instance& added = *instance;
  // A record it replaces holds no process: every caller replaces only
  // records still waiting for one.
  instances_[key] = std::move(instance);
  return added;
}

void Daemon::Watch(Instance& instance, int pidfd, bool child) {
  if (instance.startTicks == 0) instance.startTicks = ProcessStartTicks(instance.pid).value_or(0);
  Key key{instance.name, instance.number};
  const std::uint64_t generation = instance.generation;
  instance.watch = watches_.Watch(pidfd, child, [this, key, generation] {
    auto found = instances_.find(key);
    if (found != instances_.end() && found->second->generation == generation) Ended(key);
  });
  SaveSoon();
}

void Daemon::Ended(Key key) {
  auto found = instances_.find(key);
  if (found == instances_.end()) return;
  std::unique_ptr<Instance> instance = std::move(found->second);
  instances_.erase(found);
  SaveSoon();
  if (key == Key{options_.configServer, 0})
    MarkLaunchConfigurationsStale("the configuration server has ended");
  // What it started goes with it, however it left its process group.
  cgroups_.End(instance->cgroup);
  std::string how = watches_.HowEnded(instance->watch);
  if (how.empty()) how = "ended";
  // Made once: this is on the way from an instance's end to its restart.
  const std::string described = Describe(*instance);
  zqm_trace::Line(0, described + " " + how);
  const auto now = std::chrono::system_clock::now();
  // The watch (which reaps) and the log go with the end, not the record.
  endsToFinish_.push_back({std::exchange(instance->watch, 0), std::exchange(instance->log, 0),
                           EndMarker(now, described, how, now - instance->started),
                           std::chrono::steady_clock::now()});
  // Whoever waits for this end may read the log as soon as told of it.
  if (!instance->endWaiters.empty() || !instance->waiters.empty()) FinishEnds();
  NoteEnd(*instance, how);
  if (!instance->waiters.empty()) {
    const bool bound = instance->state == State::kBound || instance->state == State::kPlain;
    std::string reason =
        described + " " + how + (bound ? " before it was ready" : " before it bound");
    if (!instance->logPath.empty()) reason += "; see " + instance->logPath;
    FailWaiters(*instance, FailureFrame<ZQM_EConnectionFailed>(reason.c_str()));
  }
}

void Daemon::FinishEnds() {
  std::vector<EndToFinish> ends = std::move(endsToFinish_);
  endsToFinish_.clear();
  for (EndToFinish& end : ends) {
    logs_.Append(end.log, end.marker);
    logs_.Release(end.log);
    watches_.Release(end.watch);
  }
}

void Daemon::FinishOverdueEnds() {
  if (!endsToFinish_.empty() &&
      std::chrono::steady_clock::now() - endsToFinish_.front().at >= kEndGrace) {
    FinishEnds();
  }
}

void Daemon::FailWaiters(Instance& instance, const std::string& frame) {
  std::vector<zqm_listener::Reply> waiters = std::move(instance.waiters);
  instance.waiters.clear();
  if (auto registration = std::exchange(instance.registering, std::nullopt))
    waiters.push_back(std::move(registration->reply));
  for (auto& waiter : waiters)
    waiter(frame);
}

std::string Daemon::PlaceFrame(const Instance& instance) const {
  ZQ_TDict place;
  place.Set("Port", ZQ_TAny(ZQ_TUInt32(instance.port)));
  place.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(instance.pid))));
  return zqm_wire::ResultFrame(ZQ_TAny(place));
}

std::string Daemon::PlainRefusal(const Instance& instance) const {
  return FailureFrame<ZQM_ENotAnRpcServer>(
      ZQ_TString::Format("%s is a plain program and serves no RPC", Describe(instance)));
}

}  // namespace zqmd
