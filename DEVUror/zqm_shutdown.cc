#include "DEVUror/zqm_shutdown.h"

#include <errno.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "DEVUror/zqm_exceptions.h"

namespace zqm_shutdown {

namespace {

std::atomic<bool> gInProgress{false};

int Descriptor() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

void OnSignal(int) {
  const int saved = errno;
  Begin();
  errno = saved;
}

}  // namespace

bool InProgress() {
  return gInProgress.load(std::memory_order_acquire);
}

void Begin() {
  gInProgress.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  // Before InstallSignalHandlers the descriptor exists (it is made there),
  // so the signal handler never runs the static initialisation itself.
  [[maybe_unused]] ssize_t n = write(Descriptor(), &one, sizeof one);
}

int WakeDescriptor() {
  return Descriptor();
}

void InstallSignalHandlers() {
  Descriptor();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // Writes to a peer that has gone must fail with EPIPE, not end the process.
  signal(SIGPIPE, SIG_IGN);
}

void ThrowIfInProgress(const char* what) {
  if (!InProgress()) return;
  ZQM_EShutdownInProgress refused(
      ZQ_TString::Format("%s refused: the process is shutting down", what));
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

}  // namespace zqm_shutdown
