// What the benchmark programs share: running inside namespaces of their
// own, clocks, percentiles, line sources stamped with the moment each line
// was read, and readings of /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zq_bench {

// Re-executes this program through tests/support/netns-run unless it already
// runs there (ZQ_BENCH_NETNS set): port 8088 and every process started then
// belong to this run alone. Also points ZQ_BIN_DIR at the folder of this
// program, where the build puts the daemon, the service and the servers,
// and makes the run an installation key of its own (ZQM_KEY_FILE; with
// ZQM_INSECURE=1 set, everything runs without), and gives it the group
// "zqm" a package makes, when the host has none. Returns only inside the
// namespaces; exits the process when the re-exec
// fails.
void EnterPrivateNamespaces(int argc, char** argv);

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t MonotonicNs();

// Trace lines carry local wall-clock time with microseconds; this turns
// such a line's time into CLOCK_MONOTONIC nanoseconds, using the offset
// between the two clocks measured once at construction.
class WallToMonotonic {
 public:
  WallToMonotonic();
  // The line's time, or nullopt when the line does not start with
  // "YYYY-MM-DD HH:MM:SS.uuuuuu".
  std::optional<std::int64_t> LineTime(const std::string& line) const;

 private:
  std::int64_t offsetNs_ = 0;  // realtime minus monotonic
};

// Nearest-rank percentile of `samples` (sorted on the way), 0 when empty.
double Percentile(std::vector<double>& samples, double percent);

struct Summary {
  std::size_t count = 0;
  double min = 0, p50 = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
};
Summary Summarise(std::vector<double> samples);

// Lines arriving on a descriptor, each with the CLOCK_MONOTONIC time at
// which a reader thread took it off the descriptor. Owns the descriptor.
class LineSource {
 public:
  struct Line {
    std::int64_t readNs;
    std::string text;
  };

  explicit LineSource(int fd);
  ~LineSource();
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  // Waits until a line from index `after` on satisfies `match`; returns its
  // index, or nullopt when `deadline` passes or the descriptor reaches its
  // end first.
  std::optional<std::size_t> WaitFor(const std::function<bool(const std::string&)>& match,
                                     std::chrono::steady_clock::time_point deadline,
                                     std::size_t after = 0);
  // Waits until `count` lines from index `after` on satisfy `match`; returns
  // the index of the last of them.
  std::optional<std::size_t> WaitForCount(const std::function<bool(const std::string&)>& match,
                                          std::size_t count,
                                          std::chrono::steady_clock::time_point deadline,
                                          std::size_t after = 0);
  Line At(std::size_t index) const;
  std::size_t Count() const;
  std::vector<Line> Lines() const;
  // Stops reading: the reader thread is woken and ended. The destructor does
  // this too.
  void Close();

 private:
  void Read();

  int fd_;
  int wake_;  // eventfd that ends the reader
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
  bool ended_ = false;
};

// A program of the build with its standard output and error on a
// LineSource; SIGKILLed and reaped by the destructor unless it has ended.
class TracedProcess {
 public:
  TracedProcess(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& env);
  ~TracedProcess();
  TracedProcess(const TracedProcess&) = delete;
  TracedProcess& operator=(const TracedProcess&) = delete;

  pid_t Pid() const { return pid_; }
  LineSource& Output() { return *output_; }
  // The pidfd of the process (owned by this object).
  int Pidfd() const { return pidfd_; }
  // Kills with SIGKILL and reaps, bounded by `timeout`; true when reaped.
  bool Kill(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  std::unique_ptr<LineSource> output_;
};

// Waits until every process of `pids` has ended or `deadline` passes; true
// when all ended. Processes that cannot be opened count as ended.
bool WaitForEnd(const std::vector<pid_t>& pids, std::chrono::steady_clock::time_point deadline);

// The children of `pid` (made by any of its threads), from /proc: reading them
// wakes nobody. Empty when it has none or is gone.
std::vector<pid_t> ChildrenOf(pid_t pid);

// The processes whose environment holds `assignment` ("NAME=value") as one
// of its entries; processes whose environment cannot be read are skipped.
std::vector<pid_t> ProcessesWith(const std::string& assignment);

// SIGKILLs `pids` and waits for them to end (bounded).
bool KillAndWait(const std::vector<pid_t>& pids,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Waits for `pidfd` to become readable (its process ended) until `deadline`;
// true when it ended. Used as the bounded wait of a measurement window: an
// early true means the process under measurement died.
bool WaitForPidfd(int pidfd, std::chrono::steady_clock::time_point deadline);

// What /proc tells about one process, all threads added up.
struct ProcessSample {
  std::uint64_t cpuTicks = 0;           // utime + stime of /proc/<pid>/stat
  std::uint64_t cpuNs = 0;              // run time of /proc/<pid>/task/*/schedstat
  std::uint64_t voluntarySwitches = 0;  // voluntary_ctxt_switches of every task
  std::uint64_t involuntarySwitches = 0;
  std::uint64_t threads = 0;
  std::uint64_t pssKiB = 0;  // /proc/<pid>/smaps_rollup
  std::uint64_t rssKiB = 0;
  std::uint64_t privateKiB = 0;  // Private_Clean + Private_Dirty: this process's alone
  std::map<pid_t, std::uint64_t> perTaskVoluntary;  // tid -> voluntary switches
  std::map<pid_t, std::string> taskNames;           // tid -> comm
};
std::optional<ProcessSample> SampleProcess(pid_t pid, bool withMemory);

// Ticks of /proc/<pid>/stat per second.
long TicksPerSecond();

// A FIFO at `path` opened for reading and writing, so that writers never
// block in open and the reader never sees an end. Returns the descriptor.
int OpenFifo(const std::string& path);

// "load average: ..." of /proc/loadavg and the number of processors, for
// reports.
std::string MachineLoad();

}  // namespace zq_bench
