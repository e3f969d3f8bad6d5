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
#include "zqmd/safe_files.h"

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

std::string RotateIfOver(const std::string& path, const LogLimits& limits,
                         const std::function<void()>& first) {
  struct stat status {};
  if (limits.maxBytes == 0 || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size <= static_cast<off_t>(limits.maxBytes)) {
    return "";
  }
  if (first) first();
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

// An instance's log opened again by its path for one use, and closed after
// it. Opened as OpenLogFile opens it (no symbolic link followed, no blocking
// on a FIFO planted there) but never created, and kept only when it is
// still the very file the instance was given: what an operator put at the
// path is not ours to write to. A plain file ignores O_NONBLOCK, so it is
// left set: an end marker on the way to a restart costs one open, one
// fstat, one write and one close.
class Reopened {
 public:
  Reopened(const std::string& path, dev_t device, ino_t inode) {
    fd_ = open(path.c_str(), kLogOpenFlags);
    if (fd_ < 0) {
      // A missing file, a symbolic link, a FIFO nobody reads or a folder.
      moved_ = errno == ENOENT || errno == ELOOP || errno == ENXIO || errno == EISDIR;
      if (!moved_) problem_ = std::string("open: ") + std::strerror(errno);
      return;
    }
    struct stat status {};
    if (fstat(fd_, &status) != 0) {
      problem_ = std::string("fstat: ") + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode) || status.st_dev != device || status.st_ino != inode) {
      moved_ = true;
    } else {
      return;
    }
    close(fd_);
    fd_ = -1;
  }
  ~Reopened() {
    if (fd_ >= 0) close(fd_);
  }
  Reopened(const Reopened&) = delete;
  Reopened& operator=(const Reopened&) = delete;

  int Fd() const { return fd_; }  // -1 when not open
  // The path names no file now, or another one.
  bool Moved() const { return moved_; }
  // Why it could not be opened otherwise: "<call>: <reason>".
  const std::string& Problem() const { return problem_; }

 private:
  int fd_ = -1;
  bool moved_ = false;
  std::string problem_;
};

}  // namespace

LogWatchSet::LogWatchSet(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines)
    : inotify_(io, MakeInotify()), deadlines_(deadlines) {}

LogWatchSet::~LogWatchSet() {
  for (auto& [id, entry] : entries_)
    deadlines_.Cancel(entry.deadline);
}

LogWatchSet::Id LogWatchSet::Watch(int fd, std::string path, LogLimits limits,
                                   const std::string& opening) {
  const Id id = nextId_++;
  Entry& entry = entries_[id];
  entry.path = std::move(path);
  entry.limits = limits;
  // Left 0 when fstat fails (it does not on a descriptor OpenLogFile made):
  // no later open matches, and the log is taken as replaced.
  struct stat status {};
  if (fstat(fd, &status) == 0) {
    entry.device = status.st_dev;
    entry.inode = status.st_ino;
  }
  if (!opening.empty()) Write(entry, fd, opening);
  // Arms the watch, and rotates a log that an earlier instance left over
  // its limit; a log kept for its markers only needs neither.
  if (limits.maxBytes != 0) Check(id, fd);
  close(fd);
  return id;
}

void LogWatchSet::Append(Id id, const std::string& text) {
  if (auto found = entries_.find(id); found != entries_.end()) Append(found->second, text);
}

void LogWatchSet::Append(Entry& entry, const std::string& text) {
  const Reopened log(entry.path, entry.device, entry.inode);
  if (log.Moved()) return Lost(entry);
  if (log.Fd() < 0) return AppendFailed(entry, log.Problem());
  Write(entry, log.Fd(), text);
}

void LogWatchSet::Write(Entry& entry, int fd, const std::string& text) {
  const ssize_t written = zq_platform::g_system_calls.write(fd, text.data(), text.size());
  if (written == static_cast<ssize_t>(text.size())) {
    entry.appendFailing = false;
    return;
  }
  AppendFailed(entry, "write: " + (written < 0 ? std::string(std::strerror(errno))
                                               : "wrote " + std::to_string(written) + " of " +
                                                     std::to_string(text.size()) + " bytes"));
}

void LogWatchSet::AppendFailed(Entry& entry, const std::string& why) {
  if (entry.appendFailing) return;
  entry.appendFailing = true;
  zqm_trace::Line(0, "Cannot write to the log " + entry.path + ": " + why +
                         "; the daemon's lines are missing from it until a write works again");
}

// Neither the daemon's lines nor a rotation can reach the instance's file
// any more, so this is said once for both.
void LogWatchSet::Lost(Entry& entry) {
  if (!entry.appendFailing || !entry.failing) {
    zqm_trace::Line(0, "Cannot write to the log " + entry.path +
                           ": the instance's file was moved away or replaced; what has its name "
                           "now is left alone, so the daemon's lines are missing from the log "
                           "and it is not rotated while the instance runs");
  }
  entry.appendFailing = true;
  entry.failing = true;
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
  entries_.erase(found);
}

void LogWatchSet::ArmWatch(Entry& entry, Id id, int fd) {
  // Through the descriptor: the watch is on the very file the instance
  // writes, whatever becomes of its name, and stays on it once the
  // descriptor is closed.
  const std::string file = "/proc/self/fd/" + std::to_string(fd);
  entry.watch = inotify_add_watch(inotify_.native_handle(), file.c_str(), IN_MODIFY | IN_ONESHOT);
  if (entry.watch < 0)
    return WatchFailed(entry, std::string("inotify_add_watch: ") + std::strerror(errno));
  byWatch_[entry.watch] = id;
}

void LogWatchSet::WatchFailed(Entry& entry, const std::string& why) {
  if (!entry.failing)
    zqm_trace::Line(0, "Cannot watch the log " + entry.path + " for rotation: " + why);
  entry.failing = true;
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
  const Reopened log(entry.path, entry.device, entry.inode);
  if (log.Moved()) return Lost(entry);
  // Like a watch that cannot be armed: no look until the instance starts again.
  if (log.Fd() < 0) return WatchFailed(entry, log.Problem());
  Check(id, log.Fd());
}

void LogWatchSet::Check(Id id, int fd) {
  Entry& entry = entries_.at(id);
  entry.lastCheck = zqm_deadlines::Clock::now();
  // Armed before the look, so that a write after it is not missed.
  ArmWatch(entry, id, fd);
  ArmRead();
  if (SizeOf(fd) <= static_cast<off_t>(entry.limits.maxBytes)) return;
  const std::string problem = RotateByCopy(fd, entry.path, entry.limits);
  if (!problem.empty()) return RotationFailed(id, fd, problem);
  if (entry.failing) zqm_trace::Line(0, "The log " + entry.path + " is rotated again");
  entry.failing = false;
  entry.failedAttempts = 0;
  zqm_trace::Line(1, "Rotated the log " + entry.path);
}

void LogWatchSet::RotationFailed(Id id, int fd, const std::string& problem) {
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
  const off_t size = SizeOf(fd);
  if (ftruncate(fd, 0) != 0) return;  // tried again at the next look
  Write(entry, fd,
        Marker(std::to_string(size) + " bytes dropped: they could not be copied to " +
               RotatedLogPath(entry.path, 1) + " (" + problem + ")"));
}

}  // namespace zqmd
