#include "scale.h"

#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "supervisors.h"

namespace zq_bench {

const char* const kScaleUsage = "  scale    --instances N (10000) --servers N (100)\n";

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors held per instance: by the service, the process its watcher
// waits on (events and threads hold none); by the daemon, the instance's
// pidfd (it opens the log only for each line and look).
constexpr unsigned kDescriptorsPerInstance = 1;
// Processes and threads a host counts against pid_max per instance: the
// instance and the service's watcher thread.
constexpr unsigned kTasksPerInstance = 2;

std::uint64_t ReadNumber(const std::string& path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  in >> value;
  return value;
}

// Tasks (processes and threads) of the whole host now: /proc/loadavg's
// "running/total".
std::uint64_t TasksNow() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c, entities;
  in >> a >> b >> c >> entities;
  const auto slash = entities.find('/');
  return slash == std::string::npos ? 0 : std::stoull(entities.substr(slash + 1));
}

std::size_t DescriptorsOf(pid_t pid) {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

// Refuses a run that would meet a limit of this host before its end, and
// says which one to raise.
void CheckLimits(unsigned instances) {
  const std::uint64_t pidMax = ReadNumber("/proc/sys/kernel/pid_max");
  const std::uint64_t threadsMax = ReadNumber("/proc/sys/kernel/threads-max");
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  const std::uint64_t tasks = TasksNow() + std::uint64_t{kTasksPerInstance} * instances;
  std::printf(
      "Host: pid_max %llu, threads-max %llu, tasks now %llu, after the start about %llu; "
      "descriptors per process %llu (hard %llu)\n",
      static_cast<unsigned long long>(pidMax), static_cast<unsigned long long>(threadsMax),
      static_cast<unsigned long long>(TasksNow()), static_cast<unsigned long long>(tasks),
      static_cast<unsigned long long>(files.rlim_cur),
      static_cast<unsigned long long>(files.rlim_max));
  if (tasks + 1000 > pidMax || tasks + 1000 > threadsMax) {
    throw std::runtime_error(
        "this host would run out of process ids: raise kernel.pid_max (and "
        "kernel.threads-max) to at least " +
        std::to_string(tasks + 1000));
  }
  // Both programs lift their soft limit to the hard one.
  const std::uint64_t descriptors = std::uint64_t{kDescriptorsPerInstance} * instances + 100;
  if (files.rlim_max < descriptors) {
    throw std::runtime_error(
        "the service and the daemon would run out of descriptors: raise the limit "
        "(ulimit -n, LimitNOFILE=) to at least " +
        std::to_string(descriptors));
  }
}

void PrintProcess(const std::string& role, pid_t pid, unsigned instances) {
  const auto sample = SampleProcess(pid, true);
  if (!sample) throw std::runtime_error(role + " is gone");
  const std::size_t descriptors = DescriptorsOf(pid);
  std::printf("| %-10s | %10.2f | %10.2f | %13.1f | %8llu | %11zu | %14.2f |\n", role.c_str(),
              static_cast<double>(sample->pssKiB) / 1024.0,
              static_cast<double>(sample->privateKiB) / 1024.0,
              static_cast<double>(sample->privateKiB) / instances,
              static_cast<unsigned long long>(sample->threads), descriptors,
              static_cast<double>(descriptors) / instances);
}

// PSS of the instances themselves, all of them added up.
void PrintInstances(pid_t daemon, unsigned instances) {
  std::uint64_t pss = 0, privateKiB = 0;
  std::size_t counted = 0;
  for (pid_t child : ChildrenOf(daemon)) {
    if (const auto sample = SampleProcess(child, true)) {
      pss += sample->pssKiB;
      privateKiB += sample->privateKiB;
      ++counted;
    }
  }
  std::printf(
      "\nInstances: %zu of %u are the daemon's children; PSS %.1f KiB each (private %.1f)\n",
      counted, instances, counted ? static_cast<double>(pss) / counted : 0.0,
      counted ? static_cast<double>(privateKiB) / counted : 0.0);
}

}  // namespace

int Scale(const Options& options) {
  const unsigned instances = std::max(1u, options.Number("instances", 10000));
  const unsigned servers = std::max(1u, options.Number("servers", 100));
  PrintHeader("Custodel alone over " + std::to_string(instances) + " instances");
  CheckLimits(instances);
  CustodelSupervisor custodel("Custodel", instances, servers, false);
  const std::int64_t launched = custodel.Launch();
  const auto last =
      custodel.Stamps().WaitForServices(instances, 0, Clock::now() + StartDeadline(instances));
  if (!last) throw std::runtime_error("not every instance started");
  custodel.WaitAllRunning();
  std::printf(
      "Start-up (service's launch -> last instance's first instruction, one at a time): %.0f ms, "
      "%.2f ms per instance\n\n",
      Ms(*last - launched), Ms(*last - launched) / instances);
  std::printf("| %-10s | %10s | %10s | %13s | %8s | %11s | %14s |\n", "process", "PSS MiB",
              "private MiB", "KiB/instance", "threads", "descriptors", "per instance");
  std::printf(
      "|------------|-----------:|-----------:|--------------:|---------:|------------:|----------"
      "-----:|\n");
  for (const Member& member : custodel.Members())
    PrintProcess(member.role, member.pid, instances);
  for (const Member& member : custodel.Members()) {
    if (member.role == "zqmd") PrintInstances(member.pid, instances);
  }
  std::printf("\nAt the end: %s\n", MachineLoad().c_str());
  return 0;
}

}  // namespace zq_bench
