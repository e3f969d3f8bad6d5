#include "peers.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "supervisors.h"

namespace zq_bench {

const char* const kPeersUsage =
    "  peers    --services N (100) --kills N (100) --interval-ms N (20) --min-age-ms N (2000)\n"
    "           --runs N (5; 0: no start-ups, restarts and idle only) --large N (1000) --servers N "
    "(10) --idle-seconds N (30)\n"
    "           --peers LIST (daemontools,runit,s6)\n";

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Settings {
  unsigned services = 100;  // per supervisor, for restart, idle and the middle start-up
  unsigned kills = 100;     // per supervisor
  std::int64_t intervalNs = 0;
  std::int64_t minAgeNs = 0;
  unsigned runs = 5;
  unsigned large = 1000;
  unsigned servers = 10;
  unsigned idleSeconds = 30;
  std::vector<const PeerKind*> peers;
};

// One way of supervising the same services.
struct Contender {
  std::string label;
  const PeerKind* peer = nullptr;  // null: Custodel
  bool withMiddleware = true;      // Custodel: the launch starts daemon and configuration server
};

const char* const kCustodel = "Custodel";
const char* const kServiceAlone = "Custodel svc";  // the service alone

std::unique_ptr<Supervisor> Make(const Contender& contender, unsigned services,
                                 const Settings& settings) {
  if (contender.peer != nullptr) return std::make_unique<PeerSupervisor>(*contender.peer, services);
  return std::make_unique<CustodelSupervisor>(contender.label, services, settings.servers,
                                              contender.withMiddleware);
}

bool Fits(const Contender& contender, unsigned services) {
  return contender.peer == nullptr || contender.peer->limit == 0 ||
         services <= contender.peer->limit;
}

// Waits until `until`; false when one of `pidfds` becomes readable first,
// that is when a supervisor's top process ended.
bool Pace(const std::vector<int>& pidfds, Clock::time_point until) {
  std::vector<pollfd> fds;
  for (int fd : pidfds)
    fds.push_back({fd, POLLIN, 0});
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left <= 0ms) return true;
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// What a supervisor that failed to start its services traced, where it
// traces (Custodel's service and daemon); "" for the peers.
std::string TracesOf(Supervisor& supervisor) {
  auto* custodel = dynamic_cast<CustodelSupervisor*>(&supervisor);
  return custodel != nullptr ? custodel->Traces() : "";
}

// ---------------------------------------------------------------------------
// Memory

struct Footprint {
  std::uint64_t pssKiB = 0;  // the supervisor's own processes
  std::uint64_t privateKiB = 0;
  std::uint64_t configurationPssKiB = 0;  // Custodel's configuration server
  unsigned processes = 0;
};

Footprint MemoryOf(Supervisor& supervisor) {
  Footprint footprint;
  for (const Member& member : supervisor.Members()) {
    const auto sample = SampleProcess(member.pid, true);
    if (!sample) throw std::runtime_error(supervisor.Label() + ": " + member.role + " is gone");
    if (member.role == kConfigurationRole) {
      footprint.configurationPssKiB += sample->pssKiB;
      continue;
    }
    footprint.pssKiB += sample->pssKiB;
    footprint.privateKiB += sample->privateKiB;
    ++footprint.processes;
  }
  return footprint;
}

// ---------------------------------------------------------------------------
// Start-up: launch -> the last service's first instruction, one supervisor
// at a time, and its memory right then.

struct StartRecord {
  std::vector<double> ms;
  std::vector<Footprint> memory;
  StepTable steps;  // Custodel's service alone: where each serial start went
};

void AddSteps(StartRecord& into, const StepTable& steps) {
  if (into.steps.empty()) {
    into.steps = steps;
    return;
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    std::vector<double>& samples = into.steps[i].second;
    samples.insert(samples.end(), steps[i].second.begin(), steps[i].second.end());
  }
}
using StartResults = std::map<std::pair<std::string, unsigned>, StartRecord>;

void StartOnce(const Contender& contender, unsigned services, const Settings& settings,
               StartRecord& into) {
  const std::unique_ptr<Supervisor> supervisor = Make(contender, services, settings);
  const std::int64_t launched = supervisor->Launch();
  const auto last =
      supervisor->Stamps().WaitForServices(services, 0, Clock::now() + StartDeadline(services));
  if (!last) {
    throw std::runtime_error(contender.label + ": not all " + std::to_string(services) +
                             " services started\n" + TracesOf(*supervisor));
  }
  into.ms.push_back(Ms(*last - launched));
  into.memory.push_back(MemoryOf(*supervisor));
  if (contender.label == kServiceAlone && services == settings.services)
    AddSteps(into, static_cast<CustodelSupervisor&>(*supervisor).StartSteps());
}

// Round after round, every contender once per size; each round starts with
// the next contender, so that none always follows the same one.
StartResults MeasureStartups(const std::vector<Contender>& contenders,
                             const std::vector<unsigned>& sizes, const Settings& settings) {
  StartResults results;
  for (unsigned round = 0; round < settings.runs; ++round) {
    for (unsigned services : sizes) {
      for (std::size_t i = 0; i < contenders.size(); ++i) {
        const Contender& contender = contenders[(i + round) % contenders.size()];
        if (!Fits(contender, services)) continue;
        StartOnce(contender, services, settings, results[{contender.label, services}]);
      }
    }
  }
  return results;
}

// ---------------------------------------------------------------------------
// All supervisors at once: idle cost, then restarts.

struct Running {
  Contender contender;
  std::unique_ptr<Supervisor> supervisor;
};

std::vector<Running> LaunchAll(const std::vector<Contender>& contenders, const Settings& settings) {
  std::vector<Running> fleet;
  for (const Contender& contender : contenders) {
    fleet.push_back({contender, Make(contender, settings.services, settings)});
    fleet.back().supervisor->Launch();
    if (!fleet.back().supervisor->Stamps().WaitForServices(
            settings.services, 0, Clock::now() + StartDeadline(settings.services))) {
      throw std::runtime_error(contender.label + ": not every service started\n" +
                               TracesOf(*fleet.back().supervisor));
    }
  }
  return fleet;
}

std::vector<int> PidfdsOf(const std::vector<Running>& fleet) {
  std::vector<int> pidfds;
  for (const Running& running : fleet)
    pidfds.push_back(running.supervisor->Pidfd());
  return pidfds;
}

// What one role's processes did in the idle window.
struct RoleIdle {
  unsigned processes = 0;
  double wakeupsPerMinute = 0;
  double cpuMsPerMinute = 0;
};
using IdleResults = std::map<std::string, std::map<std::string, RoleIdle>>;  // label, role

struct MemberSample {
  Member member;
  ProcessSample sample;
};

std::vector<MemberSample> SampleMembers(Supervisor& supervisor,
                                        const std::vector<Member>& members) {
  std::vector<MemberSample> samples;
  for (const Member& member : members) {
    const auto sample = SampleProcess(member.pid, false);
    if (!sample) throw std::runtime_error(supervisor.Label() + ": " + member.role + " is gone");
    samples.push_back({member, *sample});
  }
  return samples;
}

std::map<std::string, RoleIdle> ByRole(const std::vector<MemberSample>& before,
                                       const std::vector<MemberSample>& after, double seconds) {
  std::map<std::string, RoleIdle> roles;
  const double perMinute = 60.0 / seconds;
  for (std::size_t i = 0; i < before.size(); ++i) {
    RoleIdle& role = roles[before[i].member.role];
    ++role.processes;
    role.wakeupsPerMinute += static_cast<double>(after[i].sample.voluntarySwitches -
                                                 before[i].sample.voluntarySwitches) *
                             perMinute;
    role.cpuMsPerMinute +=
        static_cast<double>(after[i].sample.cpuNs - before[i].sample.cpuNs) / 1e6 * perMinute;
  }
  return roles;
}

// The first seconds after a start hold the tail of start-up work: the window
// begins after them.
IdleResults MeasureIdle(std::vector<Running>& fleet, const Settings& settings) {
  if (!Pace(PidfdsOf(fleet), Clock::now() + 2s))
    throw std::runtime_error("a supervisor ended while settling");
  std::vector<std::vector<Member>> members;
  std::vector<std::vector<MemberSample>> before;
  for (Running& running : fleet) {
    members.push_back(running.supervisor->Members());
    before.push_back(SampleMembers(*running.supervisor, members.back()));
  }
  const std::int64_t start = MonotonicNs();
  if (!Pace(PidfdsOf(fleet), Clock::now() + std::chrono::seconds(settings.idleSeconds)))
    throw std::runtime_error("a supervisor ended in the idle window");
  const double seconds = Ms(MonotonicNs() - start) / 1000.0;
  IdleResults results;
  for (std::size_t i = 0; i < fleet.size(); ++i) {
    const auto after = SampleMembers(*fleet[i].supervisor, members[i]);
    results[fleet[i].contender.label] = ByRole(before[i], after, seconds);
  }
  return results;
}

// One supervisor's kills: its services in turn, the latest process of each.
struct KillTrack {
  Running* running;
  std::vector<std::string> names;
  std::map<std::string, ServiceStamp> latest;
  std::vector<double> ms;
};

// Every victim has run for at least --min-age-ms, since each peer holds
// back a service that ends within a second of its start; kills are at
// least --interval-ms apart, so that one supervisor's work after a restart
// is over before the next supervisor's kill.
void KillOnce(KillTrack& track, unsigned k, std::int64_t& lastKillNs, const Settings& settings,
              const std::vector<int>& pidfds) {
  const std::string& name = track.names[k % track.names.size()];
  const ServiceStamp victim = track.latest.at(name);
  const std::int64_t atNs =
      std::max(victim.ns + settings.minAgeNs, lastKillNs + settings.intervalNs);
  if (!Pace(pidfds, Clock::now() + std::chrono::nanoseconds(atNs - MonotonicNs())))
    throw std::runtime_error("a supervisor ended during the kills");
  StampFifo& stamps = track.running->supervisor->Stamps();
  const std::size_t after = stamps.Count();
  lastKillNs = MonotonicNs();
  if (kill(victim.pid, SIGKILL) != 0) throw std::runtime_error("kill of " + name + " failed");
  const auto fresh = stamps.WaitForRestart(name, victim.pid, after, Clock::now() + 10s);
  if (!fresh) {
    throw std::runtime_error(track.running->contender.label + ": " + name +
                             " was not started again within 10 s");
  }
  track.latest[name] = *fresh;
  track.ms.push_back(Ms(fresh->ns - lastKillNs));
}

std::map<std::string, std::vector<double>> MeasureRestarts(std::vector<Running>& fleet,
                                                           const Settings& settings) {
  std::vector<KillTrack> tracks;
  for (Running& running : fleet) {
    KillTrack track{&running, {}, running.supervisor->Stamps().Latest(), {}};
    for (const auto& [name, stamp] : track.latest)
      track.names.push_back(name);
    tracks.push_back(std::move(track));
  }
  const std::vector<int> pidfds = PidfdsOf(fleet);
  std::int64_t lastKillNs = 0;
  for (unsigned k = 0; k < settings.kills; ++k) {
    for (std::size_t i = 0; i < tracks.size(); ++i)
      KillOnce(tracks[(i + k) % tracks.size()], k, lastKillNs, settings, pidfds);
  }
  std::map<std::string, std::vector<double>> results;
  for (KillTrack& track : tracks)
    results[track.running->contender.label] = std::move(track.ms);
  return results;
}

// ---------------------------------------------------------------------------
// Reports

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double Median(std::vector<double> samples) {
  return Summarise(std::move(samples)).p50;
}

double MiB(std::uint64_t kib) {
  return static_cast<double>(kib) / 1024.0;
}

// A row of the summary: a figure per contender (absent: not measured) and
// Custodel's over the best (smallest) peer's.
struct Row {
  std::string figure;
  std::map<std::string, double> values;
  int decimals = 2;
  std::string custodel = kCustodel;  // which contender the ratio is taken of
};

class SummaryTable {
 public:
  SummaryTable(std::vector<std::string> columns, std::vector<std::string> peers)
      : columns_(std::move(columns)), peers_(std::move(peers)) {}

  void Print(const std::vector<Row>& rows) const {
    std::printf("| %-44s |", "median (restart: also p90)");
    for (const std::string& column : columns_)
      std::printf(" %12s |", column.c_str());
    std::printf(" %12s |\n|%s|", "ratio", std::string(46, '-').c_str());
    for (std::size_t i = 0; i <= columns_.size(); ++i)
      std::printf("%s|", "-------------:");
    std::printf("\n");
    for (const Row& row : rows)
      PrintRow(row);
  }

 private:
  void PrintRow(const Row& row) const {
    std::printf("| %-44s |", row.figure.c_str());
    for (const std::string& column : columns_) {
      const auto found = row.values.find(column);
      const std::string text = found == row.values.end() ? "–" : Fixed(found->second, row.decimals);
      std::printf(" %12s |", text.c_str());
    }
    std::printf(" %12s |\n", Ratio(row).c_str());
  }

  std::string Ratio(const Row& row) const {
    const auto ours = row.values.find(row.custodel);
    double best = -1;
    for (const std::string& peer : peers_) {
      const auto found = row.values.find(peer);
      if (found != row.values.end() && (best < 0 || found->second < best)) best = found->second;
    }
    if (ours == row.values.end() || best < 0) return "–";
    if (best == 0) return ours->second == 0 ? "=" : "–";
    return Fixed(ours->second / best, 2);
  }

  std::vector<std::string> columns_;
  std::vector<std::string> peers_;
};

void PrintStartups(const StartResults& results, const std::vector<Contender>& contenders,
                   const std::vector<unsigned>& sizes) {
  std::printf("\n### Start-up: launch -> last service's first instruction (ms)\n\n");
  std::printf("| %-26s | %8s | %5s | %9s | %9s | %9s |\n", "supervisor", "services", "runs", "min",
              "median", "max");
  std::printf(
      "|----------------------------|---------:|------:|----------:|----------:|----------:|\n");
  for (unsigned services : sizes) {
    for (const Contender& contender : contenders) {
      const auto found = results.find({contender.label, services});
      if (found == results.end()) continue;
      const Summary s = Summarise(found->second.ms);
      std::printf("| %-26s | %8u | %5zu | %9.1f | %9.1f | %9.1f |\n", contender.label.c_str(),
                  services, s.count, s.min, s.p50, s.max);
    }
  }
}

void PrintSteps(const StartResults& results, const Settings& settings) {
  const auto found = results.find({kServiceAlone, settings.services});
  if (found == results.end() || found->second.steps.empty()) return;
  std::printf(
      "\n### Where a serial start of Custodel goes (%u services, service alone; trace lines' "
      "wall clock,\n### stamps converted from CLOCK_MONOTONIC)\n\n",
      settings.services);
  PrintSummaryHeader();
  for (const auto& [step, samples] : found->second.steps)
    PrintSummary(step, samples);
}

void PrintMemory(const StartResults& results, const std::vector<Contender>& contenders,
                 const std::vector<unsigned>& sizes) {
  std::printf(
      "\n### Memory of the supervisor's own processes, right after the last start (median, "
      "MiB)\n\n");
  std::printf("| %-26s | %8s | %9s | %9s | %9s | %12s | %9s |\n", "supervisor", "services",
              "processes", "PSS", "private", "almanac PSS", "total PSS");
  std::printf(
      "|----------------------------|---------:|----------:|----------:|----------:|-------------:|"
      "----------:|\n");
  for (unsigned services : sizes) {
    for (const Contender& contender : contenders) {
      const auto found = results.find({contender.label, services});
      if (found == results.end() || !contender.withMiddleware) continue;
      std::vector<double> pss, priv, configuration;
      for (const Footprint& f : found->second.memory) {
        pss.push_back(MiB(f.pssKiB));
        priv.push_back(MiB(f.privateKiB));
        configuration.push_back(MiB(f.configurationPssKiB));
      }
      const unsigned processes = found->second.memory.front().processes;
      std::printf("| %-26s | %8u | %9u | %9.2f | %9.2f | %12.2f | %9.2f |\n",
                  contender.label.c_str(), services, processes, Median(pss), Median(priv),
                  Median(configuration), Median(pss) + Median(configuration));
    }
  }
}

void PrintIdle(const IdleResults& results, const Settings& settings) {
  std::printf("\n### Idle, %u services each, all supervisors at once, %u s window\n\n",
              settings.services, settings.idleSeconds);
  std::printf("| %-26s | %-14s | %9s | %13s | %13s |\n", "supervisor", "processes", "count",
              "wake-ups/min", "CPU ms/min");
  std::printf(
      "|----------------------------|----------------|----------:|--------------:|--------------:|"
      "\n");
  for (const auto& [label, roles] : results) {
    for (const auto& [role, idle] : roles) {
      std::printf("| %-26s | %-14s | %9u | %13.1f | %13.3f |\n", label.c_str(), role.c_str(),
                  idle.processes, idle.wakeupsPerMinute, idle.cpuMsPerMinute);
    }
  }
}

void PrintRestarts(const std::map<std::string, std::vector<double>>& results,
                   const Settings& settings) {
  std::printf(
      "\n### Restart: kill -9 -> the new process's first instruction, %u services each, "
      "%u kills each\n\n",
      settings.services, settings.kills);
  PrintSummaryHeader();
  for (const auto& [label, samples] : results)
    PrintSummary(label, samples);
}

// ---------------------------------------------------------------------------
// The summary

struct Measurements {
  StartResults starts;
  IdleResults idle;
  std::map<std::string, std::vector<double>> restarts;
};

void AddRestartRows(const Measurements& m, std::vector<Row>& rows) {
  Row p50{"restart, kill -9 -> first instruction, ms", {}, 3};
  Row p90{"restart p90, ms", {}, 3};
  for (const auto& [label, samples] : m.restarts) {
    const Summary s = Summarise(samples);
    p50.values[label] = s.p50;
    p90.values[label] = s.p90;
  }
  rows.push_back(p50);
  rows.push_back(p90);
}

void AddStartRows(const Measurements& m, const std::vector<unsigned>& sizes,
                  std::vector<Row>& rows) {
  for (unsigned services : sizes) {
    if (services <= 1) continue;
    Row full{"start-up of " + std::to_string(services) + ", ms", {}, 1};
    Row alone{"start-up of " + std::to_string(services) + ", Custodel service alone, ms",
              {},
              1,
              kServiceAlone};
    for (const auto& [key, record] : m.starts) {
      if (key.second != services) continue;
      (key.first == kServiceAlone ? alone : full).values[key.first] = Median(record.ms);
      if (key.first != kServiceAlone && key.first != kCustodel)
        alone.values[key.first] = Median(record.ms);
    }
    rows.push_back(full);
    rows.push_back(alone);
  }
}

void AddMemoryRows(const Measurements& m, const std::vector<unsigned>& sizes,
                   std::vector<Row>& rows) {
  for (unsigned services : sizes) {
    const std::string count = std::to_string(services) + (services == 1 ? " service" : " services");
    Row own{"PSS with " + count + ", MiB", {}, 2};
    Row total{"PSS with " + count + ", with almanac, MiB", {}, 2};
    for (const auto& [key, record] : m.starts) {
      if (key.second != services || key.first == kServiceAlone) continue;
      std::vector<double> pss, configuration;
      for (const Footprint& f : record.memory) {
        pss.push_back(MiB(f.pssKiB));
        configuration.push_back(MiB(f.configurationPssKiB));
      }
      own.values[key.first] = Median(pss);
      total.values[key.first] = Median(pss) + Median(configuration);
    }
    rows.push_back(own);
    rows.push_back(total);
  }
}

void AddIdleRows(const Measurements& m, unsigned services, std::vector<Row>& rows) {
  if (m.idle.empty()) return;
  Row wakeups{"idle wake-ups/min, " + std::to_string(services) + " services", {}, 1};
  Row cpu{"idle CPU ms/min, " + std::to_string(services) + " services", {}, 3};
  for (const auto& [label, roles] : m.idle) {
    for (const auto& [role, idle] : roles) {
      if (role == kConfigurationRole) continue;
      wakeups.values[label] += idle.wakeupsPerMinute;
      cpu.values[label] += idle.cpuMsPerMinute;
    }
  }
  rows.push_back(wakeups);
  rows.push_back(cpu);
}

void PrintVerdict(const Measurements& m, const std::vector<Contender>& contenders,
                  const std::vector<unsigned>& sizes, const Settings& settings) {
  std::vector<std::string> columns, peers;
  for (const Contender& contender : contenders) {
    columns.push_back(contender.label);
    if (contender.peer != nullptr) peers.push_back(contender.label);
  }
  std::vector<Row> rows;
  AddRestartRows(m, rows);
  if (!m.starts.empty()) {
    AddStartRows(m, sizes, rows);
    AddMemoryRows(m, {1, settings.services}, rows);
  }
  AddIdleRows(m, settings.services, rows);
  std::printf(
      "\n### Custodel beside its peers (ratio: Custodel / best peer; below 1 is better)\n\n");
  SummaryTable(columns, peers).Print(rows);
}

void PrintMethod(const Settings& settings) {
  std::printf(
      "Every supervisor runs the same static program, stamp_service: its first instruction "
      "writes CLOCK_MONOTONIC\n"
      "to its supervisor's FIFO, then it waits in pause(). Peers run it as ./run (a link) in "
      "s1..sN; Custodel as a\n"
      "plain program, %u services spread over %u servers.\n"
      "- restart: CLOCK_MONOTONIC just before kill(2) -> the new process's stamp; all supervisors "
      "up at once,\n"
      "  kills taken in turn (A B C D, B C D A, ...), at least %lld ms apart, victims at least "
      "%lld ms old.\n"
      "- start-up: launch -> the last service's stamp, one supervisor at a time, rounds in "
      "turn. A peer's launch\n"
      "  is the spawn of its scanner, which starts every service at once. Custodel's launch "
      "(\"Custodel\") starts\n"
      "  the daemon, waits until it listens, starts the configuration server, waits until it "
      "has bound, then starts\n"
      "  the service, as the packaged units do; \"Custodel svc\" is the service alone, daemon "
      "and configuration\n"
      "  server up before. The service starts one instance at a time and waits for each, which "
      "its start-up order\n"
      "  promises.\n"
      "- memory: PSS of the supervisor's own processes (smaps_rollup) right after the last "
      "stamp: Custodel's\n"
      "  service and daemon, with the configuration server apart and in a total; svscan + "
      "supervise, runsvdir +\n"
      "  runsv, s6-svscan + s6-supervise.\n"
      "- idle: voluntary context switches and run time of those processes over the window.\n",
      settings.services, settings.servers, static_cast<long long>(settings.intervalNs / 1000000),
      static_cast<long long>(settings.minAgeNs / 1000000));
}

// ---------------------------------------------------------------------------
// The command

std::vector<const PeerKind*> ChosenPeers(const Options& options) {
  const std::string wanted = "," + options.Text("peers", "daemontools,runit,s6") + ",";
  std::vector<const PeerKind*> chosen;
  std::vector<std::string> missing;
  for (const PeerKind& kind : PeerKinds()) {
    if (wanted.find("," + kind.label + ",") == std::string::npos) continue;
    if (Installed(kind)) {
      chosen.push_back(&kind);
    } else if (kind.required) {
      missing.push_back(kind.label);
    } else {
      std::printf("%s is not installed and is left out (apt-get install %s)\n", kind.label.c_str(),
                  kind.label.c_str());
    }
  }
  if (!missing.empty()) {
    std::ostringstream names;
    for (const std::string& name : missing)
      names << " " << name;
    throw std::runtime_error("not installed:" + names.str() +
                             "; install the peers with: apt-get install daemontools runit s6");
  }
  return chosen;
}

Settings Read(const Options& options) {
  Settings settings;
  settings.services = std::max(1u, options.Number("services", 100));
  settings.kills = options.Number("kills", 100);
  settings.intervalNs = std::int64_t{options.Number("interval-ms", 20)} * 1'000'000;
  settings.minAgeNs = std::int64_t{options.Number("min-age-ms", 2000)} * 1'000'000;
  settings.runs = options.Number("runs", 5);
  settings.large = options.Number("large", 1000);
  settings.servers = std::max(1u, options.Number("servers", 10));
  settings.idleSeconds = options.Number("idle-seconds", 30);
  settings.peers = ChosenPeers(options);
  return settings;
}

}  // namespace

int Peers(const Options& options) {
  const Settings settings = Read(options);
  std::vector<Contender> all = {{kCustodel, nullptr, true}, {kServiceAlone, nullptr, false}};
  for (const PeerKind* peer : settings.peers)
    all.push_back({peer->label, peer, true});
  std::vector<Contender> fleet = all;
  fleet.erase(fleet.begin() + 1);  // the service alone is a start-up variant only

  PrintHeader("Custodel and its peers on the same services");
  PrintMethod(settings);
  std::vector<unsigned> sizes = {1, settings.services};
  if (settings.large > settings.services) sizes.push_back(settings.large);

  Measurements m;
  {
    std::vector<Running> running = LaunchAll(fleet, settings);
    if (settings.idleSeconds > 0) m.idle = MeasureIdle(running, settings);
    m.restarts = MeasureRestarts(running, settings);
  }
  if (settings.runs > 0) m.starts = MeasureStartups(all, sizes, settings);

  PrintRestarts(m.restarts, settings);
  if (!m.starts.empty()) {
    PrintStartups(m.starts, all, sizes);
    PrintSteps(m.starts, settings);
    PrintMemory(m.starts, all, sizes);
  }
  if (!m.idle.empty()) PrintIdle(m.idle, settings);
  PrintVerdict(m, all, sizes, settings);
  std::printf("\nAt the end: %s\n", MachineLoad().c_str());
  return 0;
}

}  // namespace zq_bench
