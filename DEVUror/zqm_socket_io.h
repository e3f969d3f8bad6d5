// Blocking socket operations with deadlines for the middleware client.
//
// Sockets are non-blocking underneath and every wait is one poll(2) on the
// socket (and the thread's abort descriptors and check, see AbortOn),
// bounded by a deadline; EINTR resumes the wait. Failures throw
// ZQM_EConnectionFailed or ZQM_ETimeout with a message that names the
// operation, the address and the reason.
#pragma once

#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "typelib/dodived.h"

namespace zqm_io {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

// A reason to give up that needs no descriptor: one the thread is told of
// by a signal it keeps blocked (as the kernel-object layer's WakeOnSet
// does). Before each poll, `pollMask` blocks that signal and returns the
// mask to poll with, in which it is open; `aborted(context)` is asked then,
// and again whenever the poll is interrupted.
struct AbortCheck {
  sigset_t (*pollMask)() = nullptr;
  bool (*aborted)(void* context) = nullptr;
  void* context = nullptr;
};

// While one lives on a thread, every wait of this file on that thread (and
// so each connection, greeting and call of a middleware client made there)
// also ends as soon as one of `descriptors` polls readable or `check` says
// so, throwing ZQM_EConnectionFailed that says the operation was abandoned.
// For a thread that another must be able to stop at any moment, whatever it
// waits for; the descriptors stay the caller's. An inner scope's
// descriptors and check replace the outer's while it lives.
class AbortOn {
 public:
  explicit AbortOn(std::vector<int> descriptors, AbortCheck check = {});
  ~AbortOn();
  AbortOn(const AbortOn&) = delete;
  AbortOn& operator=(const AbortOn&) = delete;

 private:
  std::vector<int> previous_;
  AbortCheck previousCheck_;
};

// Runs `action` once on the calling thread, right before the thread's next
// wait in a middleware call (a socket wait here, or a client's pause
// between connection attempts); nullptr cancels it. For a thread whose
// request is urgent and whose answer is not.
void OnNextWait(void (*action)());

// What every such wait does first: the action above, and the wake-up of
// the trace lines the thread held back (zqm_trace::HeldWakes).
void AboutToWait();

// `milliseconds` from now.
Deadline After(unsigned milliseconds);

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  std::string text;  // "127.0.0.1:8088"
};

// The address of `host`:`port`. Local host names (ZQ_TSocket::IsLocalHost)
// mean 127.0.0.1 without asking the resolver.
Address Resolve(const ZQ_TString& host, unsigned short port);

// A connected TCP socket (close-on-exec, non-blocking, no Nagle delay,
// keep-alive), owned by the caller.
int Connect(const Address& address, Deadline deadline);

void SendAll(int fd, std::string_view data, Deadline deadline, const ZQ_TString& what);

// Reads one frame and returns its payload (kind byte and body). A frame
// that breaks the protocol throws ZQM_EProtocolError.
std::string ReceiveFrame(int fd, Deadline deadline, const ZQ_TString& what);

void Close(int& fd);

}  // namespace zqm_io
