#include "tools/zqm_log.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "DEVUror/zqm_file_io.h"
#include "DEVUror/zqm_tclient.h"
#include "DEVUror/zqm_trace.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailure = 1;

std::string AskLogPath(const std::string& host, const std::string& name, unsigned instance) {
  try {
    ZQM_TClient daemon(host, ZQM_TClient::kDaemonPort);
    const ZQ_TAny path = daemon.RPC("LogPath", ZQ_TAny(ZQ_TString(name)),
                                    ZQ_TAny(ZQ_TUInt16(static_cast<std::uint16_t>(instance))));
    return path.DynamicCast<ZQ_TString>(__FILE__, __LINE__).Text();
  } catch (ZQ_EException& failure) {
    failure.ZQ_Message() =
        "the middleware daemon cannot say where the log is: " + failure.ZQ_Message();
    throw;
  }
}

// Copies what `fd` holds from its offset to its end to standard output.
bool CopyToEnd(int fd) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return count == 0;
    if (!zqm_io::WriteAll(STDOUT_FILENO, std::string_view(buffer, static_cast<std::size_t>(count))))
      return false;
  }
}

// Copies `path` from `offset` to its end; nothing when it is missing or shorter.
void CopyFrom(const std::string& path, off_t offset) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  if (lseek(fd, offset, SEEK_SET) == offset) CopyToEnd(fd);
  close(fd);
}

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Follows the log at `path`, open as `fd` and read to its end, as it grows,
// is truncated by a rotation (what was not read yet is taken from
// <path>.1, where the rotation copied it) or replaced by a new file (the
// old one read to its end first). Returns only on a failure.
int Follow(const std::string& path, int fd) {
  const int inotify = inotify_init1(IN_CLOEXEC);
  const std::string folder = path.substr(0, path.rfind('/'));
  const std::string name = path.substr(path.rfind('/') + 1);
  // The folder, not the file: a rotation at the instance's start puts a new
  // file under the name.
  if (inotify < 0 || inotify_add_watch(inotify, folder.c_str(),
                                       IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    std::cerr << "zqm: cannot follow " << path << ": inotify: " << std::strerror(errno) << "\n";
    return kFailure;
  }
  alignas(inotify_event) char events[8192];
  for (;;) {
    const ssize_t length = read(inotify, events, sizeof events);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      std::cerr << "zqm: cannot follow " << path << ": read: " << std::strerror(errno) << "\n";
      return kFailure;
    }
    bool ours = false;
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      ours = ours || (event->len > 0 && name == event->name);
    }
    if (!ours) continue;
    struct stat opened {
    }, named{};
    fstat(fd, &opened);
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    if (stat(path.c_str(), &named) == 0 && !SameFile(opened, named)) {
      CopyToEnd(fd);
      const int next = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (next < 0) continue;
      close(fd);
      fd = next;
    } else if (opened.st_size < offset) {
      CopyFrom(path + ".1", offset);
      lseek(fd, 0, SEEK_SET);
    }
    if (!CopyToEnd(fd)) return kFailure;
  }
}

}  // namespace

int PrintLog(const std::string& host, const std::string& name, unsigned instance, bool follow) {
  const std::string path = AskLogPath(host, name, instance);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    const int error = errno;
    std::cerr << "zqm: " << zqm_trace::Escaped(name) << " instance " << instance << " has no log "
              << path << ": " << std::strerror(error)
              << (error == ENOENT ? " (not started by this daemon since its log folder was made)"
                                  : "")
              << (host.empty() ? "" : "; zqm log reads the file on this host") << "\n";
    return kFailure;
  }
  if (!CopyToEnd(fd)) {
    close(fd);
    return kFailure;
  }
  if (!follow) {
    close(fd);
    return kOk;
  }
  return Follow(path, fd);
}
