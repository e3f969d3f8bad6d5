// What health checks cost the daemon: N plain listeners (one small Python
// program each, on a port of its own), first without checks, where the
// daemon must not wake at all, then each with a TCP health check every
// second; the daemon's CPU time and wake-ups over a window, per minute.
//
//   health_bench [--instances N (100)] [--seconds N (60)] [--interval-ms N (1000)]
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "DEVUror/devuror.h"
#include "bench_support.h"
#include "support/installation.h"

namespace {

using Clock = std::chrono::steady_clock;

// Accepts and closes connections on the port it is given, for ever.
const char* const kListener =
    "import socket, sys\\n"
    "server = socket.socket()\\n"
    "server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\\n"
    "server.bind(('127.0.0.1', int(sys.argv[1])))\\n"
    "server.listen(64)\\n"
    "while True:\\n"
    "    server.accept()[0].close()\\n";

constexpr unsigned kFirstPort = 20000;

std::string Configuration(unsigned instances, unsigned intervalMs) {
  std::ostringstream out;
  out << R"({"Servers": {"ZQMD": {"Servers": {)";
  for (unsigned at = 0; at < instances; ++at) {
    const unsigned port = kFirstPort + at;
    out << (at == 0 ? "" : ",") << "\n\"Listener" << at << R"(": {"Program": "python3", )"
        << R"("Arguments": ["-c", ")" << kListener << R"(", ")" << port
        << R"("], "Plain": true, )"
        // Checks begin once it accepts: a hundred starting at once may take
        // longer than three failed checks.
        << R"("Readiness": "tcp:)" << port << R"(")";
    if (intervalMs != 0) {
      out << R"(, "HealthCheck": {"Tcp": )" << port << R"(, "IntervalMs": )" << intervalMs
          << R"(, "TimeoutMs": )" << intervalMs << "}";
    }
    out << "}";
  }
  out << "}}}}";
  return out.str();
}

struct Window {
  double seconds = 0;
  double cpuMs = 0;
  double wakeups = 0;
};

// Starts every listener through the daemon, lets start-up settle, then
// samples the daemon over `seconds`.
Window Measure(unsigned instances, unsigned intervalMs, unsigned seconds) {
  zq_test::Installation installation(Configuration(instances, intervalMs));
  for (unsigned at = 0; at < instances; ++at) {
    try {
      ZQM_TClient client;
      client.Connect("", ZQ_TString(("Listener" + std::to_string(at)).c_str()), 1,
                     ZQM_TClient::kLocateOrStart);
    } catch (const ZQM_ENotAnRpcServer&) {
      // Started: a plain program answers no RPC.
    }
  }
  const pid_t daemon = installation.Daemon().Pid();
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, daemon, 0));
  if (zq_bench::WaitForPidfd(pidfd, Clock::now() + std::chrono::seconds(2)))
    throw std::runtime_error("the daemon ended");
  const auto before = zq_bench::SampleProcess(daemon, false);
  const std::int64_t t0 = zq_bench::MonotonicNs();
  if (zq_bench::WaitForPidfd(pidfd, Clock::now() + std::chrono::seconds(seconds)))
    throw std::runtime_error("the daemon ended");
  const auto after = zq_bench::SampleProcess(daemon, false);
  const std::int64_t t1 = zq_bench::MonotonicNs();
  close(pidfd);
  // The listeners outlive the daemon: ended here, so that the next window's
  // may take their ports.
  std::vector<pid_t> listeners;
  for (const ZQ_TAny& element : installation.Servers("*")) {
    const ZQ_TDict& entry = element.DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
    if (entry["Name"].DynamicCast<ZQ_TString>(__FILE__, __LINE__) == "Almanac") continue;
    listeners.push_back(
        static_cast<pid_t>(entry["PID"].DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__)));
  }
  zq_bench::KillAndWait(listeners);
  if (listeners.size() < instances) {
    throw std::runtime_error("not every listener runs any more:\n" +
                             installation.Daemon().Output());
  }
  Window window;
  window.seconds = static_cast<double>(t1 - t0) / 1e9;
  window.cpuMs = static_cast<double>(after->cpuNs - before->cpuNs) / 1e6;
  window.wakeups = static_cast<double>(after->voluntarySwitches - before->voluntarySwitches);
  return window;
}

void Print(const char* what, const Window& window, unsigned checks) {
  const double perMinute = 60.0 / window.seconds;
  std::printf(
      "| %-30s | %8.1f | %14.1f | %15.1f | %16s |\n", what, window.seconds,
      window.cpuMs * perMinute, window.wakeups * perMinute,
      checks == 0 ? "-" : std::to_string(window.cpuMs * 1000.0 / checks).substr(0, 6).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  zq_bench::EnterPrivateNamespaces(argc, argv);
  std::map<std::string, unsigned> values = {
      {"--instances", 100}, {"--seconds", 60}, {"--interval-ms", 1000}};
  for (int at = 1; at + 1 < argc; at += 2) {
    if (values.count(argv[at]) == 0) {
      std::cerr << "usage: health_bench [--instances N] [--seconds N] [--interval-ms N]\n";
      return 2;
    }
    values[argv[at]] = static_cast<unsigned>(std::stoul(argv[at + 1]));
  }
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  const unsigned instances = values["--instances"];
  const unsigned seconds = values["--seconds"];
  const unsigned intervalMs = values["--interval-ms"];
  try {
    const Window idle = Measure(instances, 0, seconds);
    const Window checked = Measure(instances, intervalMs, seconds);
    const unsigned checks =
        static_cast<unsigned>(checked.seconds * 1000.0 / intervalMs) * instances;
    std::printf("\nThe daemon with %u plain listeners (%s)\n\n", instances,
                zq_bench::MachineLoad().c_str());
    std::printf("| %-30s | %8s | %14s | %15s | %16s |\n", "health checks", "window s",
                "CPU ms / min", "wake-ups / min", "CPU us / check");
    std::printf(
        "|--------------------------------|---------:|---------------:|"
        "----------------:|-----------------:|\n");
    Print("none", idle, 0);
    Print(("TCP, every " + std::to_string(intervalMs) + " ms").c_str(), checked, checks);
    std::printf("\nTarget: zero wake-ups without checks: %s (%.0f)\n",
                idle.wakeups == 0 ? "met" : "NOT met", idle.wakeups);
    return idle.wakeups == 0 ? 0 : 1;
  } catch (const std::exception& failure) {
    std::cerr << "health_bench: " << failure.what() << std::endl;
  } catch (const ZQ_EException& failure) {
    std::cerr << "health_bench: " << failure.ZQ_Message().Text() << std::endl;
  }
  return 1;
}
