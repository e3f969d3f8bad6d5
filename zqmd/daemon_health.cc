// Health checks: from the moment its start is complete, an instance whose
// launch configuration has "HealthCheck" is checked every IntervalMs (from
// the start of one check to the next, a check never outlasting the
// interval), and ended after FailuresBeforeRestart failures in a row, as
// "EndInstance" ends one; whoever watches it starts it again as after any
// end.
#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

namespace {

// The grace an unhealthy instance gets between SIGTERM and SIGKILL: the
// default of "EndInstance".
constexpr unsigned kUnhealthyGraceMs = 5000;

}  // namespace

void Daemon::ScheduleHealthCheck(Instance& instance) {
  if (!instance.health.Enabled() || instance.ending) return;
  if (instance.healthDeadline != 0 || instance.healthProbe || instance.healthCommand) return;
  const auto now = zqm_deadlines::Clock::now();
  const auto interval = std::chrono::milliseconds(instance.health.intervalMs);
  instance.nextCheck = instance.nextCheck == zqm_deadlines::Clock::time_point{}
                           ? now + interval
                           : instance.nextCheck + interval;
  // A loop that fell behind (a suspended host) checks at once, not in a burst.
  if (instance.nextCheck < now) instance.nextCheck = now;
  const Key key{instance.name, instance.number};
  instance.healthDeadline = deadlines_.After(
      std::chrono::ceil<std::chrono::milliseconds>(instance.nextCheck - now),
      [this, key, generation = instance.generation] { RunHealthCheck(key, generation); });
}

void Daemon::RunHealthCheck(Key key, std::uint64_t generation) {
  auto found = instances_.find(key);
  if (found == instances_.end() || found->second->generation != generation) return;
  Instance& instance = *found->second;
  instance.healthDeadline = 0;
  if (instance.ending) return;
  const HealthCheck& check = instance.health;
  const auto timeout = std::chrono::milliseconds(check.timeoutMs);
  CheckDone done = [this, key, generation](bool passed, const std::string& why) {
    HealthChecked(key, generation, passed, why);
  };
  if (check.command.empty()) {
    instance.healthProbe =
        std::make_unique<ProbeRun>(io_, deadlines_, check.probe, timeout, std::move(done));
    return;
  }
  LaunchConfig command;
  command.program = check.command.front();
  command.arguments.assign(check.command.begin() + 1, check.command.end());
  command.environment.emplace_back("ZQM_SERVER_PID", std::to_string(instance.pid));
  LaunchRequest request;
  request.name = key.first;
  request.instance = key.second;
  request.logPath = instance.logPath;  // what the check says lands beside the instance's output
  request.credentials = instance.credentials;
  request.descriptorLimit = options_.instanceDescriptorLimit;
  try {
    instance.healthCommand =
        std::make_unique<CommandRun>(spawner_, watches_, deadlines_, std::move(command),
                                     std::move(request), timeout, std::move(done));
  } catch (const ZQ_EException& failure) {
    // The daemon's own want of room says nothing of the instance's health.
    zqm_trace::Line(0, "Cannot run the health check of " + Describe(instance) + ": " +
                           failure.ZQ_Message().Text());
    ScheduleHealthCheck(instance);
  }
}

void Daemon::HealthChecked(Key key, std::uint64_t generation, bool passed, const std::string& why) {
  auto found = instances_.find(key);
  if (found == instances_.end() || found->second->generation != generation) return;
  Instance& instance = *found->second;
  // Destroyed after this report: the runs stay alive through it.
  std::unique_ptr<ProbeRun> probe = std::move(instance.healthProbe);
  std::unique_ptr<CommandRun> command = std::move(instance.healthCommand);
  if (passed) {
    if (instance.healthFailures > 0) {
      zqm_trace::Line(0, ZQ_TString::Format("%s passes its health check again after %d failure(s)",
                                            Describe(instance), instance.healthFailures)
                             .Text());
    }
    instance.healthFailures = 0;
    return ScheduleHealthCheck(instance);
  }
  ++instance.healthFailures;
  zqm_trace::Line(
      1, ZQ_TString::Format("%s failed its health check (%d of %d): %s", Describe(instance),
                            instance.healthFailures, instance.health.failuresBeforeRestart, why)
             .Text());
  if (instance.healthFailures < instance.health.failuresBeforeRestart)
    return ScheduleHealthCheck(instance);
  EndUnhealthy(instance, why);
}

void Daemon::EndUnhealthy(Instance& instance, const std::string& why) {
  if (instance.ending) return;
  const std::string verdict = ZQ_TString::Format(
                                  "failed its health check %d times in a row "
                                  "(last: %s): ending it",
                                  instance.healthFailures, why)
                                  .Text();
  logs_.Append(instance.log,
               EventMarker(std::chrono::system_clock::now(), Describe(instance) + " " + verdict));
  instance.endedForHealth = true;
  BeginEnd(instance, kUnhealthyGraceMs,
           ZQ_TString::Format("%s %s: SIGTERM, then SIGKILL after %d ms", Describe(instance),
                              verdict, kUnhealthyGraceMs)
               .Text());
}

}  // namespace zqmd
