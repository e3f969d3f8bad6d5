// Ending an instance on request ("EndInstance"), what the daemon remembers
// of each instance across its processes ("History"), and the back-off that
// keeps a crashing instance from being started again at once.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

namespace {

constexpr unsigned kDefaultGraceMs = 5000;
constexpr unsigned kMaxGraceMs = 3600000;
// Records of instances that neither run nor are held back are dropped,
// oldest end first, beyond this many.
constexpr std::size_t kMaxRecords = 4096;
// Starts and ends kept per instance for "History": what a timeline of its
// last restarts shows.
constexpr std::size_t kRecentEvents = 20;

using SteadyClock = std::chrono::steady_clock;

unsigned MillisecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(to - from).count();
  return static_cast<unsigned>(std::clamp<long long>(ms, 0, 0xFFFFFFFFll));
}

// A record is kept for every instance, most of which start once: its list
// grows from one event, up to the last kRecentEvents.
void Remember(std::vector<InstanceEvent>& recent, InstanceEvent event) {
  if (recent.size() == kRecentEvents) {
    recent.erase(recent.begin());
  } else if (recent.size() == recent.capacity()) {
    recent.reserve(std::min(kRecentEvents, std::max<std::size_t>(1, 2 * recent.capacity())));
  }
  recent.push_back(std::move(event));
}

ZQ_TDict EventEntry(const InstanceEvent& event) {
  ZQ_TDict entry;
  entry.Set("Kind", ZQ_TAny(ZQ_TString(event.end.empty() ? "start" : "end")));
  entry.Set("At", ZQ_TAny(EpochSeconds(event.at)));
  entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(event.pid))));
  if (event.end.empty()) return entry;
  entry.Set("End", ZQ_TAny(ZQ_TString(event.end)));
  if (event.exitStatus >= 0)
    entry.Set("ExitStatus", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(event.exitStatus))));
  if (event.signal > 0)
    entry.Set("Signal", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(event.signal))));
  return entry;
}

}  // namespace

void Daemon::EndInstance(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const std::optional<Key> named = InstanceNamed(request);
  if (!named) {
    return reply(FailureFrame<ZQM_EException>(
        "EndInstance needs a server name (P1) and an instance number (P2)"));
  }
  unsigned graceMs = kDefaultGraceMs;
  if (const ZQ_TAny* grace = request.Find("P3"); grace != nullptr && !grace->IsEmpty()) {
    const ZQ_TUInt32* given = grace->As<ZQ_TUInt32>();
    if (given == nullptr || given->Value() > kMaxGraceMs) {
      return reply(FailureFrame<ZQM_EException>(ZQ_TString::Format(
          "EndInstance: the grace (P3) must be a number of milliseconds up to %d", kMaxGraceMs)));
    }
    graceMs = given->Value();
  }
  const Key& key = *named;
  Instance* instance = Find(key);
  if (instance == nullptr || instance->pid == 0) {
    return reply(FailureFrame<ZQM_ENoSuchServer>(
        ZQ_TString::Format("no instance %s:%d is known to this daemon", key.first, key.second)));
  }
  instance->endWaiters.push_back(std::move(reply));
  // An end under way answers this call as well; one for failed health
  // checks becomes one asked for.
  instance->endedForHealth = false;
  BeginEnd(*instance, graceMs,
           ZQ_TString::Format("Ending %s: SIGTERM, then SIGKILL after %d ms", Describe(*instance),
                              graceMs)
               .Text());
}

void Daemon::BeginEnd(Instance& instance, unsigned graceMs, const std::string& line) {
  if (instance.ending) return;
  instance.ending = true;
  // Checks of an instance on its way out would only count its end.
  deadlines_.Cancel(std::exchange(instance.healthDeadline, 0));
  instance.healthProbe.reset();
  instance.healthCommand.reset();
  zqm_trace::Line(0, line);
  if (!SendEnd(instance, SIGTERM)) return;
  const Key key{instance.name, instance.number};
  const std::uint64_t generation = instance.generation;
  instance.killDeadline =
      deadlines_.After(std::chrono::milliseconds(graceMs), [this, key, generation, graceMs] {
        auto found = instances_.find(key);
        if (found == instances_.end() || found->second->generation != generation) return;
        Instance& late = *found->second;
        late.killDeadline = 0;
        zqm_trace::Line(0, ZQ_TString::Format("%s did not end within %d ms of SIGTERM: SIGKILL",
                                              Describe(late), graceMs)
                               .Text());
        late.killed = true;
        SendEnd(late, SIGKILL);
      });
}

bool Daemon::SendEnd(Instance& instance, int signal) {
  // A leader takes its group along, so that what it started ends with it.
  // Signalled once only: some programs take a second SIGTERM as "hurry".
  const bool leads = getpgid(instance.pid) == instance.pid;
  int error = 0;
  if (leads) {
    if (kill(-instance.pid, signal) != 0) error = errno;
  } else {
    error = watches_.Signal(instance.watch, signal);
  }
  // The processes that left its group (setsid, a double fork) are told too.
  if (!instance.cgroup.empty()) cgroups_.Signal(instance.cgroup, signal, instance.pid);
  // ESRCH: it has ended already, and its watch reports that.
  if (error == 0 || error == ESRCH) return true;
  const std::string reason = ZQ_TString::Format("cannot end %s: %s(%s): %s", Describe(instance),
                                                leads ? "kill" : "pidfd_send_signal",
                                                strsignal(signal), std::strerror(error))
                                 .Text();
  zqm_trace::Line(0, reason);
  deadlines_.Cancel(instance.killDeadline);
  instance.killDeadline = 0;
  instance.ending = false;
  const std::string frame = FailureFrame<ZQM_EException>(reason.c_str());
  for (auto& waiter : std::exchange(instance.endWaiters, {}))
    waiter(frame);
  return false;
}

void Daemon::NoteStart(Instance& instance, const Backoff& backoff) {
  instance.backoff = backoff;
  instance.spawnedAt = SteadyClock::now();
  Record& record = RecordOf(Key{instance.name, instance.number});
  ++record.starts;
  if (!record.lastEnd.empty()) ++record.restarts;
  Remember(record.recent, {instance.started, instance.pid, "", -1, 0});
}

void Daemon::NoteEnd(Instance& instance, const std::string& how) {
  Record& record = RecordOf(Key{instance.name, instance.number});
  record.lastEnd = how;
  record.endedAt = std::chrono::system_clock::now();
  record.exitStatus = -1;
  record.signal = 0;
  // Read back from the daemon's own wording of the end (see Reap).
  if (std::sscanf(how.c_str(), "exit status %d", &record.exitStatus) != 1) record.exitStatus = -1;
  if (std::sscanf(how.c_str(), "killed by signal %d", &record.signal) != 1) record.signal = 0;
  Remember(record.recent, {record.endedAt, instance.pid, how, record.exitStatus, record.signal});

  if (!instance.endWaiters.empty()) {
    ZQ_TDict ended;
    ended.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(instance.pid))));
    ended.Set("End", ZQ_TAny(ZQ_TString(how)));
    ended.Set("Forced", ZQ_TAny(instance.killed));
    const std::string frame = zqm_wire::ResultFrame(ZQ_TAny(ended));
    for (auto& waiter : std::exchange(instance.endWaiters, {}))
      waiter(frame);
  }

  // An end asked for is no crash (one for failed health checks is), and a
  // process this daemon did not start has no known start.
  const bool askedFor = instance.ending && !instance.endedForHealth;
  if (askedFor || !instance.backoff.Enabled() || instance.spawnedAt == SteadyClock::time_point{}) {
    return;
  }
  const SteadyClock::time_point now = SteadyClock::now();
  const unsigned lived = MillisecondsBetween(instance.spawnedAt, now);
  const Backoff& backoff = instance.backoff;
  if (lived >= backoff.minimumUptimeMs) {
    record.backoffMs = 0;
    return;
  }
  record.backoffMs = record.backoffMs == 0 ? backoff.initialDelayMs
                                           : static_cast<unsigned>(std::min<std::uint64_t>(
                                                 2ull * record.backoffMs, backoff.maximumDelayMs));
  record.livedMs = lived;
  record.minimumUptimeMs = backoff.minimumUptimeMs;
  record.heldUntil = now + std::chrono::milliseconds(record.backoffMs);
  ++backoffs_;
  zqm_trace::Line(
      0, ZQ_TString::Format("%s ended %d ms after its start, within its minimum "
                            "uptime of %d ms: back-off, not started for %d ms",
                            Describe(instance), lived, backoff.minimumUptimeMs, record.backoffMs)
             .Text());
}

std::string Daemon::BackoffRefusal(const Key& key) const {
  auto found = records_.find(key);
  if (found == records_.end()) return "";
  const Record& record = found->second;
  const SteadyClock::time_point now = SteadyClock::now();
  if (record.heldUntil <= now) return "";
  return ZQ_TString::Format(
             "%s instance %d is held back (back-off): it ended %d ms after its start, within its "
             "minimum uptime of %d ms; it can be started again in %d ms",
             key.first, key.second, record.livedMs, record.minimumUptimeMs,
             MillisecondsBetween(now, record.heldUntil))
      .Text();
}

Daemon::Record& Daemon::RecordOf(const Key& key) {
  if (auto found = records_.find(key); found != records_.end()) return found->second;
  // Running instances keep their records: only the others count against
  // the bound, so that a host with thousands of instances does not look for
  // a record to drop at every start.
  if (records_.size() >= kMaxRecords + instances_.size()) {
    const SteadyClock::time_point now = SteadyClock::now();
    auto oldest = records_.end();
    for (auto at = records_.begin(); at != records_.end(); ++at) {
      if (instances_.count(at->first) != 0 || at->second.heldUntil > now) continue;
      if (oldest == records_.end() || at->second.endedAt < oldest->second.endedAt) oldest = at;
    }
    if (oldest != records_.end()) records_.erase(oldest);
  }
  return records_[key];
}

void Daemon::History(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TString* name = Parameter<ZQ_TString>(request, "P1");
  const bool all = name == nullptr || *name == "*";
  const SteadyClock::time_point now = SteadyClock::now();
  ZQ_TList list;
  for (const auto& [key, record] : records_) {
    if (!all && key.first != name->Text()) continue;
    ZQ_TDict entry;
    entry.Set("Name", ZQ_TAny(ZQ_TString(key.first)));
    entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(key.second)));
    entry.Set("Starts", ZQ_TAny(ZQ_TUInt32(record.starts)));
    if (!record.lastEnd.empty()) {
      entry.Set("LastEnd", ZQ_TAny(ZQ_TString(record.lastEnd)));
      entry.Set("Ended", ZQ_TAny(EpochSeconds(record.endedAt)));
      if (record.exitStatus >= 0)
        entry.Set("ExitStatus", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(record.exitStatus))));
      if (record.signal > 0)
        entry.Set("Signal", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(record.signal))));
    }
    if (record.heldUntil > now)
      entry.Set("Backoff", ZQ_TAny(ZQ_TUInt32(MillisecondsBetween(now, record.heldUntil))));
    ZQ_TList recent;
    for (const InstanceEvent& event : record.recent)
      recent.Append(ZQ_TAny(EventEntry(event)));
    entry.Set("Recent", ZQ_TAny(std::move(recent)));
    list.Append(ZQ_TAny(std::move(entry)));
  }
  reply(zqm_wire::ResultFrame(ZQ_TAny(std::move(list))));
}

}  // namespace zqmd
