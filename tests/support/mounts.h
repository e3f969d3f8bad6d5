// File systems that misbehave on purpose, for tests of what the daemon does
// when its disk is full or a mount stops answering: a FUSE mount that no
// server ever answers (every lookup below it waits, as on a hung network
// mount, until it is released), a small tmpfs that fills up, and a file
// replaced by another through a bind mount. Each is undone by its
// destructor.
//
// They need a mount namespace of the test's own: PrivateMounts() moves the
// test process into one before it starts any thread (so nothing is mounted
// on the host, whoever runs the test), and every program the test starts
// afterwards shares it.
#pragma once

#include <cstddef>
#include <string>

namespace zq_test {

// Moves this process into a new mount namespace whose mounts are all
// private; "" when done, else why not (the test should skip then).
std::string PrivateMounts();

// A mount undone (detached) by the destructor.
class Mount {
 public:
  // A tmpfs of `bytes` at the folder `path` (made when missing), mode 0750.
  static Mount Tmpfs(const std::string& path, std::size_t bytes);
  // `source` shown at `target` as well (a file over a file).
  static Mount Bind(const std::string& source, const std::string& target);
  Mount(Mount&& other) noexcept;
  Mount& operator=(Mount&& other) = delete;
  ~Mount();

 private:
  explicit Mount(std::string target) : target_(std::move(target)) {}
  std::string target_;
};

// A FUSE file system at the folder `path` (made when missing) whose server
// never answers: chdir into it, and every lookup below it, wait until
// Release(). Throws std::runtime_error when /dev/fuse cannot be used.
class HungMount {
 public:
  explicit HungMount(const std::string& path);
  ~HungMount();
  HungMount(const HungMount&) = delete;
  HungMount& operator=(const HungMount&) = delete;
  // Ends the connection (what waits fails with ENOTCONN) and unmounts.
  void Release();

 private:
  std::string path_;
  int fuse_ = -1;
};

}  // namespace zq_test
