#include "supervision_common.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "DEVUror/devuror.h"

namespace zq_bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

unsigned Options::Number(const std::string& key, unsigned fallback) const {
  auto found = values.find(key);
  return found == values.end() ? fallback : static_cast<unsigned>(std::stoul(found->second));
}

std::string Options::Text(const std::string& key, const std::string& fallback) const {
  auto found = values.find(key);
  return found == values.end() ? fallback : found->second;
}

namespace {

std::string Quote(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace

std::string ConfigurationText(const std::vector<ServerEntry>& servers) {
  std::ostringstream out;
  out << "{\"Servers\": {\"ZQMD\": {\"Servers\": {\n";
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const ServerEntry& server = servers[i];
    out << "  " << Quote(server.name) << ": {\"Program\": " << Quote(server.program)
        << ", \"AlwaysRunning\": true, \"NrOfInstances\": " << server.instances;
    if (server.plain) out << ", \"Plain\": true";
    if (!server.arguments.empty()) {
      out << ", \"Arguments\": [";
      for (std::size_t a = 0; a < server.arguments.size(); ++a)
        out << (a ? ", " : "") << Quote(server.arguments[a]);
      out << "]";
    }
    if (!server.environment.empty()) {
      out << ", \"Environment\": {";
      bool first = true;
      for (const auto& [key, value] : server.environment) {
        out << (first ? "" : ", ") << Quote(key) << ": " << Quote(value);
        first = false;
      }
      out << "}";
    }
    out << "}" << (i + 1 < servers.size() ? "," : "") << "\n";
  }
  out << "}}}}\n";
  return out.str();
}

std::vector<ServerEntry> SpreadInstances(unsigned total, unsigned serverCount,
                                         const ServerEntry& like) {
  std::vector<ServerEntry> servers;
  if (serverCount == 0) serverCount = 1;
  for (unsigned s = 0; s < serverCount; ++s) {
    const unsigned count = total / serverCount + (s < total % serverCount ? 1 : 0);
    if (count == 0) continue;
    ServerEntry entry = like;
    entry.name = serverCount == 1 ? like.name : like.name + std::to_string(s + 1);
    entry.instances = count;
    servers.push_back(entry);
  }
  return servers;
}

std::vector<ServerEntry> SampleServers(unsigned total, unsigned serverCount,
                                       const std::string& prefix) {
  ServerEntry like;
  like.name = prefix;
  like.program = "@BIN@/sample_server";
  return SpreadInstances(total, serverCount, like);
}

bool IsRunningLine(const std::string& line) {
  return line.find("Server \"") != std::string::npos &&
         line.find(" is running") != std::string::npos;
}

namespace {

zq_test::InstallationOptions HostLike(const zq_test::TestCgroup* cgroup) {
  zq_test::InstallationOptions options;
  options.traceLevel = 1;  // what a host runs with
  if (cgroup != nullptr) options.daemonArgs = {"--cgroup", cgroup->Path()};
  return options;
}

std::unique_ptr<zq_test::TestCgroup> CgroupIfAsked() {
  const char* asked = std::getenv("ZQ_BENCH_CGROUP");
  if (asked == nullptr || std::string(asked) != "1") return nullptr;
  auto cgroup = std::make_unique<zq_test::TestCgroup>();
  if (!cgroup->Usable()) throw std::runtime_error("ZQ_BENCH_CGROUP: " + cgroup->Why());
  return cgroup;
}

}  // namespace

Run::Run(const std::vector<ServerEntry>& servers)
    : cgroup_(CgroupIfAsked()), installation_(ConfigurationText(servers), HostLike(cgroup_.get())) {
  for (const ServerEntry& server : servers)
    expected_ += server.instances;
}

Run::~Run() {
  if (service_) service_->Kill();
  // The daemon next, so that no start it had under way outlives the run:
  // then every process that carries this installation's mark, which is
  // what the daemon started, whether it listed it yet or not.
  installation_.Daemon().Signal(SIGKILL);
  installation_.Daemon().WaitForExit(20s);
  std::vector<pid_t> pids = ProcessesWith("ZQM_DAEMON_SOCKET=" + installation_.SocketPath());
  std::erase(pids, AlmanacPid());
  std::erase(pids, getpid());
  if (!zq_bench::KillAndWait(pids, 20s)) std::cerr << "some instances did not end in time\n";
}

std::int64_t Run::StartService() {
  const std::int64_t before = MonotonicNs();
  service_ = std::make_unique<TracedProcess>(std::vector<std::string>{zq_test::Program("custodel")},
                                             installation_.Environment());
  return before;
}

std::size_t Run::WaitAllRunning(std::chrono::milliseconds timeout) {
  const auto found =
      service_->Output().WaitForCount(IsRunningLine, expected_, Clock::now() + timeout);
  if (!found) {
    std::ostringstream text;
    for (const auto& line : service_->Output().Lines())
      text << line.text << "\n";
    throw std::runtime_error(
        "not every instance was reported running; the service said:\n" +
        text.str().substr(text.str().size() > 4000 ? text.str().size() - 4000 : 0));
  }
  return *found;
}

void PrintHeader(const std::string& title) {
  std::cout << "\n## " << title << "\n\n" << zq_bench::MachineLoad() << "\n\n";
}

void PrintSummaryHeader() {
  std::printf("| %-52s | %5s | %8s | %8s | %8s | %8s | %8s |\n", "milliseconds", "n", "min", "p50",
              "p90", "p99", "max");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(),
              "------:", "---------:", "---------:", "---------:", "---------:", "---------:");
}

void PrintSummary(const std::string& what, const std::vector<double>& samples) {
  const Summary s = zq_bench::Summarise(samples);
  std::printf("| %-52s | %5zu | %8.3f | %8.3f | %8.3f | %8.3f | %8.3f |\n", what.c_str(), s.count,
              s.min, s.p50, s.p90, s.p99, s.max);
}

double Ms(std::int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

}  // namespace zq_bench
