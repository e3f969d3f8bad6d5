// The logs of the instances the daemon starts: marker lines at each start
// and end, and size-based rotation.
//
// The marker lines begin with "==== ", which no trace line of ours and few
// servers' output do:
//
//   ==== 2026-12-07 09:07:18.669 started Orders instance 1 (pid 4711): /opt/shop/bin/orders q1
//   ==== 2026-12-07 09:09:02.015 Orders instance 1 (pid 4711) killed by signal 9 (Killed) after
//   103.346 s
//
// Each is one write(2) on the daemon's own O_APPEND descriptor of the log,
// so it never interleaves with the instance's output.
//
// An instance writes straight into its log, so a log cannot be swapped
// under it. Rotation therefore works in two ways:
//   - at each start, before the instance gets the file, a log larger than
//     its limit is renamed to <log>.1 (older ones shifting to .2 ... .N,
//     the oldest removed);
//   - while it runs, the file is watched with inotify (one IN_ONESHOT
//     IN_MODIFY watch, armed again at most once a second through the
//     daemon's deadline queue, so that an idle instance costs nothing and a
//     chatty one wakes the daemon at most once a second). Beyond its limit
//     the content is copied to a fresh <log>.1 and the live file truncated;
//     the instance's O_APPEND descriptor goes on at the new end. What arrives
//     during the copy is copied once more before the truncation, so only
//     what the instance writes between that last copy and the truncation
//     (microseconds) is lost.
//
// Every file is opened without following a symbolic link and stays in the
// log folder; a copy is bounded to the newest 2 x the limit (what is older
// is dropped, with a marker line saying so).
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "DEVUror/zqm_deadlines.h"
#include "zqmd/launch_config.h"

namespace zqmd {

// The marker lines, with their line break.
std::string StartMarker(std::chrono::system_clock::time_point at, const std::string& what,
                        pid_t pid, const std::string& commandLine);
std::string EndMarker(std::chrono::system_clock::time_point at, const std::string& what,
                      const std::string& how, std::chrono::system_clock::duration uptime);
// Any other word of the daemon's about the instance, e.g. why it ends it.
std::string EventMarker(std::chrono::system_clock::time_point at, const std::string& text);

// "<log>.<number>".
std::string RotatedLogPath(const std::string& path, unsigned number);

// Copies the log behind `fd` (the daemon's descriptor of the log at `path`)
// to a fresh <path>.1, the older copies shifting up (with
// limits.filesKept 0: no copy), and empties it. A copy that fails leaves
// the kept copies and the log as they were. Returns "" or what went wrong
// (the call, the file and the system's reason).
std::string RotateByCopy(int fd, const std::string& path, const LogLimits& limits);

// Renames the log at `path` to <path>.1 (shifting the older ones) when it is
// larger than `limits.maxBytes` (and that is not 0). Returns "" or what went
// wrong (the call, the file and the system's reason).
std::string RotateIfOver(const std::string& path, const LogLimits& limits);

// The logs of running instances, rotated by copy and truncation while they
// grow. Used on the event loop's thread only.
class LogWatchSet {
 public:
  using Id = std::uint64_t;  // never 0, never reused

  // Throws ZQM_EException when the inotify descriptor cannot be made.
  LogWatchSet(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines);
  ~LogWatchSet();
  LogWatchSet(const LogWatchSet&) = delete;
  LogWatchSet& operator=(const LogWatchSet&) = delete;

  // Takes `fd`, the daemon's descriptor of the log at `path` (OpenLogFile),
  // appends `opening` (the start marker) and keeps the log within `limits`
  // from now on. The opening goes in before the watch is armed: the
  // daemon's own line would fire it, and the kernel takes down each watch
  // that fires (work for its workers, on a CPU the new instance needs).
  Id Watch(int fd, std::string path, LogLimits limits, const std::string& opening = {});
  // Appends `text` to the log in one write; unknown ids (0 included) are
  // ignored. A write that fails is traced once, until one works again.
  void Append(Id id, const std::string& text);
  // Stops watching and closes the descriptor.
  void Release(Id id);

 private:
  struct Entry {
    int fd = -1;
    std::string path;
    LogLimits limits;
    int watch = -1;  // the inotify watch, -1 while none is armed
    zqm_deadlines::Clock::time_point lastCheck{};
    zqm_deadlines::Id deadline = 0;  // a look that is due
    bool failing = false;            // the last rotation failed and was traced
    unsigned failedAttempts = 0;     // rotations that failed in a row
    bool appendFailing = false;      // the last marker line could not be written
  };

  static constexpr unsigned kRotationAttempts = 3;

  void ArmRead();
  void HandleEvents();
  void Modified(Id id);
  void ArmWatch(Entry& entry, Id id);
  void Check(Id id);
  void RotationFailed(Id id, const std::string& problem);
  void Append(Entry& entry, const std::string& text);

  asio::posix::stream_descriptor inotify_;
  zqm_deadlines::DeadlineQueue& deadlines_;
  std::map<Id, Entry> entries_;
  std::unordered_map<int, Id> byWatch_;
  Id nextId_ = 1;
  bool reading_ = false;
};

}  // namespace zqmd
