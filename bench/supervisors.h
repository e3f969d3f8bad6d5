// The supervisors that the peer comparison runs side by side, each over its
// own set of stamp_service processes: Custodel (daemon, configuration
// server and service) and the scanners of daemontools, runit and s6 from
// Debian's packages. Every service stamps its first instruction into its
// supervisor's FIFO; every process a supervisor started is ended with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "supervision_common.h"
#include "support/child_process.h"

namespace zq_bench {

// "<name> <pid> <CLOCK_MONOTONIC ns>", the line a service writes first.
struct ServiceStamp {
  std::string name;
  pid_t pid = 0;
  std::int64_t ns = 0;
};
std::optional<ServiceStamp> ParseServiceStamp(const std::string& line);

// The FIFO the services of one supervisor stamp into, read as it fills.
class StampFifo {
 public:
  explicit StampFifo(const std::string& path);
  const std::string& Path() const { return path_; }
  std::size_t Count() const { return lines_.Count(); }
  // Waits until `services` services have stamped from line `after` on (each
  // counted once); the time of the latest of those stamps.
  std::optional<std::int64_t> WaitForServices(std::size_t services, std::size_t after,
                                              std::chrono::steady_clock::time_point deadline);
  // Waits for a stamp of `name` from another process than `old`, from line
  // `after` on.
  std::optional<ServiceStamp> WaitForRestart(const std::string& name, pid_t old, std::size_t after,
                                             std::chrono::steady_clock::time_point deadline);
  // The latest stamp of every service.
  std::map<std::string, ServiceStamp> Latest() const;

 private:
  std::string path_;
  LineSource lines_;
};

// One process of a supervisor's own, by its role ("svscan", "supervise",
// "custodel", "zqmd", "almanac").
struct Member {
  std::string role;
  pid_t pid;
};

// The configuration server's role: reported apart from the supervisor's own
// processes, and in a total with them.
inline constexpr const char* kConfigurationRole = "almanac";

// Steps in order, each with its samples in milliseconds.
using StepTable = std::vector<std::pair<std::string, std::vector<double>>>;

class Supervisor {
 public:
  explicit Supervisor(std::string label);
  virtual ~Supervisor() = default;
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  const std::string& Label() const { return label_; }
  StampFifo& Stamps() { return stamps_; }

  // Starts the supervisor over its services; CLOCK_MONOTONIC just before.
  virtual std::int64_t Launch() = 0;
  // Its own processes as they are now, not the services.
  virtual std::vector<Member> Members() = 0;
  // Readable once the supervisor's top process has ended: a failed run.
  virtual int Pidfd() = 0;

 protected:
  zq_test::TempDir& Dir() { return dir_; }

 private:
  std::string label_;
  zq_test::TempDir dir_;
  StampFifo stamps_;
};

// A peer: the scanner of one of daemontools, runit and s6, which starts a
// supervisor process for every folder of its scan folder.
struct PeerKind {
  std::string label;       // and the Debian package
  std::string scanner;     // svscan, runsvdir, s6-svscan
  std::string supervisor;  // supervise, runsv, s6-supervise
  bool required;           // the comparison needs it; others join when installed
  unsigned limit;          // the scanner's most services
  bool readiness;          // services say they are ready (s6's notification-fd)
  std::vector<std::string> (*arguments)(const std::string& folder, unsigned services);
};
const std::vector<PeerKind>& PeerKinds();
// Both of its programs are on PATH.
bool Installed(const PeerKind& kind);

// A scanner over `services` folders "s1".."sN", each with a "run" that is a
// link to stamp_service, made a minute old: a folder that changed within the
// last second is scanned only a second later by runsvdir, and at boot the
// folders are old. The destructor ends the scanner, its supervisors and
// their services.
class PeerSupervisor : public Supervisor {
 public:
  PeerSupervisor(const PeerKind& kind, unsigned services);
  ~PeerSupervisor() override;
  std::int64_t Launch() override;
  std::vector<Member> Members() override;
  int Pidfd() override { return pidfd_; }

 private:
  void End();

  const PeerKind& kind_;
  unsigned services_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

// Custodel over `services` instances of stamp_service (a plain program)
// spread over `servers` servers. With `withMiddleware`, the launch starts
// the daemon, waits until it listens, starts the configuration server,
// waits until it has bound, then starts the service, as the packaged units
// do; without, the daemon and configuration server are up before the
// launch, which starts the service alone.
class CustodelSupervisor : public Supervisor {
 public:
  CustodelSupervisor(std::string label, unsigned services, unsigned servers, bool withMiddleware);
  std::int64_t Launch() override;
  std::vector<Member> Members() override;
  int Pidfd() override { return run_ ? run_->Service().Pidfd() : -1; }

  // Where each serial start of the launch went, from the service's and the
  // daemon's trace lines (wall clock, µs) and the services' stamps: one row
  // per step, its samples in ms. Waits until every instance is reported
  // running.
  StepTable StartSteps();
  // Waits until the service has reported every instance running.
  void WaitAllRunning();
  // The service's and the daemon's trace so far, for a run that failed.
  std::string Traces() const;

 private:
  std::vector<ServerEntry> servers_;
  std::unique_ptr<Run> run_;
};

// How long a start of `services` services may take before a run is given up.
std::chrono::milliseconds StartDeadline(unsigned services);

// The path of stamp_service: in the programs' folder, else beside this
// program.
std::string StampServicePath();

}  // namespace zq_bench
