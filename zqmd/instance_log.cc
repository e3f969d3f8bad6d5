#include "zqmd/instance_log.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_file_io.h"
#include "DEVUror/zqm_trace.h"
#include "platform/kernel_faults.h"

namespace zqmd {

namespace {

using SystemClock = std::chrono::system_clock;

// How often a growing log is looked at, at most.
constexpr std::chrono::milliseconds kCheckInterval{1000};

std::string LocalTime(SystemClock::time_point at) {
  const std::time_t seconds = SystemClock::to_time_t(at);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(milliseconds));
  return text;
}

std::string Failure(const char* call, const std::string& path, int error) {
  return std::string(call) + " " + path + ": " + std::strerror(error);
}

// A line of the daemon's own in a log, with its line break.
std::string Marker(const std::string& text) {
  return EventMarker(SystemClock::now(), text);
}

// Makes room for a new <path>.1: the oldest kept is removed, the others
// move up by one. Missing files are no gap to fill.
std::string ShiftRotated(const std::string& path, unsigned kept) {
  const std::string oldest = RotatedLogPath(path, kept);
  if (unlink(oldest.c_str()) != 0 && errno != ENOENT) return Failure("unlink", oldest, errno);
  for (unsigned number = kept; number > 1; --number) {
    const std::string from = RotatedLogPath(path, number - 1);
    if (rename(from.c_str(), RotatedLogPath(path, number).c_str()) != 0 && errno != ENOENT)
      return Failure("rename", from, errno);
  }
  return "";
}

// Copies [from, to) of `source` to the end of `target`; false with errno set.
bool CopyRange(int source, off_t from, off_t to, int target) {
  while (from < to) {
    const ssize_t copied = zq_platform::g_system_calls.copy_file_range(
        source, &from, target, nullptr, static_cast<std::size_t>(to - from), 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0) return false;
    if (copied == 0) {
      errno = EIO;  // the file is shorter than it was a moment ago
      return false;
    }
  }
  return true;
}

off_t SizeOf(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 ? status.st_size : -1;
}

// Copies the log behind `fd` into the new file `target`: at most the newest
// 2 x the limit, so that a log that grew far beyond it between two looks
// costs no more, with a marker line for what is older. Twice: what arrived
// during the first copy is taken too. The copy is read through
// /proc/self/fd, so it is exactly the instance's file, whatever has become of
// its name. Returns "" or what went wrong.
std::string CopyLog(int fd, const std::string& path, const LogLimits& limits, int target,
                    const std::string& targetPath) {
  const int source = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return Failure("open", path, errno);
  const off_t bound = 2 * static_cast<off_t>(limits.maxBytes);
  const off_t size = SizeOf(fd);
  const off_t from = size > bound ? size - bound : 0;
  std::string problem;
  if (from > 0 &&
      !zqm_io::WriteAll(
          target, Marker(std::to_string(from) + " older bytes dropped: the log grew too fast"),
          zq_platform::g_system_calls.write)) {
    problem = Failure("write", targetPath, errno);
  } else if (!CopyRange(source, from, size, target) ||
             !CopyRange(source, size, std::max(size, SizeOf(fd)), target)) {
    problem = Failure("copy_file_range", targetPath, errno);
  }
  close(source);
  return problem;
}

// The copy is made in a file of its own first and takes the place of
// <path>.1 only once it is whole: a copy that fails (a full or failing disk)
// leaves the kept logs as they were, and no part of a copy behind.
std::string CopyToRotated(int fd, const std::string& path, const LogLimits& limits) {
  const std::string partial = path + ".rotating";
  // Left by a daemon that ended during a copy.
  unlink(partial.c_str());
  const int target =
      open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (target < 0) return Failure("open", partial, errno);
  std::string problem = CopyLog(fd, path, limits, target, partial);
  close(target);
  if (problem.empty()) problem = ShiftRotated(path, limits.filesKept);
  if (problem.empty() && rename(partial.c_str(), RotatedLogPath(path, 1).c_str()) != 0)
    problem = Failure("rename", partial, errno);
  if (!problem.empty()) unlink(partial.c_str());
  return problem;
}

}  // namespace

std::string StartMarker(SystemClock::time_point at, const std::string& what, pid_t pid,
                        const std::string& commandLine) {
  return "==== " + LocalTime(at) + " started " + what + " (pid " + std::to_string(pid) +
         "): " + zqm_trace::Escaped(commandLine) + "\n";
}

std::string EndMarker(SystemClock::time_point at, const std::string& what, const std::string& how,
                      SystemClock::duration uptime) {
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(uptime).count();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%lld.%03lld", static_cast<long long>(milliseconds / 1000),
                static_cast<long long>(milliseconds % 1000));
  return "==== " + LocalTime(at) + " " + what + " " + how + " after " + seconds + " s\n";
}

std::string EventMarker(SystemClock::time_point at, const std::string& text) {
  return "==== " + LocalTime(at) + " " + text + "\n";
}

std::string RotatedLogPath(const std::string& path, unsigned number) {
  return path + "." + std::to_string(number);
}

std::string RotateByCopy(int fd, const std::string& path, const LogLimits& limits) {
  if (limits.filesKept > 0) {
    if (std::string problem = CopyToRotated(fd, path, limits); !problem.empty()) return problem;
  }
  if (ftruncate(fd, 0) != 0) return Failure("ftruncate", path, errno);
  return "";
}

std::string RotateIfOver(const std::string& path, const LogLimits& limits) {
  struct stat status {};
  if (limits.maxBytes == 0 || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size <= static_cast<off_t>(limits.maxBytes)) {
    return "";
  }
  if (limits.filesKept == 0) return unlink(path.c_str()) == 0 ? "" : Failure("unlink", path, errno);
  if (std::string problem = ShiftRotated(path, limits.filesKept); !problem.empty()) return problem;
  if (rename(path.c_str(), RotatedLogPath(path, 1).c_str()) != 0)
    return Failure("rename", path, errno);
  return "";
}

namespace {

int MakeInotify() {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) {
    ZQM_EException failed(
        ZQ_TString::Format("log rotation: inotify_init1: %s", std::strerror(errno)));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
  return fd;
}

}  // namespace

LogWatchSet::LogWatchSet(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines)
    : inotify_(io, MakeInotify()), deadlines_(deadlines) {}

LogWatchSet::~LogWatchSet() {
  for (auto& [id, entry] : entries_) {
    deadlines_.Cancel(entry.deadline);
    close(entry.fd);
  }
}

LogWatchSet::Id LogWatchSet::Watch(int fd, std::string path, LogLimits limits,
                                   const std::string& opening) {
  const Id id = nextId_++;
  Entry& entry = entries_[id];
  entry.fd = fd;
  entry.path = std::move(path);
  entry.limits = limits;
  if (!opening.empty()) Append(entry, opening);
  if (limits.maxBytes == 0) return id;  // kept for its markers only
  // Arms the watch, and rotates a log that an earlier instance left over
  // its limit.
  Check(id);
  return id;
}

void LogWatchSet::Append(Id id, const std::string& text) {
  if (auto found = entries_.find(id); found != entries_.end()) Append(found->second, text);
}

void LogWatchSet::Append(Entry& entry, const std::string& text) {
  const ssize_t written = zq_platform::g_system_calls.write(entry.fd, text.data(), text.size());
  if (written == static_cast<ssize_t>(text.size())) {
    entry.appendFailing = false;
    return;
  }
  if (entry.appendFailing) return;
  entry.appendFailing = true;
  const std::string why = written < 0 ? std::strerror(errno)
                                      : "wrote " + std::to_string(written) + " of " +
                                            std::to_string(text.size()) + " bytes";
  zqm_trace::Line(0, "Cannot write to the log " + entry.path + ": write: " + why +
                         "; the daemon's lines are missing from it until a write works again");
}

void LogWatchSet::Release(Id id) {
  auto found = entries_.find(id);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  if (entry.watch >= 0) {
    inotify_rm_watch(inotify_.native_handle(), entry.watch);
    byWatch_.erase(entry.watch);
  }
  deadlines_.Cancel(entry.deadline);
  close(entry.fd);
  entries_.erase(found);
}

void LogWatchSet::ArmWatch(Entry& entry, Id id) {
  // Through the descriptor: the watch is on the very file the instance
  // writes, whatever becomes of its name.
  const std::string file = "/proc/self/fd/" + std::to_string(entry.fd);
  entry.watch = inotify_add_watch(inotify_.native_handle(), file.c_str(), IN_MODIFY | IN_ONESHOT);
  if (entry.watch < 0) {
    if (!entry.failing) {
      zqm_trace::Line(0, "Cannot watch the log " + entry.path +
                             " for rotation: inotify_add_watch: " + std::strerror(errno));
    }
    entry.failing = true;
    return;
  }
  byWatch_[entry.watch] = id;
}

void LogWatchSet::ArmRead() {
  if (reading_) return;
  reading_ = true;
  inotify_.async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code error) {
    if (error) return;  // the set is gone
    reading_ = false;
    HandleEvents();
    if (!byWatch_.empty()) ArmRead();
  });
}

void LogWatchSet::HandleEvents() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = read(inotify_.native_handle(), buffer, sizeof buffer);
    if (length <= 0) return;
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      // One-shot: after its event (or its file's removal) the watch is gone.
      auto found = byWatch_.find(event->wd);
      if (found == byWatch_.end()) continue;
      const Id id = found->second;
      byWatch_.erase(found);
      if (auto entry = entries_.find(id); entry != entries_.end()) entry->second.watch = -1;
      if ((event->mask & IN_MODIFY) != 0) Modified(id);
    }
  }
}

void LogWatchSet::Modified(Id id) {
  Entry& entry = entries_.at(id);
  if (entry.deadline != 0) return;  // a look is due already
  const auto due = entry.lastCheck + kCheckInterval;
  const auto now = zqm_deadlines::Clock::now();
  if (now >= due) return Check(id);
  entry.deadline =
      deadlines_.After(std::chrono::ceil<std::chrono::milliseconds>(due - now), [this, id] {
        if (auto found = entries_.find(id); found != entries_.end()) {
          found->second.deadline = 0;
          Check(id);
        }
      });
}

void LogWatchSet::Check(Id id) {
  Entry& entry = entries_.at(id);
  entry.lastCheck = zqm_deadlines::Clock::now();
  // Armed before the look, so that a write after it is not missed.
  ArmWatch(entry, id);
  ArmRead();
  if (SizeOf(entry.fd) <= static_cast<off_t>(entry.limits.maxBytes)) return;
  const std::string problem = RotateByCopy(entry.fd, entry.path, entry.limits);
  if (!problem.empty()) return RotationFailed(id, problem);
  if (entry.failing) zqm_trace::Line(0, "The log " + entry.path + " is rotated again");
  entry.failing = false;
  entry.failedAttempts = 0;
  zqm_trace::Line(1, "Rotated the log " + entry.path);
}

void LogWatchSet::RotationFailed(Id id, const std::string& problem) {
  Entry& entry = entries_.at(id);
  if (!entry.failing) {
    zqm_trace::Line(0, "Cannot rotate the log " + entry.path + ": " + problem + "; after " +
                           std::to_string(kRotationAttempts) +
                           " attempts that fail it is emptied, and what it held is dropped");
  }
  entry.failing = true;
  if (++entry.failedAttempts < kRotationAttempts) {
    // Tried again whether the instance writes or not: on a full disk it cannot.
    entry.deadline = deadlines_.After(kCheckInterval, [this, id] {
      if (auto found = entries_.find(id); found != entries_.end()) {
        found->second.deadline = 0;
        Check(id);
      }
    });
    return;
  }
  entry.failedAttempts = 0;
  // Its content is given up rather than a kept copy or the disk's last room.
  const off_t size = SizeOf(entry.fd);
  if (ftruncate(entry.fd, 0) != 0) return;  // tried again at the next look
  Append(entry, Marker(std::to_string(size) + " bytes dropped: they could not be copied to " +
                       RotatedLogPath(entry.path, 1) + " (" + problem + ")"));
}

}  // namespace zqmd
