#include "footprint_bench.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "DEVUror/devuror.h"
#include "bench_support.h"
#include "support/child_process.h"
#include "support/installation.h"

namespace zq_bench {
namespace {

using namespace std::chrono_literals;

// What one mapping group (a file, the heap, anonymous memory, stacks) holds.
struct Share {
  std::uint64_t pss = 0, rss = 0, privateClean = 0, privateDirty = 0;
  void Add(const Share& other) {
    pss += other.pss;
    rss += other.rss;
    privateClean += other.privateClean;
    privateDirty += other.privateDirty;
  }
};

struct ProcessFootprint {
  std::string program;
  Share total;
  std::uint64_t threads = 0;
  std::map<std::string, Share> byMapping;  // path, "[heap]", "[anon]", "[stack]"
  std::set<std::string> libraries;         // shared objects mapped
};

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsSharedObject(const std::string& path) {
  return path.find(".so") != std::string::npos && path.front() == '/';
}

// /proc/<pid>/smaps, added up per mapped file (anonymous mappings by kind).
ProcessFootprint Measure(const std::string& program, pid_t pid) {
  ProcessFootprint result;
  result.program = program;
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  if (!smaps) throw std::runtime_error("cannot read the smaps of " + program);
  std::string line, group;
  while (std::getline(smaps, line)) {
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (!first.empty() && first.back() != ':') {  // a mapping's header line
      std::string perms, offset, device, inode, path;
      fields >> perms >> offset >> device >> inode;
      std::getline(fields >> std::ws, path);
      group = path.empty() ? "[anon]" : path;
      if (IsSharedObject(path)) result.libraries.insert(BaseName(path));
      continue;
    }
    std::uint64_t kib = 0;
    fields >> kib;
    Share& share = result.byMapping[group];
    if (first == "Pss:") share.pss += kib;
    if (first == "Rss:") share.rss += kib;
    if (first == "Private_Clean:") share.privateClean += kib;
    if (first == "Private_Dirty:") share.privateDirty += kib;
  }
  for (const auto& [name, share] : result.byMapping)
    result.total.Add(share);
  if (const auto sample = SampleProcess(pid, false)) result.threads = sample->threads;
  return result;
}

std::string Configuration(unsigned instances) {
  const unsigned servers = instances >= 10 ? 10 : 1;
  std::ostringstream out;
  out << "{\"Servers\": {\"ZQMD\": {\"Servers\": {\n";
  for (unsigned s = 0; s < servers; ++s) {
    const unsigned count = instances / servers + (s < instances % servers ? 1 : 0);
    out << "  \"Worker" << s + 1 << "\": {\"Program\": \"@BIN@/sample_server\", "
        << "\"AlwaysRunning\": true, \"NrOfInstances\": " << count << "}"
        << (s + 1 < servers ? "," : "") << "\n";
  }
  out << "}}}}\n";
  return out.str();
}

// The daemon's children: the instances it started.
std::vector<pid_t> InstancePids(zq_test::Installation& installation) {
  return ChildrenOf(installation.Daemon().Pid());
}

// An installation with `instances` sample servers, measured once every
// instance runs and the service has settled into its wait.
std::vector<ProcessFootprint> MeasureInstallation(unsigned instances) {
  zq_test::InstallationOptions options;
  options.traceLevel = 1;  // what a host runs with
  zq_test::Installation installation(Configuration(instances), options);
  TracedProcess service({zq_test::Program("custodel")}, installation.Environment());
  auto isRunning = [](const std::string& line) {
    return line.find("Server \"") != std::string::npos &&
           line.find(" is running") != std::string::npos;
  };
  const auto deadline = std::chrono::steady_clock::now() + 30s + instances * 100ms;
  const bool allRunning = service.Output().WaitForCount(isRunning, instances, deadline).has_value();
  std::vector<ProcessFootprint> measured;
  if (allRunning) {
    measured = {Measure("zqmd", installation.Daemon().Pid()), Measure("custodel", service.Pid()),
                Measure("almanac", installation.Almanac().Pid())};
    // For comparison: a server that links the runtime and the C++ library in.
    const std::vector<pid_t> instancePids = InstancePids(installation);
    if (instances == 1 && !instancePids.empty())
      measured.push_back(Measure("sample_server (static, for comparison)", instancePids.front()));
  }
  service.Kill();
  KillAndWait(InstancePids(installation), 20s);
  if (!allRunning) throw std::runtime_error("not every instance was reported running");
  return measured;
}

std::string Libraries(const ProcessFootprint& footprint) {
  std::string text;
  for (const std::string& library : footprint.libraries)
    text += (text.empty() ? "" : " ") + library;
  return text;
}

void PrintTable(unsigned instances, const std::vector<ProcessFootprint>& rows) {
  std::printf("\n### %u instance%s (KiB)\n\n", instances, instances == 1 ? "" : "s");
  std::printf(
      "| program | PSS | RSS | private clean | private dirty | threads | shared objects |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---|\n");
  for (const ProcessFootprint& row : rows) {
    std::printf("| %s | %llu | %llu | %llu | %llu | %llu | %s |\n", row.program.c_str(),
                static_cast<unsigned long long>(row.total.pss),
                static_cast<unsigned long long>(row.total.rss),
                static_cast<unsigned long long>(row.total.privateClean),
                static_cast<unsigned long long>(row.total.privateDirty),
                static_cast<unsigned long long>(row.threads), Libraries(row).c_str());
  }
  // Where each program's PSS lies: its largest mappings.
  for (const ProcessFootprint& row : rows) {
    std::vector<std::pair<std::string, Share>> groups(row.byMapping.begin(), row.byMapping.end());
    std::sort(groups.begin(), groups.end(),
              [](const auto& a, const auto& b) { return a.second.pss > b.second.pss; });
    std::printf("\n%s, PSS by mapping:", row.program.c_str());
    for (std::size_t i = 0; i < groups.size() && i < 6; ++i) {
      std::printf(" %s %llu (private %llu);", BaseName(groups[i].first).c_str(),
                  static_cast<unsigned long long>(groups[i].second.pss),
                  static_cast<unsigned long long>(groups[i].second.privateClean +
                                                  groups[i].second.privateDirty));
    }
    std::printf("\n");
  }
}

double MiB(std::uint64_t kib) {
  return static_cast<double>(kib) / 1024.0;
}

}  // namespace

int Footprint(const std::map<std::string, std::string>& values) {
  const auto found = values.find("instances");
  const unsigned many =
      found == values.end() ? 100 : static_cast<unsigned>(std::stoul(found->second));
  std::cout << "\n## Footprint of the installation's own processes\n\n" << MachineLoad() << "\n";
  const std::vector<ProcessFootprint> one = MeasureInstallation(1);
  PrintTable(1, one);
  const std::vector<ProcessFootprint> hundred = MeasureInstallation(many);
  PrintTable(many, hundred);

  // zqmd, custodel, almanac in that order.
  const std::uint64_t serviceAndDaemon = one[0].total.pss + one[1].total.pss;
  const std::uint64_t almanac = one[2].total.pss;
  const std::uint64_t all = hundred[0].total.pss + hundred[1].total.pss + hundred[2].total.pss;
  std::printf("\nPSS, service + daemon, 1 instance: %.2f MiB (target <= 1.0)\n",
              MiB(serviceAndDaemon));
  std::printf("PSS, almanac serving a file: %.2f MiB (target <= 1.5)\n", MiB(almanac));
  std::printf("PSS, daemon + service + almanac, %u instances: %.2f MiB\n", many, MiB(all));
  return 0;
}

}  // namespace zq_bench
