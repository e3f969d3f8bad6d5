// The registry kept in the state file: written soon after every change, and
// read at start to adopt the instances an earlier daemon left running.
#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqmd/daemon_internal.h"
#include "DEVUror/zqmd/launcher.h"
#include "DEVUror/zqmd/state_file.h"

namespace zqmd {

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
