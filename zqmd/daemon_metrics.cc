// The metrics for Prometheus: per instance what "Servers" and "History"
// tell, and the daemon's own counts, gathered only when a scrape asks.
#include <functional>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

namespace {

using Labels = MetricsText::Labels;

Labels InstanceLabels(const std::pair<std::string, unsigned short>& key) {
  return {{"server", key.first}, {"instance", std::to_string(key.second)}};
}

}  // namespace

void Daemon::ServeMetrics() {
  if (options_.metricsListen.empty()) return;
  const auto [address, port] = MetricsAddress(options_.metricsListen);
  metrics_ = std::make_unique<MetricsListener>(io_, deadlines_, address, port,
                                               [this] { return RenderMetrics(); });
  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  zqm_trace::Line(0, "Metrics for Prometheus on http://" + host + ":" +
                         std::to_string(metrics_->Port()) + "/metrics");
}

void Daemon::NoteStarted(Instance& instance) {
  if (instance.startAsked == std::chrono::steady_clock::time_point{}) return;
  startDurations_.Observe(std::chrono::steady_clock::now() - instance.startAsked);
  instance.startAsked = {};
}

std::string Daemon::RenderMetrics() const {
  MetricsText text;
  WriteInstanceMetrics(text);
  WriteDaemonMetrics(text);
  return text.Text();
}

void Daemon::WriteInstanceMetrics(MetricsText& text) const {
  // Every instance that runs or that the daemon has seen: one that has
  // ended stays listed, "up" 0, with its counts.
  std::map<Key, const Instance*> known;
  for (const auto& [key, record] : records_)
    known[key] = nullptr;
  for (const auto& [key, instance] : instances_) {
    if (instance->pid != 0) known[key] = instance.get();
  }
  const auto family =
      [&](const std::string& name, const char* type, const std::string& help,
          const std::function<std::optional<double>(const Key&, const Instance*, const Record*)>&
              value) {
        text.Family(name, type, help);
        for (const auto& [key, instance] : known) {
          const auto record = records_.find(key);
          const std::optional<double> sample =
              value(key, instance, record == records_.end() ? nullptr : &record->second);
          if (sample) text.Sample(name, InstanceLabels(key), *sample);
        }
      };
  family("zqm_instance_up", "gauge", "Whether the instance's process runs (1) or not (0).",
         [](const Key&, const Instance* instance, const Record*) {
           return std::optional<double>(instance != nullptr ? 1 : 0);
         });
  family("zqm_instance_ready", "gauge",
         "Whether the instance's start is complete (1) or still awaits its readiness (0); "
         "only for instances whose launch configuration has Readiness.",
         [](const Key&, const Instance* instance, const Record*) -> std::optional<double> {
           if (instance == nullptr || instance->ready == Instance::Ready::kNone) return std::nullopt;
           return instance->ready == Instance::Ready::kReady ? 1 : 0;
         });
  family("zqm_instance_healthy", "gauge",
         "Whether the instance's last health check passed (1) or not (0); only for instances "
         "whose launch configuration has a HealthCheck.",
         [](const Key&, const Instance* instance, const Record*) -> std::optional<double> {
           if (instance == nullptr || !instance->health.Enabled()) return std::nullopt;
           return instance->healthFailures == 0 ? 1 : 0;
         });
  family("zqm_instance_starts_total", "counter", "Processes of the instance this daemon started.",
         [](const Key&, const Instance*, const Record* record) {
           return std::optional<double>(record != nullptr ? record->starts : 0);
         });
  family("zqm_instance_restarts_total", "counter",
         "Starts of the instance after an end of it was seen.",
         [](const Key&, const Instance*, const Record* record) {
           return std::optional<double>(record != nullptr ? record->restarts : 0);
         });
  family("zqm_instance_last_exit_status", "gauge",
         "Exit status of the instance's last process, when it exited.",
         [](const Key&, const Instance*, const Record* record) -> std::optional<double> {
           if (record == nullptr || record->exitStatus < 0) return std::nullopt;
           return record->exitStatus;
         });
  family("zqm_instance_last_exit_signal", "gauge",
         "Signal that killed the instance's last process, when one did.",
         [](const Key&, const Instance*, const Record* record) -> std::optional<double> {
           if (record == nullptr || record->signal <= 0) return std::nullopt;
           return record->signal;
         });
  family("zqm_instance_start_time_seconds", "gauge",
         "When the instance's running process started, in seconds since 1970.",
         [](const Key&, const Instance* instance, const Record*) -> std::optional<double> {
           if (instance == nullptr) return std::nullopt;
           return static_cast<double>(std::chrono::system_clock::to_time_t(instance->started));
         });
  // Read from the cgroups once for both families.
  std::map<Key, CgroupUsage> usage;
  for (const auto& [key, instance] : known) {
    if (instance != nullptr && !instance->cgroup.empty())
      usage[key] = cgroups_.Usage(instance->cgroup);
  }
  family("zqm_instance_cpu_seconds_total", "counter",
         "CPU time of every process of the instance (its cgroup's).",
         [&](const Key& key, const Instance*, const Record*) -> std::optional<double> {
           const auto found = usage.find(key);
           if (found == usage.end() || !found->second.cpuMicroseconds) return std::nullopt;
           return static_cast<double>(*found->second.cpuMicroseconds) / 1e6;
         });
  family("zqm_instance_memory_bytes", "gauge",
         "Memory of every process of the instance (its cgroup's memory.current).",
         [&](const Key& key, const Instance*, const Record*) -> std::optional<double> {
           const auto found = usage.find(key);
           if (found == usage.end() || !found->second.memoryBytes) return std::nullopt;
           return static_cast<double>(*found->second.memoryBytes);
         });
}

void Daemon::WriteDaemonMetrics(MetricsText& text) const {
  text.Family("zqm_start_duration_seconds", "histogram",
              "From a request for an instance's start to its completion: its bind (a plain "
              "program: its process), and its readiness where the launch asks for it.");
  startDurations_.Write(text, "zqm_start_duration_seconds");
  zqm_listener::Listener::Counts counts;
  for (const auto& listener : listeners_) {
    const zqm_listener::Listener::Counts one = listener->Counted();
    counts.accepted += one.accepted;
    counts.refused += one.refused;
    counts.open += one.open;
  }
  const auto now = std::chrono::steady_clock::now();
  std::size_t heldBack = 0;
  for (const auto& [key, record] : records_)
    heldBack += record.heldUntil > now ? 1 : 0;
  const struct {
    const char* name;
    const char* type;
    const char* help;
    double value;
  } figures[] = {
      {"zqm_daemon_connections_total", "counter",
       "Connections the daemon accepted on its sockets, refused ones included.",
       static_cast<double>(counts.accepted)},
      {"zqm_daemon_connections_refused_total", "counter",
       "Connections closed at once for a connection limit.", static_cast<double>(counts.refused)},
      {"zqm_daemon_connections", "gauge", "Connections open now.",
       static_cast<double>(counts.open)},
      {"zqm_daemon_calls_refused_total", "counter", "Calls refused for the caller's role.",
       static_cast<double>(refusedCalls_)},
      {"zqm_daemon_backoffs_total", "counter",
       "Crashes after which an instance was held back (back-off).", static_cast<double>(backoffs_)},
      {"zqm_daemon_instances_held_back", "gauge", "Instances held back by a back-off now.",
       static_cast<double>(heldBack)},
  };
  for (const auto& figure : figures) {
    text.Family(figure.name, figure.type, figure.help);
    text.Sample(figure.name, {}, figure.value);
  }
}

}  // namespace zqmd
