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
// Each is one write(2) on an O_APPEND descriptor of the daemon's, so it
// never interleaves with the instance's output.
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
//
// While an instance runs the daemon holds no descriptor of its log: on a
// host of thousands of instances each may cost the daemon one descriptor,
// its pidfd, as the process's hard limit counts every descriptor. The log is
// opened again by its path for each marker line and each look (one open,
// one fstat, one write or look, one close), and used only while the path
// still names the file the instance was given. The daemon alone may change
// its log folder (safe_files.h) and its rotation by copy keeps the live file
// in place, so the path is stable; a file that an operator moved away or
// replaced is left alone, and so is whatever now has its name.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
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
// larger than `limits.maxBytes` (and that is not 0), calling `first` (when
// given) just before: the last lines for the old file. Returns "" or what
// went wrong (the call, the file and the system's reason).
std::string RotateIfOver(const std::string& path, const LogLimits& limits,
                         const std::function<void()>& first = {});

// The logs of running instances, rotated by copy and truncation while they
// grow. Keeps each log's path and identity (device and inode), no
// descriptor: each use opens the log again and checks that it is still the
// instance's file. Used on the event loop's thread only.
class LogWatchSet {
 public:
  using Id = std::uint64_t;  // never 0, never reused

  // Throws ZQM_EException when the inotify descriptor cannot be made.
  LogWatchSet(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines);
  ~LogWatchSet();
  LogWatchSet(const LogWatchSet&) = delete;
  LogWatchSet& operator=(const LogWatchSet&) = delete;

  // Takes `fd`, the daemon's descriptor of the log at `path` (OpenLogFile),
  // appends `opening` (the start marker), notes which file it is, keeps the
  // log within `limits` from now on and closes `fd`. The opening goes in
  // before the watch is armed: the daemon's own line would fire it, and the
  // kernel takes down each watch that fires (work for its workers, on a CPU
  // the new instance needs).
  Id Watch(int fd, std::string path, LogLimits limits, const std::string& opening = {});
  // Appends `text` to the log in one write; unknown ids (0 included) are
  // ignored. A write that fails is traced once, until one works again; a
  // log that was moved away or replaced is not written to, and that is
  // traced once.
  void Append(Id id, const std::string& text);
  // Stops watching.
  void Release(Id id);

 private:
  struct Entry {
    std::string path;
    dev_t device = 0;  // of the file the instance was given
    ino_t inode = 0;
    LogLimits limits;
    int watch = -1;  // the inotify watch, -1 while none is armed
    zqm_deadlines::Clock::time_point lastCheck{};
    zqm_deadlines::Id deadline = 0;  // a look that is due
    bool failing = false;            // the last rotation or watch failed and was traced
    unsigned failedAttempts = 0;     // rotations that failed in a row
    bool appendFailing = false;      // the last marker line could not be written
  };

  static constexpr unsigned kRotationAttempts = 3;

  void ArmRead();
  void HandleEvents();
  void Modified(Id id);
  void ArmWatch(Entry& entry, Id id, int fd);
  void WatchFailed(Entry& entry, const std::string& why);
  void Check(Id id);
  void Check(Id id, int fd);
  void RotationFailed(Id id, int fd, const std::string& problem);
  void Append(Entry& entry, const std::string& text);
  void Write(Entry& entry, int fd, const std::string& text);
  void AppendFailed(Entry& entry, const std::string& why);
  void Lost(Entry& entry);

  asio::posix::stream_descriptor inotify_;
  zqm_deadlines::DeadlineQueue& deadlines_;
  std::map<Id, Entry> entries_;
  std::unordered_map<int, Id> byWatch_;
  Id nextId_ = 1;
  bool reading_ = false;
};

}  // namespace zqmd
