#include "support/mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zq_test {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::string PrivateMounts() {
  // Refused (EINVAL) once the process has threads: then nothing is mounted.
  if (unshare(CLONE_NEWNS) != 0)
    return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("mount --make-rprivate /: ") + std::strerror(errno);
  return "";
}

Mount Mount::Tmpfs(const std::string& path, std::size_t bytes) {
  mkdir(path.c_str(), 0750);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0750";
  if (mount("zqtest", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
    Fail("mount tmpfs on " + path);
  return Mount(path);
}

Mount Mount::Bind(const std::string& source, const std::string& target) {
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
    Fail("mount --bind " + source + " " + target);
  return Mount(target);
}

Mount::Mount(Mount&& other) noexcept : target_(std::exchange(other.target_, "")) {}

Mount::~Mount() {
  if (!target_.empty()) umount2(target_.c_str(), MNT_DETACH);
}

HungMount::HungMount(const std::string& path) : path_(path) {
  mkdir(path.c_str(), 0755);
  fuse_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse_ < 0) Fail("open /dev/fuse");
  // The kernel's request to start the session is never read, so every
  // request after it waits for a server that never comes.
  const std::string options = "fd=" + std::to_string(fuse_) +
                              ",rootmode=40000,user_id=" + std::to_string(getuid()) +
                              ",group_id=" + std::to_string(getgid());
  if (mount("zqtest-hung", path.c_str(), "fuse.zqtest-hung", MS_NOSUID | MS_NODEV,
            options.c_str()) != 0) {
    const int error = errno;
    close(fuse_);
    errno = error;
    Fail("mount fuse on " + path);
  }
}

HungMount::~HungMount() {
  Release();
}

void HungMount::Release() {
  if (fuse_ < 0) return;
  close(std::exchange(fuse_, -1));
  umount2(path_.c_str(), MNT_DETACH);
}

}  // namespace zq_test
