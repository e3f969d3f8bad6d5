#include "zqmd/instance_checks.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "DEVUror/zqm_exceptions.h"

namespace zqmd {

namespace {

using Milliseconds = std::chrono::milliseconds;

std::string TimedOut(Milliseconds timeout) {
  return "no answer within " + std::to_string(timeout.count()) + " ms";
}

// The status of an answer whose first line is complete: "HTTP/1.x NNN ...".
// -1 when that line is not an HTTP status line.
int HttpStatus(const std::string& answer) {
  const std::size_t space = answer.find(' ');
  if (answer.rfind("HTTP/", 0) != 0 || space == std::string::npos || answer.size() < space + 4)
    return -1;
  int status = 0;
  for (std::size_t at = space + 1; at < space + 4; ++at) {
    if (answer[at] < '0' || answer[at] > '9') return -1;
    status = status * 10 + (answer[at] - '0');
  }
  return status;
}

}  // namespace

struct ProbeRun::State : std::enable_shared_from_this<State> {
  State(asio::io_context& io, zqm_deadlines::DeadlineQueue& queue) : socket(io), deadlines(queue) {}

  asio::ip::tcp::socket socket;
  zqm_deadlines::DeadlineQueue& deadlines;
  zqm_deadlines::Id deadline = 0;
  std::string request;  // "" for a bare connect
  std::string answer;
  std::array<char, 256> buffer{};
  bool finished = false;
  CheckDone done;

  void Start(unsigned short port) {
    // Opened here, close-on-exec, so that no launch under way inherits it.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Finish(false, std::string("socket: ") + std::strerror(errno));
    asio::error_code error;
    socket.assign(asio::ip::tcp::v4(), fd, error);
    if (error) {
      ::close(fd);
      return Finish(false, "socket: " + error.message());
    }
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    socket.async_connect(endpoint, [self = shared_from_this()](const asio::error_code& failed) {
      if (self->finished) return;
      if (failed) return self->Finish(false, "connect: " + failed.message());
      if (self->request.empty()) return self->Finish(true, "");
      self->Send();
    });
  }

  void Send() {
    asio::async_write(socket, asio::buffer(request),
                      [self = shared_from_this()](const asio::error_code& failed, std::size_t) {
                        if (self->finished) return;
                        if (failed) return self->Finish(false, "send: " + failed.message());
                        self->Read();
                      });
  }

  void Read() {
    const std::size_t room = std::min(buffer.size(), kMaxProbeAnswerBytes - answer.size());
    socket.async_read_some(
        asio::buffer(buffer.data(), room),
        [self = shared_from_this()](const asio::error_code& failed, std::size_t count) {
          if (self->finished) return;
          self->answer.append(self->buffer.data(), count);
          if (self->answer.find('\n') != std::string::npos) return self->Judge();
          if (failed == asio::error::eof) return self->Finish(false, "closed before its status");
          if (failed) return self->Finish(false, "receive: " + failed.message());
          if (self->answer.size() >= kMaxProbeAnswerBytes)
            return self->Finish(false, "no status line in the first bytes of its answer");
          self->Read();
        });
  }

  void Judge() {
    const int status = HttpStatus(answer);
    if (status < 0) return Finish(false, "not an HTTP answer");
    Finish(status >= 200 && status < 300, "answered " + std::to_string(status));
  }

  void Finish(bool passed, const std::string& why) {
    if (finished) return;
    GiveUp();
    CheckDone report = std::move(done);
    report(passed, why);
  }

  void GiveUp() {
    finished = true;
    deadlines.Cancel(std::exchange(deadline, 0));
    asio::error_code ignored;
    socket.close(ignored);
  }
};

ProbeRun::ProbeRun(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                   const ProbeTarget& target, Milliseconds timeout, CheckDone done)
    : state_(std::make_shared<State>(io, deadlines)) {
  state_->done = std::move(done);
  if (!target.httpPath.empty()) {
    state_->request = "GET " + target.httpPath +
                      " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(target.port) +
                      "\r\nConnection: close\r\n\r\n";
  }
  std::weak_ptr<State> weak = state_;
  state_->deadline = deadlines.After(timeout, [weak, timeout] {
    if (auto state = weak.lock()) {
      state->deadline = 0;
      state->Finish(false, TimedOut(timeout));
    }
  });
  // A failure at once is reported from the loop, never from inside the
  // constructor, whose caller may not hold the run yet.
  asio::post(io, [weak, port = target.port] {
    if (auto state = weak.lock(); state && !state->finished) state->Start(port);
  });
}

ProbeRun::~ProbeRun() {
  state_->GiveUp();
}

struct CommandRun::State : std::enable_shared_from_this<State> {
  State(Spawner& s, ProcessWatchSet& w, zqm_deadlines::DeadlineQueue& d)
      : spawner(s), watches(w), deadlines(d) {}

  Spawner& spawner;
  ProcessWatchSet& watches;
  zqm_deadlines::DeadlineQueue& deadlines;
  Spawner::Id job = 0;
  ProcessWatchSet::Id watch = 0;
  pid_t pid = 0;
  zqm_deadlines::Id deadline = 0;
  bool finished = false;
  CheckDone done;

  void Launched(Spawner::Outcome& outcome) {
    job = 0;
    if (finished) {
      // Given up on while it was being made: it ends now, and is reaped.
      if (outcome.pid <= 0 || outcome.pidfd.Get() < 0) return;
      syscall(SYS_pidfd_send_signal, outcome.pidfd.Get(), SIGKILL, nullptr, 0);
      watches.Release(watches.Watch(outcome.pidfd.Release(), true, nullptr));
      return;
    }
    if (!outcome.problem.empty()) return Finish(false, "cannot run: " + outcome.problem);
    pid = outcome.pid;
    std::weak_ptr<State> weak = weak_from_this();
    watch = watches.Watch(outcome.pidfd.Release(), true, [weak] {
      if (auto state = weak.lock()) state->Ended();
    });
  }

  void Ended() {
    std::string how = watches.HowEnded(watch);
    watches.Release(std::exchange(watch, 0));
    if (how.empty()) how = "ended";
    Finish(how == "exit status 0", how);
  }

  void Finish(bool passed, const std::string& why) {
    if (finished) return;
    GiveUp();
    CheckDone report = std::move(done);
    report(passed, why);
  }

  void GiveUp() {
    finished = true;
    deadlines.Cancel(std::exchange(deadline, 0));
    if (job != 0) spawner.Cancel(job);  // its outcome still comes, to Launched
    if (watch != 0) {
      // Not reaped yet, so the number is still its: the session it leads
      // ends with it.
      kill(-pid, SIGKILL);
      watches.Release(std::exchange(watch, 0));
    }
  }
};

CommandRun::CommandRun(Spawner& spawner, ProcessWatchSet& watches,
                       zqm_deadlines::DeadlineQueue& deadlines, LaunchConfig command,
                       LaunchRequest request, Milliseconds timeout, CheckDone done)
    : state_(std::make_shared<State>(spawner, watches, deadlines)) {
  state_->done = std::move(done);
  std::shared_ptr<State> state = state_;
  state_->job = spawner.Start(std::move(command), std::move(request), -1,
                              [state](Spawner::Outcome& outcome) { state->Launched(outcome); });
  std::weak_ptr<State> weak = state_;
  state_->deadline = deadlines.After(timeout, [weak, timeout] {
    if (auto alive = weak.lock()) {
      alive->deadline = 0;
      alive->Finish(false, "did not end within " + std::to_string(timeout.count()) + " ms; killed");
    }
  });
}

CommandRun::~CommandRun() {
  state_->GiveUp();
}

}  // namespace zqmd
