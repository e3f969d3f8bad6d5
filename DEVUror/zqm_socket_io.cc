#include "DEVUror/zqm_socket_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_frame_reader.h"
#include "DEVUror/zqm_trace.h"

namespace zqm_io {

namespace {

// Keep-alive ends calls to a host that has gone away within about 25 s.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;

template <class E>
[[noreturn]] void Fail(const ZQ_TString& message) {
  E failure(message);
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

[[noreturn]] void FailErrno(const ZQ_TString& what, int error) {
  Fail<ZQM_EConnectionFailed>(what + ": " + std::strerror(error));
}

// What this thread's waits also end on (see AbortOn).
thread_local std::vector<int> tAbortDescriptors;
thread_local AbortCheck tAbortCheck;

// What this thread does before its next wait (see OnNextWait).
thread_local void (*tNextWaitAction)() = nullptr;

enum class Wait { kReady, kTimedOut, kAbandoned };

// One poll of `entries` for at most `timeout` ms (-1: no limit), in `mask`
// when an abort check gives one (null: the thread's own).
int Poll(std::span<pollfd> entries, int timeout, const sigset_t* mask) {
  const timespec limit{timeout / 1000, (timeout % 1000) * 1000000L};
  return ppoll(entries.data(), static_cast<nfds_t>(entries.size()), timeout < 0 ? nullptr : &limit,
               mask);
}

// Waits until `fd` is ready for `events`, the deadline passes or the
// thread's abort descriptors or check say to give up.
Wait WaitReady(int fd, short events, Deadline deadline) {
  // On the stack for the usual few abort descriptors: this is on every call's path.
  constexpr std::size_t kOnStack = 8;
  std::array<pollfd, kOnStack> few{};
  std::vector<pollfd> many;
  const std::size_t count = 1 + tAbortDescriptors.size();
  if (count > kOnStack) many.resize(count);
  const std::span<pollfd> entries(count > kOnStack ? many.data() : few.data(), count);
  entries[0] = {fd, events, 0};
  for (std::size_t i = 1; i < count; ++i)
    entries[i] = {tAbortDescriptors[i - 1], POLLIN, 0};
  const AbortCheck check = tAbortCheck;
  sigset_t mask;
  if (check.aborted != nullptr) mask = check.pollMask();
  AboutToWait();
  for (;;) {
    if (check.aborted != nullptr && check.aborted(check.context)) return Wait::kAbandoned;
    int timeout = -1;
    if (deadline != kNoDeadline) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Wait::kTimedOut;
      timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    const int n = Poll(entries, timeout, check.aborted != nullptr ? &mask : nullptr);
    if (n < 0 && errno == EINTR) continue;
    for (std::size_t i = 1; n > 0 && i < entries.size(); ++i) {
      if (entries[i].revents != 0) return Wait::kAbandoned;
    }
    if (n != 0) return Wait::kReady;  // a failure: the following call reports it
  }
}

// As WaitReady; throws ZQM_ETimeout (`what` and `late`) or
// ZQM_EConnectionFailed (abandoned) unless `fd` became ready.
void Await(int fd, short events, Deadline deadline, const ZQ_TString& what, const char* late) {
  switch (WaitReady(fd, events, deadline)) {
    case Wait::kReady:
      return;
    case Wait::kTimedOut:
      Fail<ZQM_ETimeout>(what + late);
    case Wait::kAbandoned:
      Fail<ZQM_EConnectionFailed>(what + ": abandoned, the caller stopped waiting");
  }
}

void SetSocketOptions(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
}

}  // namespace

AbortOn::AbortOn(std::vector<int> descriptors, AbortCheck check)
    : previous_(std::exchange(tAbortDescriptors, std::move(descriptors))),
      previousCheck_(std::exchange(tAbortCheck, check)) {}

AbortOn::~AbortOn() {
  tAbortDescriptors = std::move(previous_);
  tAbortCheck = previousCheck_;
}

void OnNextWait(void (*action)()) {
  tNextWaitAction = action;
}

void AboutToWait() {
  if (auto action = std::exchange(tNextWaitAction, nullptr)) action();
  // Lines this thread held back go out while it waits.
  zqm_trace::WakeHeld();
}

Deadline After(unsigned milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

Address Resolve(const ZQ_TString& host, unsigned short port) {
  Address address;
  if (ZQ_TSocket::IsLocalHost(host)) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.length = sizeof(sockaddr_in);
    address.text = "127.0.0.1:" + std::to_string(port);
    return address;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result);
  if (status != 0 || result == nullptr) {
    Fail<ZQM_EConnectionFailed>(
        ZQ_TString::Format("cannot resolve host \"%s\": %s", host, gai_strerror(status)));
  }
  std::memcpy(&address.storage, result->ai_addr, result->ai_addrlen);
  address.length = result->ai_addrlen;
  freeaddrinfo(result);
  char text[INET6_ADDRSTRLEN] = "?";
  const void* raw =
      address.storage.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&address.storage)->sin_addr);
  inet_ntop(address.storage.ss_family, raw, text, sizeof text);
  address.text = std::string(text) + ":" + std::to_string(port);
  return address;
}

int Connect(const Address& address, Deadline deadline) {
  const ZQ_TString what = ZQ_TString("connect to ") + address.text.c_str();
  int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) FailErrno(what, errno);
  SetSocketOptions(fd);
  int status = connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
  if (status != 0 && errno == EINPROGRESS) {
    try {
      Await(fd, POLLOUT, deadline, what, ": timed out");
    } catch (...) {
      close(fd);
      throw;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    status = error == 0 ? 0 : -1;
    errno = error;
  }
  if (status != 0) {
    const int error = errno;
    close(fd);
    FailErrno(what, error);
  }
  return fd;
}

void SendAll(int fd, std::string_view data, Deadline deadline, const ZQ_TString& what) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) FailErrno(what, errno);
    Await(fd, POLLOUT, deadline, what, ": could not send in time");
  }
}

std::string ReceiveFrame(int fd, Deadline deadline, const ZQ_TString& what) {
  zqm_wire::FrameReader reader;
  // Every frame read here answers something just sent (a connect, a proof, a
  // request), so it is hardly ever there yet: waiting first saves a receive
  // that would only say EAGAIN.
  Await(fd, POLLIN, deadline, what, ": no answer in time");
  for (;;) {
    const std::span<char> space = reader.Space();
    const ssize_t n = recv(fd, space.data(), space.size(), 0);
    if (n > 0) {
      if (reader.Received(static_cast<std::size_t>(n))) return reader.Take();
      continue;
    }
    if (n == 0) {
      Fail<ZQM_EConnectionFailed>(what + (reader.Partial()
                                              ? ": connection closed in the middle of a frame"
                                              : ": connection closed by the peer"));
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) FailErrno(what, errno);
    Await(fd, POLLIN, deadline, what, ": no answer in time");
  }
}

void Close(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace zqm_io
