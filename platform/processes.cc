// Process handles: a pidfd, which polls readable once the process has ended.
// Nothing here reaps: the caller need not be the parent, and a parent that is
// keeps the exit status for its own waitpid.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/kernel_faults.h"
#include "platform/kernel_object.h"

namespace {

class ProcessObject final : public zq_platform::KernelObject {
 public:
  explicit ProcessObject(int fd) : KernelObject(zq_platform::ObjectKind::kProcess), fd_(fd) {}
  ~ProcessObject() override { close(fd_); }

  bool TakeIfSignalled() override {
    pollfd ended{fd_, POLLIN, 0};
    return poll(&ended, 1, 0) > 0;
  }
  int BeginWait(zq_platform::Waiter&) override { return fd_; }

 private:
  const int fd_;
};

}  // namespace

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  if (access != SYNCHRONIZE || inherit != FALSE || processId == 0 || processId > INT_MAX) {
    zq_platform::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A pidfd is always close-on-exec. It stays tied to this process even if
  // the number is reused later, which a plain pid is not.
  const int fd = zq_platform::g_system_calls.pidfd_open(static_cast<pid_t>(processId), 0);
  if (fd < 0) {
    zq_platform::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto process = zq_platform::MakeObject<ProcessObject>(fd);
  if (process == nullptr) {
    close(fd);
    return nullptr;
  }
  return zq_platform::InsertHandle(std::move(process));
}
