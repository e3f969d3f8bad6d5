// Writing whole buffers to descriptors that block: files, pipes, terminals.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <string_view>

namespace zqm_io {

// Writes all of `bytes` to `fd` with `write` (write(2), or a stand-in with
// its contract), resuming after signals and short writes; false, with errno
// set, when a write fails or makes no progress.
inline bool WriteAll(int fd, std::string_view bytes,
                     ssize_t (*write)(int, const void*, size_t) = ::write) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace zqm_io
